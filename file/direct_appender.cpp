#include "file/direct_appender.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::uint64_t pageStart(std::uint64_t at)
{
    return at - at % DirectAppender::kPage;
}

}   // namespace

DirectAppender::DirectAppender(std::size_t stageBytes)
    : size_(std::max(pageStart(stageBytes + kPage - 1), std::uint64_t{2} * kPage))
{
}

bool DirectAppender::start(DataFile& file)
{
    if (!stage_) {
        void* bytes = nullptr;
        if (::posix_memalign(&bytes, kPage, size_) != 0)
            return false;
        stage_.reset(static_cast<unsigned char*>(bytes));
    }
    const std::int64_t length = file.length();
    if (length < 0)
        return false;
    inFile_ = static_cast<std::uint64_t>(length);
    base_ = pageStart(inFile_);
    used_ = static_cast<std::size_t>(inFile_ - base_);
    // The partial last page is written again with the bytes that follow.
    if (used_ > 0 && file.readAt(stage_.get(), static_cast<int>(used_),
                                 static_cast<std::int64_t>(base_)) != static_cast<int>(used_))
        return false;
    started_ = true;
    return true;
}

DirectAppender::Result DirectAppender::failed(Result result, int error)
{
    result.failed = true;
    result.error = error;
    started_ = false;
    return result;
}

DirectAppender::Result DirectAppender::append(DataFile& file, const iovec* parts, int count)
{
    Result result;
    // Another writer may have grown the file while nothing was pending.
    if (started_ && pending() == 0 && file.length() != static_cast<std::int64_t>(inFile_))
        started_ = false;
    if (!started_ && !start(file)) {
        // Without the partial page the stream goes on by ordinary writes.
        started_ = false;
        std::size_t total = 0;
        for (int i = 0; i < count; ++i)
            total += parts[i].iov_len;
        const int error = errno;
        result.stored = static_cast<std::uint64_t>(file.writeGathered(parts, count));
        return result.stored == total ? result : failed(result, errno != 0 ? errno : error);
    }
    for (int i = 0; i < count; ++i) {
        const auto* from = static_cast<const unsigned char*>(parts[i].iov_base);
        for (std::size_t left = parts[i].iov_len; left > 0;) {
            const std::size_t n = std::min(left, size_ - used_);
            std::memcpy(stage_.get() + used_, from, n);
            used_ += n;
            from += n;
            left -= n;
            if (used_ == size_ && !writePages(file, result))
                return failed(result, result.error);
        }
    }
    if (!writePages(file, result))
        return failed(result, result.error);
    return result;
}

DirectAppender::Result DirectAppender::appendBlock(DataFile& file, unsigned char* block,
                                                   std::size_t offset, std::size_t used)
{
    if (started_ && pending() == 0 && file.length() != static_cast<std::int64_t>(inFile_))
        started_ = false;
    if (!started_ || !direct_ || used_ != offset || offset >= kPage) {
        const iovec part{block + offset, used};
        return append(file, &part, 1);
    }
    Result result;
    std::memcpy(block, stage_.get(), used_);
    const std::size_t all = offset + used;
    const std::size_t pages = all - all % kPage;
    const std::size_t written = pages > 0 ? writeDirect(file, block, pages) : 0;
    noteWritten(written, result);
    if (written < pages) {
        // As in writePages: the rest by an ordinary write.
        dropBeyondStream(file);
        const auto from = static_cast<std::size_t>(inFile_ - base_);
        errno = 0;
        const auto put =
            static_cast<std::size_t>(file.write(block + from, static_cast<int>(pages - from)));
        result.stored += put;
        inFile_ += put;
        if (put < pages - from)
            return failed(result, errno != 0 ? errno : EIO);
    }
    // The new partial page stays behind.
    std::memcpy(stage_.get(), block + pages, all - pages);
    base_ += pages;
    used_ = all - pages;
    return result;
}

DirectAppender::Result DirectAppender::finish(DataFile& file)
{
    Result result;
    if (pending() == 0)
        return result;
    if (!appendRest(file, result))
        return failed(result, result.error);
    return result;
}

bool DirectAppender::writePages(DataFile& file, Result& result)
{
    const std::size_t pages = used_ - used_ % kPage;
    if (pages == 0)
        return true;
    const std::size_t written = direct_ ? writeDirect(file, stage_.get(), pages) : 0;
    noteWritten(written, result);
    if (written < pages) {
        // What a failed direct write left beyond its count goes; the rest
        // is tried by an ordinary write.
        dropBeyondStream(file);
        if (!appendRest(file, result))
            return false;
    }
    std::memmove(stage_.get(), stage_.get() + pages, used_ - pages);
    base_ += pages;
    used_ -= pages;
    return true;
}

std::size_t DirectAppender::writeDirect(DataFile& file, const unsigned char* pages,
                                        std::size_t length)
{
    const std::size_t written = file.writeDirect(pages, length, static_cast<std::int64_t>(base_));
    if (written < length && errno == EINVAL)
        direct_ = false;
    return written;
}

void DirectAppender::noteWritten(std::size_t written, Result& result)
{
    if (base_ + written > inFile_) {
        result.stored += base_ + written - inFile_;
        inFile_ = base_ + written;
    }
}

void DirectAppender::dropBeyondStream(DataFile& file)
{
    const std::int64_t length = file.length();
    if (length > static_cast<std::int64_t>(inFile_))
        file.dropTail(static_cast<int>(length - static_cast<std::int64_t>(inFile_)));
}

bool DirectAppender::appendRest(DataFile& file, Result& result)
{
    const auto from = static_cast<std::size_t>(inFile_ - base_);
    const std::size_t n = used_ - from;
    errno = 0;
    const auto put = static_cast<std::size_t>(file.write(stage_.get() + from, static_cast<int>(n)));
    result.stored += put;
    inFile_ += put;
    if (put == n)
        return true;
    result.error = errno != 0 ? errno : EIO;
    return false;
}
