#include "core/group_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Each row: the texts as typed, and either the groups they make (how many,
// the first and the last) or a word of the refusal.
TEST(GroupList, GroupsRangesAndIpv6AreReadOnceAndNonsenseIsRefused)
{
    struct Case {
        std::vector<std::string> texts;
        std::size_t count;   // 0: refused
        const char* first;
        const char* last;   // or, when refused, a word of the refusal
    };
    const Case cases[] = {
        {{"239.1.1.1"}, 1, "239.1.1.1", "239.1.1.1"},
        {{" 239.1.1.1+299\t"}, 300, "239.1.1.1", "239.1.2.44"},
        {{"224.0.0.255+1", "239.9.9.9"}, 3, "224.0.0.255", "239.9.9.9"},
        {{"239.255.255.254+1"}, 2, "239.255.255.254", "239.255.255.255"},
        {{"239.1.1.1+999"}, 1000, "239.1.1.1", "239.1.4.232"},
        {{"ff3e::8000:1+2"}, 3, "ff3e::8000:1", "ff3e::8000:3"},
        {{"ff02::ffff+1"}, 2, "ff02::ffff", "ff02::1:0"},
        {{"239.255.255.255+1"}, 0, "", "past the last"},
        {{"223.255.255.255"}, 0, "", "not a multicast"},
        {{"10.0.0.1+3"}, 0, "", "not a multicast"},
        {{"240.0.0.1"}, 0, "", "not a multicast"},
        {{"fe80::1"}, 0, "", "not a multicast"},
        {{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff+1"}, 0, "", "past the last"},
        {{"239.1.1.1", "ff3e::1"}, 0, "", "one family"},
        {{"239.1.1.1+2", "239.1.1.3"}, 0, "", "twice"},
        {{"239.1.1.1+1000"}, 0, "", "more than 1000"},
        {{"239.1.1.1+600", "238.1.1.1+399"}, 0, "", "more than 1000"},
        {{"239.1.1.1+99999999999999999999999"}, 0, "", "count of at most"},
        {{"239.1.1.1+"}, 0, "", "count of at most"},
        {{"239.1.1.1+-1"}, 0, "", "count of at most"},
        {{"239.1.1.1+0x10"}, 0, "", "count of at most"},
        {{"239.001.1.1"}, 0, "", "not a multicast"},
        {{""}, 0, "", "not a multicast"},
        {{}, 0, "", "no group"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.texts.empty() ? "(none)" : c.texts.front());
        const GroupList list = parseGroupList(c.texts, 1000);
        ASSERT_EQ(list.groups.size(), c.count) << list.error;
        if (c.count == 0) {
            EXPECT_NE(list.error.find(c.last), std::string::npos) << list.error;
            continue;
        }
        EXPECT_TRUE(list.error.empty());
        EXPECT_EQ(list.groups.front().text(), c.first);
        EXPECT_EQ(list.groups.back().text(), c.last);
    }
}

TEST(GroupList, SourcesAreUnicastOfTheGroupsFamily)
{
    using F = IpAddress::Family;
    struct Source {
        const char* text;
        F family;
        bool taken;
    };
    for (const Source& s : {Source{"192.0.2.7", F::V4, true}, Source{" 2001:db8::7", F::V6, true},
                            Source{"239.1.1.1", F::V4, false}, Source{"0.0.0.0", F::V4, false},
                            Source{"255.255.255.255", F::V4, false}, Source{"::", F::V6, false},
                            Source{"ff3e::1", F::V6, false}, Source{"2001:db8::7", F::V4, false},
                            Source{"host", F::V4, false}}) {
        const SourceAddress parsed = parseSourceAddress(s.text, s.family);
        EXPECT_EQ(parsed.source.has_value(), s.taken) << s.text;
        EXPECT_EQ(parsed.error.empty(), s.taken) << s.text;
    }
}

}   // namespace
