#include "file/data_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

static_assert(sizeof(off_t) == 8, "positions and sizes must be 64-bit");

namespace {

// Only a regular file is ever opened, and never through a symbolic link at
// the last component of its name: a link planted in a shared folder could
// otherwise lead a program run by root to another user's or the system's
// files. The name is looked at first (lstat) and anything else is refused
// unopened; O_NOFOLLOW and O_NOCTTY keep what may have been swapped in
// meanwhile from being followed or becoming a terminal, and O_NONBLOCK from
// holding the open when it is a FIFO. What was opened must then be what was
// looked at.
constexpr int kOpenFlags = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
constexpr int kReadFlags = O_RDONLY | kOpenFlags;
// O_APPEND: writes always land at the current end, also when another process
// has grown the file meanwhile.
constexpr int kWriteFlags = O_RDWR | O_APPEND | kOpenFlags;
constexpr mode_t kNewFileMode = 0666;

// A system call, again for as long as a signal interrupts it.
template <typename Call>
ssize_t untilNotInterrupted(Call call)
{
    ssize_t result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

int openRetrying(const char* name, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A regular file never blocks: its descriptor's later calls are plain ones.
void makeBlocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

}   // namespace

DataFile::~DataFile()
{
    if (isOpen())
        close();
}

int DataFile::openRead(const char* name)
{
    if (isOpen())
        close();
    if (name == nullptr)
        return -1;
    struct stat named {};
    if (::lstat(name, &named) != 0)
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    return adopt(name, named, kReadFlags);
}

int DataFile::adopt(const char* name, const struct stat& named, int flags)
{
    // Only a regular file: a directory holds no data to read, a FIFO or
    // device may block or swallow what is written, and a symbolic link may
    // lead anywhere.
    if (!S_ISREG(named.st_mode)) {
        errno = 0;
        return -1;
    }
    const int fd = openRetrying(name, flags);
    if (fd < 0)
        return -1;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != named.st_dev ||
        opened.st_ino != named.st_ino) {
        ::close(fd);
        errno = 0;
        return -1;
    }
    makeBlocking(fd);
    fd_ = fd;
    size_ = static_cast<std::uint64_t>(opened.st_size);
    return 1;
}

int DataFile::seek(std::int64_t position)
{
    if (!isOpen())
        return -1;
    return ::lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0 ? -1 : 1;
}

int DataFile::read(void* buffer, int n)
{
    if (!isOpen() || n <= 0)
        return 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    int collected = 0;
    bool failed = false;
    for (int call = 0; call < kReadCalls && collected < n; ++call) {
        const ssize_t got =
            systemRead(fd_, bytes + collected, static_cast<std::size_t>(n - collected));
        failed = got < 0;
        if (got > 0)
            collected += static_cast<int>(got);
    }
    return collected == 0 && failed ? -1 : collected;
}

int DataFile::readChunks(unsigned char* first, std::size_t stride, int size, int count)
{
    if (!isOpen() || size <= 0 || count <= 0 || count > kMaxChunks)
        return 0;
    const int wanted = size * count;
    iovec parts[kMaxChunks];
    int collected = 0;
    bool failed = false;
    for (int call = 0; call < kReadCalls && collected < wanted; ++call) {
        // The places still empty: the rest of the chunk in progress, then
        // every later chunk whole.
        const int chunk = collected / size;
        const int into = collected % size;
        for (int i = chunk; i < count; ++i) {
            const int skip = i == chunk ? into : 0;
            parts[i - chunk] = {first + stride * static_cast<std::size_t>(i) + skip,
                                static_cast<std::size_t>(size - skip)};
        }
        const ssize_t got = systemReadv(fd_, parts, count - chunk);
        failed = got < 0;
        if (got == 0)
            break;
        if (got > 0)
            collected += static_cast<int>(got);
    }
    return collected == 0 && failed ? -1 : collected;
}

int DataFile::openWrite(const char* name, std::int64_t size)
{
    if (isOpen())
        close();
    if (name == nullptr)
        return -1;

    // O_EXCL creates a new file only, never through a link or onto anything
    // already there.
    const int fd = openRetrying(name, kWriteFlags | O_CREAT | O_EXCL, kNewFileMode);
    if (fd >= 0) {
        makeBlocking(fd);
        fd_ = fd;
        if (size > 0) {
            // Pre-extend the new file: size bytes, the last one the digit '0',
            // later writes behind it.
            static constexpr char kMark = '0';
            if (::ftruncate(fd_, static_cast<off_t>(size - 1)) == 0)
                write(&kMark, 1);
        }
        return 1;
    }
    if (errno != EEXIST)
        return -1;

    // The file exists: keep what it holds and append behind it.
    struct stat named {};
    if (::lstat(name, &named) != 0)
        return -1;
    return adopt(name, named, kWriteFlags);
}

int DataFile::write(const void* buffer, int n)
{
    if (!isOpen() || n <= 0)
        return 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    int written = 0;
    // A partial write is continued with the bytes still missing: a dropped
    // tail would shift everything written after it.
    for (int call = 0; call < kWriteCalls && written < n; ++call) {
        const ssize_t put =
            systemWrite(fd_, bytes + written, static_cast<std::size_t>(n - written));
        if (put > 0)
            written += static_cast<int>(put);
    }
    return written;
}

int DataFile::dropTail(int n)
{
    struct stat info {};
    if (!isOpen() || n < 0 || ::fstat(fd_, &info) != 0 || info.st_size < n)
        return -1;
    // Cutting also gives back the space reserved beyond the end.
    reservedTo_ = 0;
    return ::ftruncate(fd_, info.st_size - n) == 0 ? 1 : -1;
}

int DataFile::reserve(std::int64_t bytes, std::int64_t ahead)
{
    struct stat info {};
    if (!isOpen() || ::fstat(fd_, &info) != 0)
        return -1;
    if (!reserves_)
        return 0;
    if (info.st_size + bytes <= reservedTo_)
        return 1;
    const std::int64_t length = std::max(bytes, ahead);
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, info.st_size, length) == 0) {
        reservedTo_ = info.st_size + length;
        return 1;
    }
    if (errno == EOPNOTSUPP || errno == ENOSYS) {
        reserves_ = false;
        return 0;
    }
    // A reservation that found too little room may keep what it took, and
    // the writes themselves would then find none: cutting the file at its
    // own length gives it back.
    const int error = errno;
    reservedTo_ = 0;
    ::ftruncate(fd_, info.st_size);
    errno = error;
    return -1;
}

