#include "file/capture_file.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kWriterNice = 10;
constexpr auto kGatherTime = std::chrono::milliseconds(20);

}   // namespace

CaptureFile::CaptureFile(Options options) : options_(std::move(options))
{
    if (!options_.makeFile)
        options_.makeFile = [] { return std::make_unique<DataFile>(); };
    options_.blockBytes = std::max<std::size_t>(options_.blockBytes, 1);
    options_.queueBytes = std::max(options_.queueBytes, options_.blockBytes);
    writer_ = std::thread([this] { writerLoop(); });
}

CaptureFile::~CaptureFile()
{
    close();
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    work_.notify_all();
    writer_.join();
}

int CaptureFile::open(const std::string& name)
{
    std::unique_lock lock(lock_);
    closeLocked(lock);
    auto file = options_.makeFile();
    const int result = file->openWrite(name.c_str(), 0);
    ++opened_;
    name_ = name;
    written_ = 0;
    seen_ = 0;
    lastFailed_ = false;
    failed_.store(false, std::memory_order_release);
    if (file->isOpen())
        file_ = std::move(file);
    open_.store(file_ != nullptr, std::memory_order_release);
    return result == 1 ? 1 : -1;
}

void CaptureFile::close()
{
    std::unique_lock lock(lock_);
    closeLocked(lock);
}

void CaptureFile::closeLocked(std::unique_lock<std::mutex>& lock)
{
    if (!file_)
        return;
    open_.store(false, std::memory_order_release);
    handOver();
    drain(lock);
    file_->releaseReserve();
    file_->close();
    file_.reset();
    // A write waiting for room stops taking records.
    done_.notify_all();
}

void CaptureFile::handOver()
{
    if (filling_ == nullptr)
        return;
    if (filling_->lengths.empty()) {
        free_.push_back(filling_);
    } else {
        queued_.push_back(filling_);
        work_.notify_one();
    }
    filling_ = nullptr;
}

void CaptureFile::drain(std::unique_lock<std::mutex>& lock)
{
    done_.wait(lock, [this] { return queued_.empty() && !writing_; });
}

void CaptureFile::flush()
{
    std::unique_lock lock(lock_);
    handOver();
    drain(lock);
}

int CaptureFile::write(const void* data, int n)
{
    if (n <= 0)
        return 0;
    const iovec record{const_cast<void*>(data), static_cast<std::size_t>(n)};
    return write(&record, 1) == 1 ? n : 0;
}

int CaptureFile::write(const iovec* records, int count)
{
    // The unlocked test keeps the common "not saving" case free of the lock;
    // the file may close meanwhile, so the state is looked at again inside.
    if (!open_.load(std::memory_order_acquire) || count <= 0)
        return 0;
    std::unique_lock lock(lock_);
    // A file being closed takes nothing more: close() may be waiting for the
    // writer with the lock let go, and a record taken then would stay behind
    // in a block after the file is gone.
    const auto taking = [this] {
        return file_ != nullptr && open_.load(std::memory_order_relaxed);
    };
    if (!taking())
        return 0;
    const std::uint64_t opened = opened_;
    int taken = 0;
    for (; taken < count; ++taken) {
        const std::size_t n = records[taken].iov_len;
        if (n > options_.blockBytes) {
            lost_.fetch_add(1, std::memory_order_acq_rel);
            continue;
        }
        if (filling_ != nullptr && filling_->used + n > options_.blockBytes)
            handOver();
        if (filling_ == nullptr) {
            // A new block while the queue has room for one, else wait for the
            // writer to give one back.
            const std::size_t most = options_.queueBytes / options_.blockBytes;
            done_.wait(lock, [&] {
                return !free_.empty() || blocks_.size() < most || opened_ != opened || !taking();
            });
            if (opened_ != opened || !taking())
                break;
            if (free_.empty()) {
                auto block = std::make_unique<Block>();
                block->bytes = std::make_unique<unsigned char[]>(options_.blockBytes);
                free_.push_back(block.get());
                blocks_.push_back(std::move(block));
            }
            filling_ = free_.back();
            free_.pop_back();
            filling_->used = 0;
            filling_->lengths.clear();
        }
        if (n > 0)
            std::memcpy(filling_->bytes.get() + filling_->used, records[taken].iov_base, n);
        filling_->used += n;
        filling_->lengths.push_back(static_cast<std::uint32_t>(n));
        // A waiting writer learns of a block begun; a full one wakes it anyway.
        if (filling_->lengths.size() == 1 && idle_)
            work_.notify_one();
    }
    return taken;
}

