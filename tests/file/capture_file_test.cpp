#include "file/capture_file.h"

#include "tests/support/file_size_limit.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

class CaptureFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.ok()); }
    std::string path(const char* name) const { return dir_.file(name); }
    static std::string contents(const std::string& name) { return TempDir::contents(name); }

    TempDir dir_;
};

TEST_F(CaptureFileTest, WritesOnlyWhileOpenAndAppendsOnReopen)
{
    CaptureFile capture;
    const std::string a = path("a.txt");
    const std::string b = path("b.txt");

    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.write("lost", 4), 0);

    ASSERT_EQ(capture.open(a), 1);
    EXPECT_TRUE(capture.isOpen());
    EXPECT_EQ(contents(a), "");   // a new capture starts empty
    EXPECT_EQ(capture.write("abc", 3), 3);
    capture.close();
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.write("lost", 4), 0);

    // Reopening the same name keeps what is there and writes behind it.
    ASSERT_EQ(capture.open(a), 1);
    EXPECT_EQ(capture.write("def", 3), 3);

    // Opening another name closes the first file.
    ASSERT_EQ(capture.open(b), 1);
    EXPECT_EQ(capture.write("xyz", 3), 3);
    capture.close();

    EXPECT_EQ(contents(a), "abcdef");
    EXPECT_EQ(contents(b), "xyz");
}

TEST_F(CaptureFileTest, FailedOpenLeavesItClosedAndFailedWritesAreReported)
{
    CaptureFile capture;
    ASSERT_EQ(capture.open(path("a.txt")), 1);
    EXPECT_EQ(capture.open(path("missing/dir/b.txt")), -1);
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.write("abc", 3), 0);

    // A write that fails part way leaves no torn record behind.
    const std::string name = path("limited.bin");
    ASSERT_EQ(capture.open(name), 1);
    {
        FileSizeLimit limit(10);
        EXPECT_EQ(capture.write("1234", 4), 4);
        EXPECT_EQ(capture.write("5678", 4), 4);
        EXPECT_EQ(capture.write("9abc", 4), -1);
        EXPECT_EQ(capture.write("defg", 4), -1);
    }
    EXPECT_EQ(capture.write("hijk", 4), 4);
    capture.close();
    EXPECT_EQ(contents(name), "12345678hijk");
}

TEST_F(CaptureFileTest, BatchWritesKeepOnlyWholeRecords)
{
    std::string records[] = {"1234", "5678", "9abc", "defg"};
    iovec batch[4];
    for (int i = 0; i < 4; ++i)
        batch[i] = {records[i].data(), 4};
    auto write = [&](CaptureFile& c, int first, int n) {
        const CaptureFile::Written w = c.write(batch + first, n);
        return std::pair(w.whole, w.failed);
    };
    CaptureFile capture;
    EXPECT_EQ(write(capture, 0, 4), std::pair(0, false));   // closed
    const std::string name = path("batch.bin");
    ASSERT_EQ(capture.open(name), 1);
    EXPECT_EQ(write(capture, 0, 2), std::pair(2, false));
    {
        // Room for one record and half of the next, which is cut off again.
        FileSizeLimit limit(14);
        EXPECT_EQ(write(capture, 1, 3), std::pair(1, true));
        EXPECT_EQ(write(capture, 0, 4), std::pair(0, true));
    }
    EXPECT_EQ(write(capture, 3, 1), std::pair(1, false));
    capture.close();
    EXPECT_EQ(contents(name), "123456785678defg");
}

TEST_F(CaptureFileTest, OnlyARegularFileOpensAndNothingWaits)
{
    // A FIFO without a reader would block the open itself.
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A link to another file, planted under the capture's name, is not
    // followed: the file behind it takes no datagram.
    const std::string target = path("target");
    std::ofstream(target) << "not ours";
    const std::string link = path("link");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    CaptureFile capture;
    for (const std::string& name : {fifo, std::string("/dev/full"), path("."), link}) {
        EXPECT_EQ(capture.open(name), -1) << name;
        EXPECT_FALSE(capture.isOpen());
        EXPECT_EQ(capture.write("payload", 7), 0);
    }
    EXPECT_EQ(contents(target), "not ours");
}

TEST_F(CaptureFileTest, ClosesWhenItsFileIsDeletedRenamedOrReplaced)
{
    const std::string name = path("capture.bin");
    const std::string other = path("other.bin");
    const std::vector<std::function<void()>> changes = {
        [&] { ::unlink(name.c_str()); }, [&] { ::rename(name.c_str(), other.c_str()); },
        [&] { ::rename(other.c_str(), name.c_str()); },   // replaced by another file
    };
    CaptureFile capture;
    EXPECT_FALSE(capture.closeIfGone());   // not open
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        std::ofstream(other) << "other";
        ASSERT_EQ(capture.open(name), 1);
        EXPECT_FALSE(capture.closeIfGone());
        changes[i]();
        EXPECT_TRUE(capture.closeIfGone());
        EXPECT_FALSE(capture.isOpen());
        EXPECT_FALSE(capture.closeIfGone());
    }
}

TEST_F(CaptureFileTest, OpenAndCloseDuringWritesNeverTearARecord)
{
    constexpr int kRecord = 512;
    const std::string name = path("race.txt");
    CaptureFile capture;
    std::atomic<bool> started{false};
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};

    std::thread writer([&] {
        std::string record;
        for (int i = 0; !stop; ++i) {
            // Every record is one repeated letter, ending in a newline.
            record.assign(kRecord - 1, static_cast<char>('a' + i % 26));
            record.push_back('\n');
            if (capture.write(record.data(), kRecord) == kRecord)
                ++written;
            started = true;
        }
    });
    while (!started)
        std::this_thread::yield();
    for (int i = 0; i < 2000; ++i) {
        capture.open(name);
        std::this_thread::yield();
        capture.close();
    }
    stop = true;
    writer.join();

    const std::string data = contents(name);
    ASSERT_GT(written.load(), 0);
    ASSERT_EQ(data.size(), static_cast<std::size_t>(written.load()) * kRecord);
    for (std::size_t at = 0; at < data.size(); at += kRecord) {
        const std::string record = data.substr(at, kRecord);
        ASSERT_EQ(record.find_first_not_of(record[0]), static_cast<std::size_t>(kRecord - 1))
            << "record at " << at << " is torn";
        ASSERT_EQ(record.back(), '\n');
    }
}

}   // namespace