int DataFile::releaseReserve()
{
    struct stat info {};
    if (!isOpen() || ::fstat(fd_, &info) != 0)
        return -1;
    if (reservedTo_ == 0)
        return 1;
    // Cutting the file at its own length frees the blocks behind it.
    reservedTo_ = 0;
    return ::ftruncate(fd_, info.st_size) == 0 ? 1 : -1;
}

int DataFile::startDirect()
{
    if (!isOpen())
        return -1;
    if (isDirect())
        return 1;
    // A file system in memory copies the bytes either way.
    struct statfs where {};
    if (::fstatfs(fd_, &where) != 0 || where.f_type == TMPFS_MAGIC || where.f_type == RAMFS_MAGIC)
        return 0;
    const int fd = systemOpenDirect(fd_);
    if (fd < 0)
        return 0;
    // Only the very file open for appending.
    struct stat open {};
    struct stat direct {};
    if (::fstat(fd_, &open) != 0 || ::fstat(fd, &direct) != 0 || open.st_dev != direct.st_dev ||
        open.st_ino != direct.st_ino) {
        ::close(fd);
        return 0;
    }
    direct_ = fd;
    return 1;
}

std::size_t DataFile::writeDirect(const void* buffer, std::size_t n, std::int64_t at)
{
    if (!isDirect())
        return 0;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::size_t written = 0;
    for (int call = 0; call < kWriteCalls && written < n; ++call) {
        const ssize_t put =
            systemPwrite(direct_, bytes + written, n - written,
                         static_cast<off_t>(at + static_cast<std::int64_t>(written)));
        if (put < 0)
            break;
        written += static_cast<std::size_t>(put);
    }
    return written;
}

