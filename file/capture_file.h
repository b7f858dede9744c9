#pragma once

#include "file/data_file.h"
#include "file/direct_appender.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The receiver's capture file: opened and closed on the UI thread, fed by the
// worker, written by a thread of its own. write() copies the records into a
// bounded queue and returns; the writer writes them in order, many at once,
// with space reserved ahead of the file's end, and where the file system
// takes them, by direct writes that bypass the system's cache (the last
// partial page then follows by an ordinary write once the writer has nothing
// else to do). When the queue is full, write()
// waits for the writer: what it has taken is never dropped. The records of a
// slow flow, which fill no block, are written about 20 ms after the first.
// The file only ever holds whole records: a write that fails part way is cut
// back off, and the records it could not write are counted as lost. close()
// and flush() return once everything queued is written.
class CaptureFile {
public:
    static constexpr std::size_t kQueueBytes = std::size_t{64} << 20;
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    // Space reserved beyond the file's end, given back at close.
    static constexpr std::int64_t kReserveBytes = std::int64_t{64} << 20;

    struct Options {
        std::size_t queueBytes = kQueueBytes;
        std::size_t blockBytes = kBlockBytes;   // the most one record may hold
        // Makes the file each open() writes to; a DataFile unless set.
        std::function<std::unique_ptr<DataFile>()> makeFile;
    };

    CaptureFile() : CaptureFile(Options{}) {}
    explicit CaptureFile(Options options);
    ~CaptureFile();   // closes the file with everything queued written
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Closes an open file, then opens or creates name for appending; only a
    // regular file, and without waiting. 1, or -1 when it can be neither
    // opened nor created.
    int open(const std::string& name);
    // Writes everything queued, gives back the space reserved and closes.
    void close();
    bool isOpen() const { return open_.load(std::memory_order_acquire); }
    // The open file takes direct writes.
    bool isDirect() const { return direct_.load(std::memory_order_acquire); }

    // Queues count records, in order, while the file is open, waiting while
    // the queue is full. Returns the records taken: count, fewer when the file
    // was closed meanwhile, 0 while it is closed. A record longer than
    // blockBytes is taken and counted as lost.
    int write(const iovec* records, int count);
    // One record: n when taken, else 0.
    int write(const void* data, int n);

    // Returns once everything queued so far is written or known lost.
    void flush();

    // Both count up from construction, across files: the records taken but
    // not in the file (a failed write, or a file gone before they were seen
    // in it), and the series of failed writes (a failure after a success or
    // an open starts one).
    std::uint64_t lost() const { return lost_.load(std::memory_order_acquire); }
    std::uint64_t failures() const { return failures_.load(std::memory_order_acquire); }
    // The system's reason (errno) for the latest failed write; 0 before any.
    int lastError() const { return error_.load(std::memory_order_acquire); }

    // Closes the file when it is no longer the one under its name (deleted,
    // renamed or replaced), dropping what is queued; true when it did so.
    // What was written since the file was last seen under its name counts as
    // lost.
    bool closeIfGone();

    // Since the latest open: a write failed, or the file was closed for being
    // gone. What it holds then falls short of what was written to it.
    bool failed() const { return failed_.load(std::memory_order_acquire); }

private:
    struct Free {
        void operator()(unsigned char* bytes) const { std::free(bytes); }
    };
    // Its memory is page-aligned with a page's room ahead of the records:
    // they start where they will lie within a page of the file, so that
    // the writer only puts the partial page before them to write the block
    // directly, without copying it.
    struct Block {
        std::unique_ptr<unsigned char, Free> bytes;
        std::size_t offset = 0;               // where the records start
        std::size_t used = 0;                 // bytes of records
        std::vector<std::uint32_t> lengths;   // of the records, in order
    };

    // What a write settled: records now whole in the file, records lost.
    struct Outcome {
        std::uint64_t whole = 0;
        std::uint64_t lost = 0;
        int error = 0;
    };

    void writerLoop();
    // Writes the blocks taken from the queue.
    Outcome writeBlocks(const std::vector<Block*>& blocks);
    // Writes what direct writes left behind.
    Outcome writeTail();
    // Counts the records the stored bytes complete; after a failure, cuts
    // the file back to its last whole record and counts the rest as lost.
    Outcome settle(const DirectAppender::Result& result);
    // With the lock held: records taken by the writer but not yet whole in
    // the file.
    bool tailPending() const { return file_ != nullptr && !unsettled_.empty(); }
    // With the lock held: hands the block being filled to the writer.
    void handOver();
    // With the lock held: waits until the writer has written everything,
    // with the partial page of direct writes unless told not to.
    void drain(std::unique_lock<std::mutex>& lock, bool tail = true);
    void closeLocked(std::unique_lock<std::mutex>& lock);

    Options options_;
    std::mutex lock_;
    std::condition_variable work_;   // the writer waits for blocks
    std::condition_variable done_;   // writers of records and flushers wait
    std::unique_ptr<DataFile> file_;
    std::string name_;
    std::vector<std::unique_ptr<Block>> blocks_;   // all of them, owned
    std::vector<Block*> free_;
    std::deque<Block*> queued_;
    Block* filling_ = nullptr;   // taking records, not yet queued
    bool writing_ = false;       // the writer is writing blocks taken from the queue
    bool idle_ = false;          // the writer waits for records
    bool stop_ = false;
    bool lastFailed_ = false;   // the latest write of this file failed
    bool tailWanted_ = false;   // a flush waits for the partial page
    // Only the writer touches these while writing_ is set, others only
    // while it is not.
    DirectAppender appender_;
    std::deque<std::uint32_t> unsettled_;   // lengths of records not yet whole in the file
    std::uint64_t unsettledStored_ = 0;     // of their bytes, those in the file
    std::uint64_t taken_ = 0;               // the file's length once the records taken are in it
    std::uint64_t opened_ = 0;    // counts opens; a write taking records stops at a new one
    std::uint64_t written_ = 0;   // records in the file, this file
    std::uint64_t seen_ = 0;      // written_ when the file was last seen under its name
    std::atomic<bool> open_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> direct_{false};
    std::atomic<std::uint64_t> lost_{0};
    std::atomic<std::uint64_t> failures_{0};
    std::atomic<int> error_{0};
    std::thread writer_;
};
