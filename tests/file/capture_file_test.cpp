#include "file/capture_file.h"

#include "tests/support/file_size_limit.h"
#include "tests/support/scripted_file.h"
#include "tests/support/small_ext4.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A folder on a file system that takes direct writes: the temporary
// folder's own when it does, else, as root, an ext4 image mounted on a loop
// device for the test's time; none otherwise.
class DirectFolder {
public:
    explicit DirectFolder(const TempDir& dir)
    {
        if (takesDirect(dir.file("probe"))) {
            path_ = dir.file("");
            return;
        }
        mounted_ = std::make_unique<SmallExt4>(dir, "256M");
        if (!mounted_->path().empty() && takesDirect(mounted_->path() + "probe"))
            path_ = mounted_->path();
    }

    // Ends in a slash; empty when there is no such folder.
    const std::string& path() const { return path_; }

private:
    static bool takesDirect(const std::string& name)
    {
        DataFile probe;
        const bool takes = probe.openWrite(name.c_str(), 0) == 1 && probe.startDirect() == 1;
        probe.close();
        ::unlink(name.c_str());
        return takes;
    }

    std::string path_;
    std::unique_ptr<SmallExt4> mounted_;
};

// Records of lengths from 1 to most bytes, each a run of one byte value.
std::vector<std::string> someRecords(std::size_t count, std::size_t most, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::string> records;
    for (std::size_t i = 0; i < count; ++i)
        records.emplace_back(1 + random() % most, static_cast<char>('A' + i % 58));
    return records;
}

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
    // gate, and at the latest the fifth record waits. (Direct writes would
    // keep a partial page of records back without a call to hold.)
    auto script = std::make_shared<ScriptedFile::Script>();
    script->direct = false;
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
            script->direct = false;
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
    // On a busy machine the writer may not run at all during 2000 quick
    // cycles; the cycles go on until it took something while the file was
    // open, within a bound.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int i = 0; (i < 2000 || written == 0) && written < 100000 &&
                    std::chrono::steady_clock::now() < giveUp;
         ++i) {
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

TEST_F(CaptureFileTest, EveryByteLandsInPlaceWithDirectWritesAndWithout)
{
    // Where the file system takes direct writes they carry the whole pages,
    // with the partial page at the end written in between and again; in
    // memory (tmpfs) writes go as they always did. Either way the file holds
    // exactly what was taken, across flushes, a slow flow and a reopen onto
    // a length that is no multiple of a page.
    const DirectFolder direct(dir_);
    struct statfs shm {};
    const bool tmpfs = ::statfs("/dev/shm", &shm) == 0 && shm.f_type == TMPFS_MAGIC;
    std::string inMemory;
    if (tmpfs) {
        inMemory = "/dev/shm/mct-capture-" + std::to_string(::getpid());
        ::unlink(inMemory.c_str());
    }
    const std::vector<std::pair<std::string, bool>> places = {
        {direct.path().empty() ? "" : direct.path() + "direct.bin", true},
        {inMemory, false},
    };
    if (direct.path().empty())
        std::printf("no file system taking direct writes here: only tmpfs tried\n");
    for (const auto& place : places) {
        const std::string& name = place.first;
        if (name.empty())
            continue;
        SCOPED_TRACE(name);
        CaptureFile capture;
        ASSERT_EQ(capture.open(name), 1);
        EXPECT_EQ(capture.isDirect(), place.second);
        std::string expected;
        // Several stages full, flushed now and then at odd lengths.
        const std::vector<std::string> records = someRecords(6000, 3000, 7);
        std::size_t next = 0;
        for (const std::size_t upTo : {1u, 3u, 700u, 2900u, 6000u}) {
            std::vector<iovec> batch;
            for (; next < upTo; ++next) {
                batch.push_back({const_cast<char*>(records[next].data()), records[next].size()});
                expected += records[next];
            }
            ASSERT_EQ(capture.write(batch.data(), static_cast<int>(batch.size())),
                      static_cast<int>(batch.size()));
            capture.flush();
            ASSERT_TRUE(contents(name) == expected) << "after " << upTo << " records";
        }
        capture.close();
        ASSERT_TRUE(contents(name) == expected);
        ASSERT_NE(expected.size() % 4096, 0u);

        // Behind an existing file's partial page; a slow flow's record goes
        // into the file without a flush, its partial page with it.
        ASSERT_EQ(capture.open(name), 1);
        EXPECT_EQ(capture.isDirect(), place.second);
        ASSERT_EQ(capture.write("slow", 4), 4);
        expected += "slow";
        for (int i = 0; i < 200 && contents(name) != expected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(contents(name) == expected) << "the slow flow's record stays behind";
        for (const std::string& record : someRecords(900, 5000, 8)) {
            ASSERT_EQ(capture.write(record.data(), static_cast<int>(record.size())),
                      static_cast<int>(record.size()));
            expected += record;
        }
        capture.close();
        EXPECT_TRUE(contents(name) == expected);
        EXPECT_EQ(capture.lost(), 0u);
        EXPECT_FALSE(capture.failed());
        struct stat info {};
        ASSERT_EQ(::stat(name.c_str(), &info), 0);
        EXPECT_LE(info.st_blocks * 512, info.st_size + 65536) << "the reserve is given back";
    }
    if (!inMemory.empty())
        ::unlink(inMemory.c_str());
}

TEST_F(CaptureFileTest, AFailedDirectWriteKeepsOnlyWholeRecords)
{
    const DirectFolder direct(dir_);
    if (direct.path().empty())
        GTEST_SKIP() << "no file system taking direct writes, and no root to mount one";
    // A direct write that fails is tried again by an ordinary one: here it
    // succeeds, and the next direct write rewrites the partial page.
    {
        const std::string name = direct.path() + "retried.bin";
        auto script = std::make_shared<ScriptedFile::Script>();
        script->add({ScriptedFile::kFail});
        CaptureFile capture({CaptureFile::kQueueBytes, CaptureFile::kBlockBytes,
                             [&] { return std::make_unique<ScriptedFile>(script); }});
        ASSERT_EQ(capture.open(name), 1);
        ASSERT_TRUE(capture.isDirect());
        std::string expected;
        for (const std::string& record : someRecords(20, 1000, 9)) {
            ASSERT_EQ(capture.write(record.data(), static_cast<int>(record.size())),
                      static_cast<int>(record.size()));
            expected += record;
            if (expected.size() > 5000)
                capture.flush();
        }
        capture.close();
        EXPECT_TRUE(contents(name) == expected);
        EXPECT_EQ(capture.lost(), 0u);
        EXPECT_FALSE(capture.failed());
    }
    // Past the size the process may write, the direct write of the page
    // across the limit is refused and the ordinary one stops short: the
    // file ends with the last record that fits whole, every later one lost,
    // one failure.
    const std::string name = direct.path() + "limited.bin";
    constexpr std::size_t kRecord = 1000;
    constexpr std::size_t kRecords = 3000;
    constexpr rlim_t kLimit = (rlim_t{1} << 20) + 4096 + 500;
    CaptureFile capture;
    ASSERT_EQ(capture.open(name), 1);
    ASSERT_TRUE(capture.isDirect());
    std::string expected;
    {
        const FileSizeLimit limit(kLimit);
        for (std::size_t i = 0; i < kRecords; ++i) {
            const std::string record(kRecord, static_cast<char>('a' + i % 26));
            ASSERT_EQ(capture.write(record.data(), static_cast<int>(kRecord)),
                      static_cast<int>(kRecord));
            expected += record;
        }
        capture.flush();
    }
    const std::size_t kept = kLimit / kRecord;
    const std::string data = contents(name);
    EXPECT_EQ(data.size(), kept * kRecord);
    EXPECT_TRUE(data == expected.substr(0, kept * kRecord)) << "the file is no prefix";
    EXPECT_EQ(capture.lost(), kRecords - kept);
    EXPECT_EQ(capture.failures(), 1u);
    EXPECT_TRUE(capture.failed());
    EXPECT_EQ(capture.lastError(), EFBIG);
    capture.close();
}

}   // namespace