int DataFile::readAt(void* buffer, int n, std::int64_t at)
{
    if (!isOpen() || n < 0)
        return -1;
    auto* bytes = static_cast<unsigned char*>(buffer);
    int got = 0;
    for (int call = 0; call < kReadCalls && got < n; ++call) {
        const ssize_t part = untilNotInterrupted([&] {
            return ::pread(fd_, bytes + got, static_cast<std::size_t>(n - got),
                           static_cast<off_t>(at + got));
        });
        if (part < 0)
            return -1;
        if (part == 0)
            break;
        got += static_cast<int>(part);
    }
    return got;
}

std::int64_t DataFile::length() const
{
    struct stat info {};
    if (!isOpen() || ::fstat(fd_, &info) != 0)
        return -1;
    return info.st_size;
}

bool DataFile::isStillAt(const char* name) const
{
    struct stat open {};
    struct stat named {};
    if (!isOpen() || name == nullptr || ::fstat(fd_, &open) != 0 || ::stat(name, &named) != 0)
        return false;
    return open.st_nlink > 0 && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

int DataFile::close()
{
    if (!isOpen())
        return 0;
    // The descriptor is gone after close() even when it reports an error, so
    // it is never retried.
    if (direct_ >= 0)
        ::close(direct_);
    direct_ = -1;
    const int result = ::close(fd_);
    fd_ = -1;
    reservedTo_ = 0;
    reserves_ = true;
    return result == 0 ? 1 : 0;
}

ssize_t DataFile::systemRead(int fd, void* buffer, std::size_t n)
{
    return untilNotInterrupted([&] { return ::read(fd, buffer, n); });
}

ssize_t DataFile::systemReadv(int fd, const iovec* parts, int count)
{
    return untilNotInterrupted([&] { return ::readv(fd, parts, count); });
}

ssize_t DataFile::systemWrite(int fd, const void* buffer, std::size_t n)
{
    return untilNotInterrupted([&] { return ::write(fd, buffer, n); });
}

int DataFile::writeGathered(const iovec* parts, int count)
{
    if (!isOpen() || count <= 0)
        return 0;
    std::size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += parts[i].iov_len;

    // After a partial write, the parts still missing: a copy whose first
    // part is shortened by what already went out. The common case of one
    // whole write needs no copy.
    std::vector<iovec> rest;
    std::size_t first = 0;
    std::size_t written = 0;
    for (int call = 0; call < kWriteCalls && written < total; ++call) {
        const bool copied = !rest.empty();
        const iovec* next = copied ? rest.data() + first : parts;
        const std::size_t left = copied ? rest.size() - first : static_cast<std::size_t>(count);
        const ssize_t put =
            systemWritev(fd_, next, static_cast<int>(std::min<std::size_t>(left, IOV_MAX)));
        if (put <= 0)
            continue;
        written += static_cast<std::size_t>(put);
        if (written >= total)
            break;
        if (!copied)
            rest.assign(parts, parts + count);
        for (auto skip = static_cast<std::size_t>(put); skip > 0;) {
            iovec& part = rest[first];
            if (skip >= part.iov_len) {
                skip -= part.iov_len;
                ++first;
            } else {
                part.iov_base = static_cast<unsigned char*>(part.iov_base) + skip;
                part.iov_len -= skip;
                skip = 0;
            }
        }
    }
    return static_cast<int>(written);
}

ssize_t DataFile::systemWritev(int fd, const iovec* parts, int count)
{
    return untilNotInterrupted([&] { return ::writev(fd, parts, count); });
}

ssize_t DataFile::systemPwrite(int fd, const void* buffer, std::size_t n, off_t at)
{
    return untilNotInterrupted([&] { return ::pwrite(fd, buffer, n, at); });
}

int DataFile::systemOpenDirect(int fd)
{
    // The descriptor's own entry names the open file, not whatever the name
    // leads to by now. No O_APPEND: direct writes go to the positions given.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return openRetrying(self, O_WRONLY | O_DIRECT | O_CLOEXEC);
}