void CaptureFile::writerLoop()
{
    // The receiving thread comes first: the queue is there to absorb the
    // writer's delays, while the socket's own buffer is soon full.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWriterNice);
    std::unique_lock lock(lock_);
    const auto partial = [this] { return filling_ != nullptr && !filling_->lengths.empty(); };
    for (;;) {
        idle_ = true;
        work_.wait(lock, [&] { return !queued_.empty() || stop_ || partial(); });
        // Full blocks make few large writes; records of a slow flow wait a
        // little for more, then go as they are.
        if (queued_.empty() && !stop_)
            work_.wait_for(lock, kGatherTime, [this] { return !queued_.empty() || stop_; });
        idle_ = false;
        if (queued_.empty())
            handOver();
        if (queued_.empty()) {
            if (stop_)
                return;
            continue;
        }
        std::vector<Block*> blocks(queued_.begin(), queued_.end());
        queued_.clear();
        std::uint64_t records = 0;
        for (const Block* block : blocks)
            records += block->lengths.size();
        writing_ = true;
        lock.unlock();
        const std::uint64_t whole = writeBlocks(blocks, records);
        const int error = errno;
        lock.lock();
        writing_ = false;
        written_ += whole;
        if (whole < records) {
            error_.store(error, std::memory_order_release);
            lost_.fetch_add(records - whole, std::memory_order_acq_rel);
            if (!lastFailed_ || whole > 0)
                failures_.fetch_add(1, std::memory_order_acq_rel);
            lastFailed_ = true;
            failed_.store(true, std::memory_order_release);
        } else {
            lastFailed_ = false;
        }
        for (Block* block : blocks)
            free_.push_back(block);
        done_.notify_all();
    }
}

std::uint64_t CaptureFile::writeBlocks(const std::vector<Block*>& blocks, std::uint64_t records)
{
    // Only this thread touches the file while writing_ is set: open, close
    // and closeIfGone wait for it.
    if (!file_) {
        errno = EBADF;
        return 0;
    }
    std::vector<iovec> parts;
    std::size_t total = 0;
    for (Block* block : blocks) {
        parts.push_back({block->bytes.get(), block->used});
        total += block->used;
    }
    // A failed reservation only costs speed.
    file_->reserve(static_cast<std::int64_t>(total), kReserveBytes);
    const auto written = static_cast<std::size_t>(
        file_->writeGathered(parts.data(), static_cast<int>(parts.size())));
    if (written == total)
        return records;
    // The records that made it whole, up to the first torn or missing one.
    std::uint64_t whole = 0;
    std::size_t kept = 0;
    const auto keep = [&](std::uint32_t n) {
        if (kept + n > written)
            return false;
        kept += n;
        ++whole;
        return true;
    };
    for (const Block* block : blocks)
        if (!std::all_of(block->lengths.begin(), block->lengths.end(), keep))
            break;
    // Only whole records stay: a torn one would shift every record after it.
    if (written > kept)
        file_->dropTail(static_cast<int>(written - kept));
    return whole;
}

bool CaptureFile::closeIfGone()
{
    if (!open_.load(std::memory_order_acquire))
        return false;
    std::unique_lock lock(lock_);
    if (!file_)
        return false;
    if (file_->isStillAt(name_.c_str())) {
        // What is written so far is known to be in the file under its name;
        // a write in progress counts once it is done.
        if (!writing_)
            seen_ = written_;
        return false;
    }
    open_.store(false, std::memory_order_release);
    // What is queued would only go into the file that is gone.
    std::uint64_t dropped = 0;
    handOver();
    for (Block* block : queued_) {
        dropped += block->lengths.size();
        free_.push_back(block);
    }
    queued_.clear();
    drain(lock);
    lost_.fetch_add(dropped + (written_ - seen_), std::memory_order_acq_rel);
    failed_.store(true, std::memory_order_release);
    file_->close();
    file_.reset();
    done_.notify_all();
    return true;
}
