#include "file/whole_file.h"

#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace {

std::set<std::string> namesIn(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(WholeFile, CreatesAndReplacesWithMode0644AndNothingBeside)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string name = dir.file("run.prom");

    ASSERT_EQ(replaceWholeFile(name.c_str(), "first\n"), 0);
    EXPECT_EQ(TempDir::contents(name), "first\n");
    ASSERT_EQ(replaceWholeFile(name.c_str(), "second, longer\n"), 0);
    EXPECT_EQ(TempDir::contents(name), "second, longer\n");
    ASSERT_EQ(replaceWholeFile(name.c_str(), ""), 0);
    EXPECT_EQ(TempDir::contents(name), "");

    const mode_t saved = ::umask(022);
    ASSERT_EQ(replaceWholeFile(name.c_str(), "x"), 0);
    ::umask(saved);
    struct stat st {};
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(namesIn(dir.file("")), std::set<std::string>{"run.prom"});
}

TEST(WholeFile, FailureLeavesTheOldFileAndNoTemporary)
{
    struct Case {
        const char* what;
        const char* target;   // inside the folder
        bool tooBig;          // larger than the process may write
        int error;
    };
    const Case cases[] = {
        {"write fails", "old.txt", true, EFBIG},
        {"rename onto a folder", "folder", false, EISDIR},
        {"no such folder", "missing/old.txt", false, ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        dir.put("old.txt", "old contents");
        std::filesystem::create_directory(dir.file("folder"));
        const std::set<std::string> before = namesIn(dir.file(""));

        const std::string big(std::size_t{64} * 1024, 'n');
        int result = 0;
        if (c.tooBig) {
            const FileSizeLimit limit(4096);
            result = replaceWholeFile(dir.file(c.target).c_str(), big);
        } else {
            result = replaceWholeFile(dir.file(c.target).c_str(), "new");
        }
        EXPECT_EQ(result, c.error);
        EXPECT_EQ(TempDir::contents(dir.file("old.txt")), "old contents");
        EXPECT_TRUE(std::filesystem::is_empty(dir.file("folder")));
        EXPECT_EQ(namesIn(dir.file("")), before);
    }
}

TEST(WholeFile, AReaderSeesTheOldOrTheNewFileWhole)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string name = dir.file("picture.svg");
    const std::string a(std::size_t{200} * 1024, 'a');
    const std::string b(std::size_t{300} * 1024, 'b');
    ASSERT_EQ(replaceWholeFile(name.c_str(), a), 0);

    std::atomic<bool> done{false};
    int torn = 0;
    int reads = 0;
    std::thread reader([&] {
        while (!done.load()) {
            const std::string seen = TempDir::contents(name);
            if (seen != a && seen != b)
                ++torn;
            ++reads;
        }
    });
    int failed = 0;
    for (int i = 0; i < 60; ++i)
        failed += replaceWholeFile(name.c_str(), i % 2 == 0 ? b : a) != 0;
    done = true;
    reader.join();

    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(TempDir::contents(name), a);
}

}   // namespace
