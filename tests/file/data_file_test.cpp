#include "file/data_file.h"

#include "tests/support/scripted_file.h"
#include "tests/support/small_ext4.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

class DataFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }

    std::string path(const char* name) const { return dir_.file(name); }
    std::string put(const char* name, const std::string& bytes) const
    {
        return dir_.put(name, bytes);
    }
    std::string contents(const char* name) const { return TempDir::contents(path(name)); }

    TempDir dir_;
};

// Whether anyone opens what is under a path (a symbolic link's target, when
// the path is a link) while the watch lasts.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        if (fd_ >= 0 && !path.empty())
            watch_ = ::inotify_add_watch(fd_, path.c_str(), IN_OPEN);
    }
    ~OpenWatch() { ::close(fd_); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool watching() const { return watch_ >= 0; }
    bool sawOpen() const
    {
        alignas(inotify_event) char events[4096];
        return ::read(fd_, events, sizeof events) > 0;
    }

private:
    int fd_;
    int watch_ = -1;
};

}   // namespace

TEST_F(DataFileTest, ReadsInChunksAndRewinds)
{
    DataFile file;
    EXPECT_EQ(file.openRead(path("missing").c_str()), 0);
    EXPECT_EQ(file.openRead(path("missing/below").c_str()), 0);
    EXPECT_FALSE(file.isOpen());

    put("source", "abcdefghij");
    ASSERT_EQ(file.openRead(path("source").c_str()), 1);
    EXPECT_EQ(file.size(), 10u);
    char buffer[4] = {};
    EXPECT_EQ(file.read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(file.read(buffer, 4), 4);
    EXPECT_EQ(file.read(buffer, 4), 2);   // short last chunk: the rest stays
    EXPECT_EQ(std::string(buffer, 4), "ijgh");
    EXPECT_EQ(file.read(buffer, 4), 0);
    EXPECT_EQ(file.read(buffer, 0), 0);
    EXPECT_EQ(file.seek(0), 1);
    EXPECT_EQ(file.read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(file.seek(-1), -1);
    EXPECT_EQ(file.write("x", 1), 0);   // open for reading only
    EXPECT_NE(file.close(), 0);
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(contents("source"), "abcdefghij");
}

// Only a regular file is read; a FIFO without a writer would otherwise block
// the open for good, so a hang here fails the test by its time-out.
TEST_F(DataFileTest, OpenReadRefusesWhatIsNotARegularFileAtOnce)
{
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    DataFile file;
    for (const std::string& name : {path(""), path("fifo"), std::string("/dev/zero")}) {
        EXPECT_EQ(file.openRead(name.c_str()), -1) << name;
        EXPECT_FALSE(file.isOpen());
    }
}

// A name under which something other than a regular file was planted, by
// another user in a shared folder say: neither open follows a link to the
// file behind it or opens a FIFO or device, which a write could reach or a
// read could block on.
TEST_F(DataFileTest, NeitherOpenFollowsALinkNorOpensWhatIsNotARegularFile)
{
    const std::string target = put("target", "not ours");
    int reader = -1;   // a FIFO with a reader would take what is written
    struct Planted {
        std::string name;
        std::string watched;   // empty: cannot be watched alone
    };
    const std::vector<std::pair<const char*, std::function<Planted()>>> planted = {
        {"a symbolic link to another file",
         [&] {
             ::symlink(target.c_str(), path("link").c_str());
             return Planted{path("link"), target};
         }},
        {"a FIFO with a reader",
         [&] {
             ::mkfifo(path("fifo").c_str(), 0600);
             reader = ::open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
             return Planted{path("fifo"), path("fifo")};
         }},
        {"a device",
         [&] {
             // A node of its own, which nobody else opens meanwhile, when
             // this user may make one.
             if (::mknod(path("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0)
                 return Planted{path("null"), path("null")};
             return Planted{"/dev/null", ""};
         }},
        {"a directory",
         [&] {
             ::mkdir(path("folder").c_str(), 0700);
             return Planted{path("folder"), path("folder")};
         }},
    };
    for (const auto& [what, plant] : planted) {
        SCOPED_TRACE(what);
        const Planted p = plant();
        const OpenWatch watch(p.watched);
        EXPECT_EQ(watch.watching(), !p.watched.empty());
        DataFile file;
        EXPECT_EQ(file.openRead(p.name.c_str()), -1);
        EXPECT_FALSE(file.isOpen());
        EXPECT_EQ(file.openWrite(p.name.c_str(), 0), -1);
        EXPECT_FALSE(file.isOpen());
        EXPECT_FALSE(watch.sawOpen());
    }
    ::close(reader);
    EXPECT_EQ(contents("target"), "not ours");
}

TEST_F(DataFileTest, OpenWriteCreatesOrAppends)
{
    DataFile file;
    ASSERT_EQ(file.openWrite(path("empty").c_str(), 0), 1);
    EXPECT_EQ(file.write("payload", 7), 7);
    file.close();
    EXPECT_EQ(contents("empty"), "payload");   // no stray byte ahead of it

    ASSERT_EQ(file.openWrite(path("sized").c_str(), 4096), 1);
    EXPECT_EQ(file.write("tail", 4), 4);
    file.close();
    const std::string sized = contents("sized");
    ASSERT_EQ(sized.size(), 4100u);
    EXPECT_EQ(sized.substr(4095), "0tail");

    // An existing file keeps what it holds and takes later writes at its end.
    ASSERT_EQ(file.openWrite(path("empty").c_str(), 0), 1);
    EXPECT_EQ(file.size(), 7u);
    EXPECT_EQ(file.write("+more", 5), 5);
    file.close();
    EXPECT_EQ(contents("empty"), "payload+more");

    EXPECT_EQ(file.openWrite(path("no/such/dir").c_str(), 0), -1);
    EXPECT_FALSE(file.isOpen());
}

TEST_F(DataFileTest, RetriesShortAndFailedCalls)
{
    put("source", "0123456789");
    ScriptedFile reader({-1, 3, 0, 2, 100});
    ASSERT_EQ(reader.openRead(path("source").c_str()), 1);
    char buffer[8] = {};
    EXPECT_EQ(reader.read(buffer, 8), 8);
    EXPECT_EQ(std::string(buffer, 8), "01234567");
    EXPECT_EQ(reader.calls(), 5);

    // Chunks land stride apart, each filled before the next; a short call
    // is continued where it stopped, and the end of the file ends the read.
    ScriptedFile chunks({3, -1, 4, 100});
    ASSERT_EQ(chunks.openRead(path("source").c_str()), 1);
    std::string spaced(15, '.');
    auto* places = reinterpret_cast<unsigned char*>(spaced.data());
    EXPECT_EQ(chunks.readChunks(places, 5, 4, 3), 10);
    EXPECT_EQ(spaced, "0123.4567.89...");
    EXPECT_EQ(chunks.calls(), 5);
    EXPECT_EQ(chunks.readChunks(places, 5, 4, 3), 0);
    EXPECT_EQ(chunks.calls(), 6);

    ScriptedFile dead({-1});
    ASSERT_EQ(dead.openRead(path("source").c_str()), 1);
    EXPECT_EQ(dead.read(buffer, 8), -1);
    EXPECT_EQ(dead.calls(), DataFile::kReadCalls);
    EXPECT_EQ(dead.readChunks(places, 5, 4, 3), -1);

    // A partial write is continued with the missing bytes, in order.
    ScriptedFile writer({2, -1, 3, 100});
    ASSERT_EQ(writer.openWrite(path("out").c_str(), 0), 1);
    EXPECT_EQ(writer.write("abcdefgh", 8), 8);
    writer.close();
    EXPECT_EQ(contents("out"), "abcdefgh");

    // Ten calls at most: what they managed is reported.
    ScriptedFile trickle({1});
    ASSERT_EQ(trickle.openWrite(path("trickle").c_str(), 0), 1);
    EXPECT_EQ(trickle.write("abcdefghijklmnop", 16), DataFile::kWriteCalls);
    EXPECT_EQ(trickle.calls(), DataFile::kWriteCalls);
}

TEST_F(DataFileTest, GatheredWritesContinueWithWhatIsMissingInOrder)
{
    std::string records[] = {"abc", "", "defgh", "i", "jklmnop"};
    std::vector<iovec> parts;
    for (std::string& r : records)
        parts.push_back({r.data(), r.size()});
    // Short writes end inside a part, on its edge and before an empty one.
    ScriptedFile writer({2, -1, 1, 5, 100});
    ASSERT_EQ(writer.openWrite(path("out").c_str(), 0), 1);
    EXPECT_EQ(writer.writeGathered(parts.data(), 5), 16);
    EXPECT_EQ(writer.calls(), 5);
    writer.close();
    EXPECT_EQ(contents("out"), "abcdefghijklmnop");
}

TEST_F(DataFileTest, WorksPastFourGiB)
{
    constexpr std::int64_t kFar = (std::int64_t{1} << 32) + 5;
    {
        std::ofstream(path("big"), std::ios::binary);
    }
    fs::resize_file(path("big"), kFar);   // sparse: costs no disk space

    DataFile file;
    ASSERT_EQ(file.openWrite(path("big").c_str(), 0), 1);
    EXPECT_EQ(file.size(), static_cast<std::uint64_t>(kFar));
    EXPECT_EQ(file.write("end", 3), 3);
    file.close();
    EXPECT_EQ(fs::file_size(path("big")), static_cast<std::uintmax_t>(kFar + 3));

    ASSERT_EQ(file.openRead(path("big").c_str()), 1);
    EXPECT_EQ(file.size(), static_cast<std::uint64_t>(kFar + 3));
    ASSERT_EQ(file.seek(kFar - 1), 1);
    char buffer[4] = {};
    EXPECT_EQ(file.read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), std::string("\0end", 4));
}

TEST_F(DataFileTest, AReserveTheDiskCannotHoldLeavesItsRoomToTheWrites)
{
    // A reservation larger than the free space may take all of it before it
    // fails; kept, it would leave the writes themselves no room.
    const SmallExt4 disk(dir_, "32M");
    if (disk.path().empty())
        GTEST_SKIP() << "needs root, mkfs.ext4 and a loop device for a small file system";
    const auto freeBytes = [&] {
        struct statvfs info {};
        ::statvfs(disk.path().c_str(), &info);
        return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
    };
    const std::string name = disk.path() + "reserved.bin";
    DataFile file;
    ASSERT_EQ(file.openWrite(name.c_str(), 0), 1);
    const std::int64_t before = freeBytes();
    EXPECT_EQ(file.reserve(1 << 20, std::int64_t{64} << 20), -1);
    EXPECT_GE(freeBytes(), before - (std::int64_t{1} << 20)) << "the failed reserve kept its room";
    const std::string block(std::size_t{1} << 20, 'x');
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(file.write(block.data(), static_cast<int>(block.size())),
                  static_cast<int>(block.size()));
    // One that fits is given back at close.
    EXPECT_EQ(file.reserve(1 << 20, std::int64_t{8} << 20), 1);
    EXPECT_LT(freeBytes(), before - (std::int64_t{12} << 20));
    EXPECT_EQ(file.releaseReserve(), 1);
    EXPECT_GE(freeBytes(), before - (std::int64_t{9} << 20));
    file.close();
}
