#include "file/capture_file.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

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

    // A device that refuses every byte: the write says so.
    ASSERT_EQ(capture.open("/dev/full"), 1);
    EXPECT_EQ(capture.write("abc", 3), -1);
    capture.close();
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
