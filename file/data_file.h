#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

// A file opened for reading (openRead) or for writing (openWrite), read and
// written in whole blocks with a bounded number of system calls, so that a
// short or failed call is retried a few times instead of being reported.
// Other processes may read and write the same file meanwhile.
class DataFile {
public:
    static constexpr int kReadCalls = 10;
    static constexpr int kWriteCalls = 10;

    DataFile() = default;
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;
    virtual ~DataFile();   // closes the file if it is still open

    // The most chunks one readChunks call takes.
    static constexpr int kMaxChunks = 64;

    // 1 when the file is open for reading at position 0; 0 when there is no
    // such file; -1 when it exists but cannot be read or is not a regular
    // file (a symbolic link included); errno then says why, 0 for what is
    // not a regular file. Never waits, and never opens what it refuses.
    int openRead(const char* name);

    // 1, or -1 when the position is refused.
    int seek(std::int64_t position);

    // Bytes placed at the start of buffer, 0 ... n, within 10 calls; -1 when
    // none were and the last call failed.
    int read(void* buffer, int n);

    // Reads the bytes of up to count (at most 64) chunks of size bytes into
    // places stride bytes apart from first, filling each chunk before the
    // next, with as few calls as the system allows (at most 10; it stops at
    // the end of the file). Bytes placed, or -1 when none were and the last
    // call failed.
    int readChunks(unsigned char* first, std::size_t stride, int size, int count);

    // Opens an existing regular file for writing at its end, or creates it,
    // never waiting; a symbolic link, FIFO, device or directory is refused
    // without being opened. A new file with size > 0 is extended to size
    // bytes (last byte '0') and written behind that; size 0 gives an empty
    // file. 1, or -1 with errno as for openRead.
    int openWrite(const char* name, std::int64_t size);

    // Writes n bytes within 10 calls, continuing a partial write with the
    // bytes still missing. Returns the bytes written (n on success).
    int write(const void* buffer, int n);

    // Writes the count parts one after another as write does, in up to 10
    // calls that each take many parts at once. Returns the bytes written
    // (all of them on success); for at most INT_MAX bytes in all.
    int writeGathered(const iovec* parts, int count);

    // Cuts the last n bytes off the file, such as the torn end of a failed
    // write. 1, or -1.
    int dropTail(int n);

    // Makes room for the file to grow by bytes without finding new blocks on
    // the way: reserves at least ahead bytes beyond its end when what is
    // reserved falls short; the file's length stays. 1; 0 when the file
    // system reserves nothing (then never tried again); -1.
    int reserve(std::int64_t bytes, std::int64_t ahead);

    // Gives back the space reserved beyond the file's end. 1, or -1.
    int releaseReserve();

    // Opens the file a second time for writes at given positions that
    // bypass the system's cache (O_DIRECT), beside the appending descriptor.
    // 1 when direct writes are on; 0 when the file system refuses them or
    // keeps its files in memory anyway (tmpfs), where they would gain
    // nothing; -1 when no file is open.
    int startDirect();
    bool isDirect() const { return direct_ >= 0; }

    // Writes n bytes at position at, bypassing the cache, within 10 calls;
    // buffer, n and at must be multiples of kDirectAlign. Returns the bytes
    // written (n on success); it stops at the first failed call, errno
    // saying why (EINVAL: the device wants a larger alignment).
    static constexpr std::size_t kDirectAlign = 4096;
    std::size_t writeDirect(const void* buffer, std::size_t n, std::int64_t at);

    // Reads up to n bytes at position at without moving the position; the
    // bytes read, or -1.
    int readAt(void* buffer, int n, std::int64_t at);

    // The file's length now, or -1.
    std::int64_t length() const;

    // Whether the open file is still the one found under name (not deleted,
    // renamed or replaced).
    bool isStillAt(const char* name) const;

    // Nonzero on success.
    int close();

    bool isOpen() const { return fd_ >= 0; }

    // Length recorded by openRead, or by openWrite for an existing file.
    std::uint64_t size() const { return size_; }

protected:
    // The system calls behind the reads and writes; tests override them to fail.
    virtual ssize_t systemRead(int fd, void* buffer, std::size_t n);
    virtual ssize_t systemReadv(int fd, const iovec* parts, int count);
    virtual ssize_t systemWrite(int fd, const void* buffer, std::size_t n);
    virtual ssize_t systemWritev(int fd, const iovec* parts, int count);
    virtual ssize_t systemPwrite(int fd, const void* buffer, std::size_t n, off_t at);
    // Opens the file behind fd once more, for direct writes; the new
    // descriptor, or -1.
    virtual int systemOpenDirect(int fd);

private:
    // Opens name with flags when named, what lstat found under it, is a
    // regular file, and keeps it as the open file with its length when it is
    // still that file. 1, or -1 (nothing stays open).
    int adopt(const char* name, const struct stat& named, int flags);

    int fd_ = -1;
    int direct_ = -1;   // the same file opened for direct writes
    std::uint64_t size_ = 0;
    std::int64_t reservedTo_ = 0;   // where the space reserve() took ends
    bool reserves_ = true;          // the file system reserves space
};
