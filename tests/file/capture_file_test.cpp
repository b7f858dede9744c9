#include "file/capture_file.h"

#include "tests/support/scripted_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
    struct stat info {};
    ASSERT_EQ(::stat(a.c_str(), &info), 0);
    EXPECT_LE(info.st_blocks * 512, 4096) << "the space reserved ahead is given back";

    EXPECT_EQ(capture.open(path("missing/dir/b.txt")), -1);
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.write("abc", 3), 0);
}

TEST_F(CaptureFileTest, TheWriterKeepsOrderAndOnlyWholeRecords)
{
    using Steps = std::vector<long>;
    const long kFail = ScriptedFile::kFail;
    const Steps failed(DataFile::kWriteCalls, kFail);
    auto then = [](Steps first, const Steps& rest) {
        first.insert(first.end(), rest.begin(), rest.end() - 1);
        return first;
    };
    // Each pass queues its records in one call and lets the writer write
    // them, its calls following the steps.
    struct Pass {
        std::vector<std::string> records;
        Steps steps;
    };
    struct Row {
        const char* what;
        std::vector<Pass> passes;
        std::string file;
        std::uint64_t lost;
        std::uint64_t failures;
    };
    const std::vector<Row> rows = {
        {"in order, over blocks",
         {{{"aaaa", "bbbb", "cccc"}, {}}, {{"dddd"}, {}}},
         "aaaabbbbccccdddd",
         0,
         0},
        {"short writes are continued", {{{"aaaa", "bbbb", "cccc"}, {3, 6}}}, "aaaabbbbcccc", 0, 0},
        // Two records that fill one block: whether the writer takes a block
        // alone or with the next depends on timing, a block is written whole.
        {"a failed write is cut back to its last whole record",
         {{{"aaaa", "bbbb"}, then({6}, failed)}, {{"dddd"}, {}}},
         "aaaadddd",
         1,
         1},
        {"failures in a row are one series; one after a success starts another",
         {{{"aaaa"}, failed}, {{"bbbb"}, failed}, {{"cccc"}, {}}, {{"dddd"}, failed}},
         "cccc",
         3,
         2},
        {"a failed write that kept a whole record starts another series",
         {{{"aaaa"}, failed}, {{"bbbb", "cccc"}, then({4}, failed)}},
         "bbbb",
         2,
         2},
        {"a record longer than a block is lost",
         {{{"aaaa", "eeeeeeeeeeee", "bbbb"}, {}}},
         "aaaabbbb",
         1,
         0},
    };
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const Row& row = rows[r];
        SCOPED_TRACE(row.what);
        auto script = std::make_shared<ScriptedFile::Script>();
        CaptureFile capture({64, 8, [&] { return std::make_unique<ScriptedFile>(script); }});
        const std::string name = path(("writer" + std::to_string(r)).c_str());
        ASSERT_EQ(capture.open(name), 1);
        for (const Pass& pass : row.passes) {
            script->add(pass.steps);
            std::vector<iovec> batch;
            for (const std::string& record : pass.records)
                batch.push_back({const_cast<char*>(record.data()), record.size()});
            EXPECT_EQ(capture.write(batch.data(), static_cast<int>(batch.size())),
                      static_cast<int>(batch.size()));
            capture.flush();
        }
        EXPECT_EQ(contents(name), row.file);
        EXPECT_EQ(capture.lost(), row.lost);
        EXPECT_EQ(capture.failures(), row.failures);
        EXPECT_EQ(capture.failed(), row.failures > 0);
    }
}

TEST_F(CaptureFileTest, AFullQueueHoldsTheWriterOfRecordsAndCloseWritesEverything)
{
    // Two blocks of up to two records: the writer holds what it took at the
    // gate, and at the latest the fifth record waits.
    auto script = std::make_shared<ScriptedFile::Script>();
    CaptureFile capture({16, 8, [&] { return std::make_unique<ScriptedFile>(script); }});
    const std::string name = path("bound.bin");
    ASSERT_EQ(capture.open(name), 1);
    script->setShut(true);
    std::string expected;
    std::vector<std::string> records;
    for (int i = 0; i < 8; ++i)
        records.push_back(std::string(4, static_cast<char>('a' + i)));
    for (const std::string& record : records)
        expected += record;
    std::atomic<int> taken{0};
    std::thread receiver([&] {
        for (const std::string& record : records)
            taken += capture.write(record.data(), 4) / 4;
    });
    while (script->held() == 0)
        std::this_thread::yield();
    for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
    EXPECT_LE(taken.load(), 4) << "the queue took more than it holds";
    script->setShut(false);
    receiver.join();
    EXPECT_EQ(taken.load(), 8);

    // The last records may still be queued: close waits for them.
    script->setShut(true);
    std::thread closing([&] { capture.close(); });
    while (script->held() == 0 && capture.isOpen())
        std::this_thread::yield();
    script->setShut(false);
    closing.join();
    EXPECT_EQ(contents(name), expected);
    EXPECT_EQ(capture.lost(), 0u);
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

TEST_F(CaptureFileTest, ARecordWaitingForRoomWhileTheFileClosesIsRefused)
{
    // A queue of one block, held by the writer at the gate, so that a third
    // record waits for room. Each way of closing waits for the writer too;
    // when the gate opens, both wake. The waiting record must not be taken
    // then: it would be left behind in a block that the writer later writes
    // into no file at all. Which of the two wakes first is up to the system,
    // so each way is tried many times.
    const std::string name = path("closing.bin");
    const std::string next = path("next.bin");
    const std::vector<std::pair<const char*, std::function<void(CaptureFile&)>>> closers = {
        {"close", [](CaptureFile& c) { c.close(); }},
        {"open of another name", [&](CaptureFile& c) { c.open(next); }},
        {"gone",
         [&](CaptureFile& c) {
             ::unlink(name.c_str());
             c.closeIfGone();
         }},
    };
    for (const auto& closer : closers) {
        const std::string what = closer.first;
        SCOPED_TRACE(what);
        for (int round = 0; round < 10; ++round) {
            ::unlink(name.c_str());
            ::unlink(next.c_str());
            auto script = std::make_shared<ScriptedFile::Script>();
            CaptureFile capture({8, 8, [&] { return std::make_unique<ScriptedFile>(script); }});
            ASSERT_EQ(capture.open(name), 1);
            script->setShut(true);
            ASSERT_EQ(capture.write("aaaa", 4), 4);
            ASSERT_EQ(capture.write("bbbb", 4), 4);
            int late = -1;
            std::thread receiver([&] { late = capture.write("cccc", 4); });
            while (script->held() == 0)
                std::this_thread::yield();
            std::thread closing([&] { closer.second(capture); });
            while (capture.isOpen())
                std::this_thread::yield();
            script->setShut(false);
            closing.join();
            receiver.join();
            // Longer than the writer waits to gather a partial block.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            capture.close();
            // Only a record offered once the next file was open may be
            // taken, and then it is in that file.
            ASSERT_EQ(contents(next), late == 4 ? "cccc" : "");
            if (what != "open of another name") {
                ASSERT_EQ(late, 0);
            }
            if (what != "gone") {
                ASSERT_EQ(contents(name), "aaaabbbb");
            }
        }
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
        // Queued writes are fast: the file would soon grow large.
        for (int i = 0; !stop && written < 100000; ++i) {
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
    for (int i = 0; i < 2000 && written < 100000; ++i) {
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
