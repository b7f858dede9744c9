#include "file/capture_file.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kWriterNice = 10;
constexpr auto kGatherTime = std::chrono::milliseconds(20);
constexpr std::size_t kBatchBytes = std::size_t{4} << 20;

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
    appender_.restart();
    if (file->isOpen()) {
        file->startDirect();
        file_ = std::move(file);
    }
    direct_.store(file_ != nullptr && file_->isDirect(), std::memory_order_release);
    taken_ = file_ != nullptr
                 ? static_cast<std::uint64_t>(std::max<std::int64_t>(file_->length(), 0))
                 : 0;
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
    direct_.store(false, std::memory_order_release);
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

void CaptureFile::drain(std::unique_lock<std::mutex>& lock, bool tail)
{
    if (tail) {
        tailWanted_ = true;
        work_.notify_one();
    }
    done_.wait(lock, [&] { return queued_.empty() && !writing_ && (!tail || !tailPending()); });
    tailWanted_ = false;
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
                void* bytes = nullptr;
                if (::posix_memalign(&bytes, DirectAppender::kPage,
                                     options_.blockBytes + DirectAppender::kPage) != 0) {
                    lost_.fetch_add(1, std::memory_order_acq_rel);
                    continue;
                }
                auto block = std::make_unique<Block>();
                block->bytes.reset(static_cast<unsigned char*>(bytes));
                free_.push_back(block.get());
                blocks_.push_back(std::move(block));
            }
            filling_ = free_.back();
            free_.pop_back();
            filling_->offset = static_cast<std::size_t>(taken_ % DirectAppender::kPage);
            filling_->used = 0;
            filling_->lengths.clear();
        }
        if (n > 0)
            std::memcpy(filling_->bytes.get() + filling_->offset + filling_->used,
                        records[taken].iov_base, n);
        filling_->used += n;
        taken_ += n;
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
        work_.wait(lock, [&] { return !queued_.empty() || stop_ || partial() || tailPending(); });
        // Full blocks make few large writes; records of a slow flow wait a
        // little for more, then go as they are, and so does the partial page
        // that direct writes left behind.
        if (queued_.empty() && !stop_ && !tailWanted_)
            work_.wait_for(lock, kGatherTime,
                           [this] { return !queued_.empty() || stop_ || tailWanted_; });
        idle_ = false;
        if (queued_.empty())
            handOver();
        if (queued_.empty() && !tailPending()) {
            if (stop_)
                return;
            continue;
        }
        // Not the whole queue at once: blocks written go back to the
        // receiving thread while the next ones are being written.
        const std::size_t most = std::max<std::size_t>(kBatchBytes / options_.blockBytes, 1);
        const auto end =
            queued_.begin() + static_cast<std::ptrdiff_t>(std::min(queued_.size(), most));
        std::vector<Block*> blocks(queued_.begin(), end);
        queued_.erase(queued_.begin(), end);
        writing_ = true;
        lock.unlock();
        Outcome outcome = blocks.empty() ? Outcome{} : writeBlocks(blocks);
        lock.lock();
        // With nothing more to write for now the file gets the partial page
        // too; while records keep coming it waits for them.
        if (tailPending() && queued_.empty() && (tailWanted_ || !partial())) {
            lock.unlock();
            const Outcome tail = writeTail();
            lock.lock();
            outcome.whole += tail.whole;
            outcome.lost += tail.lost;
            if (tail.lost > 0)
                outcome.error = tail.error;
        }
        writing_ = false;
        written_ += outcome.whole;
        if (outcome.lost > 0) {
            error_.store(outcome.error, std::memory_order_release);
            lost_.fetch_add(outcome.lost, std::memory_order_acq_rel);
            if (!lastFailed_ || outcome.whole > 0)
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

CaptureFile::Outcome CaptureFile::writeBlocks(const std::vector<Block*>& blocks)
{
    // Only this thread touches the file while writing_ is set: open, close
    // and closeIfGone wait for it.
    std::vector<iovec> parts;
    std::size_t total = 0;
    for (Block* block : blocks) {
        parts.push_back({block->bytes.get() + block->offset, block->used});
        total += block->used;
        unsettled_.insert(unsettled_.end(), block->lengths.begin(), block->lengths.end());
    }
    if (!file_)
        return settle({0, true, EBADF});
    // A failed reservation only costs speed.
    file_->reserve(static_cast<std::int64_t>(total), kReserveBytes);
    if (file_->isDirect()) {
        DirectAppender::Result result;
        for (Block* block : blocks) {
            const DirectAppender::Result one =
                appender_.appendBlock(*file_, block->bytes.get(), block->offset, block->used);
            result.stored += one.stored;
            if (one.failed) {
                result.failed = true;
                result.error = one.error;
                break;
            }
        }
        return settle(result);
    }
    errno = 0;
    const auto written = static_cast<std::size_t>(
        file_->writeGathered(parts.data(), static_cast<int>(parts.size())));
    return settle({written, written < total, errno != 0 ? errno : EIO});
}

CaptureFile::Outcome CaptureFile::writeTail()
{
    if (!file_)
        return settle({0, true, EBADF});
    return settle(appender_.finish(*file_));
}

CaptureFile::Outcome CaptureFile::settle(const DirectAppender::Result& result)
{
    Outcome outcome;
    unsettledStored_ += result.stored;
    while (!unsettled_.empty() && unsettled_.front() <= unsettledStored_) {
        unsettledStored_ -= unsettled_.front();
        unsettled_.pop_front();
        ++outcome.whole;
    }
    if (!result.failed)
        return outcome;
    // Only whole records stay: a torn one would shift every record after it.
    if (unsettledStored_ > 0 && file_)
        file_->dropTail(static_cast<int>(unsettledStored_));
    outcome.lost = unsettled_.size();
    outcome.error = result.error;
    unsettled_.clear();
    unsettledStored_ = 0;
    appender_.reset();
    return outcome;
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
    drain(lock, false);
    // So would the partial page direct writes left behind.
    dropped += unsettled_.size();
    unsettled_.clear();
    unsettledStored_ = 0;
    appender_.reset();
    lost_.fetch_add(dropped + (written_ - seen_), std::memory_order_acq_rel);
    failed_.store(true, std::memory_order_release);
    file_->close();
    file_.reset();
    direct_.store(false, std::memory_order_release);
    done_.notify_all();
    return true;
}
