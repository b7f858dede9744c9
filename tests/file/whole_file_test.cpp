#include "file/whole_file.h"

#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

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

TEST(WholeFile, OnlyARegularFileIsReplacedAndAMissingFolderIsFoundBeforehand)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string target = dir.put("target.txt", "target");
    ASSERT_EQ(::symlink(target.c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    std::filesystem::create_directory(dir.file("folder"));
    const int unixSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("socket").c_str());
    ASSERT_EQ(::bind(unixSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    // A device needs root; it is left out elsewhere.
    const bool device = ::mknod(dir.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;

    const struct {
        const char* name;
        int error;   // of both the check and a write
        std::filesystem::file_type type;
    } cases[] = {
        {"link", ELOOP, std::filesystem::file_type::symlink},
        {"fifo", EINVAL, std::filesystem::file_type::fifo},
        {"folder", EISDIR, std::filesystem::file_type::directory},
        {"socket", EINVAL, std::filesystem::file_type::socket},
        {"null", EINVAL, std::filesystem::file_type::character},
        {"missing/new.txt", ENOENT, std::filesystem::file_type::not_found},
        {"target.txt/new.txt", ENOTDIR, std::filesystem::file_type::not_found},
        {"target.txt", 0, std::filesystem::file_type::regular},
        {"new.txt", 0, std::filesystem::file_type::not_found},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!device && std::string(c.name) == "null")
            continue;
        const std::string name = dir.file(c.name);
        EXPECT_EQ(checkWholeFile(name.c_str()), c.error);
        EXPECT_EQ(std::filesystem::symlink_status(name).type(), c.type);
        if (c.error == 0)
            continue;
        EXPECT_EQ(replaceWholeFile(name.c_str(), "new"), c.error);
        EXPECT_EQ(std::filesystem::symlink_status(name).type(), c.type);
        EXPECT_EQ(TempDir::contents(target), "target");
    }
    // Nothing was left beside them.
    EXPECT_EQ(namesIn(dir.file("")).size(), device ? 6u : 5u);
    ::close(unixSocket);
}

TEST(WholeFile, NamesPlantedBesideTheFileDoNotStopTheWrite)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string name = dir.file("run.prom");
    // Whatever this process's names could be told from: its id and a count.
    for (int i = 0; i < 300; ++i) {
        const std::string planted = "." + std::string("run.prom.") + std::to_string(::getpid()) +
                                    "." + std::to_string(i) + ".tmp";
        ASSERT_EQ(::symlink("/nonexistent", dir.file(planted.c_str()).c_str()), 0);
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(replaceWholeFile(name.c_str(), "written\n"), 0);
    EXPECT_EQ(TempDir::contents(name), "written\n");
    EXPECT_EQ(namesIn(dir.file("")).size(), 301u);
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
