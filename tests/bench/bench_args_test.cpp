#include "bench/bench_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

BenchArgs parsed(std::vector<std::string> words)
{
    std::vector<char*> argv{const_cast<char*>("bench")};
    for (std::string& word : words)
        argv.push_back(word.data());
    BenchArgs args;
    EXPECT_TRUE(args.parse(static_cast<int>(argv.size()), argv.data()));
    return args;
}

}   // namespace

// The benchmark's --group takes what the command-line tools take; a range
// that the tools would refuse gives no groups, so no run starts on a part.
TEST(BenchArgsTest, GroupsAsTheToolsReadThem)
{
    struct Row {
        std::vector<std::string> words;
        std::size_t count;
        std::string first;
        std::string last;
    };
    const Row rows[] = {
        {{}, 1, "224.1.1.1", "224.1.1.1"},
        {{"--port", "9401"}, 1, "224.1.1.1", "224.1.1.1"},
        {{"--group", "239.1.1.1"}, 1, "239.1.1.1", "239.1.1.1"},
        {{"--group", "224.1.1.1+99"}, 100, "224.1.1.1", "224.1.1.100"},
        {{"--group", "224.1.1.1+999"}, 1000, "224.1.1.1", "224.1.4.232"},
        {{"--group", "ff3e::1+2"}, 3, "ff3e::1", "ff3e::3"},
        {{"--group", "10.0.0.1"}, 0, "", ""},
        {{"--group", "239.255.255.255+1"}, 0, "", ""},
        {{"--group", "224.1.1.1+2047"}, 2048, "224.1.1.1", "224.1.9.0"},
        {{"--group", "224.1.1.1+2048"}, 0, "", ""},
    };
    for (const Row& row : rows) {
        const std::string words = row.words.empty() ? "(none)" : row.words.back();
        const GroupList list = parsed(row.words).groups();
        ASSERT_EQ(list.groups.size(), row.count) << words;
        if (row.count == 0) {
            EXPECT_FALSE(list.error.empty()) << words;
            continue;
        }
        EXPECT_EQ(list.groups.front().text(), row.first) << words;
        EXPECT_EQ(list.groups.back().text(), row.last) << words;
    }
}
