#pragma once

#include "file/data_file.h"

#include <atomic>
#include <mutex>
#include <string>

// The receiver's capture file: opened and closed on the UI thread, written by
// the worker. Every operation holds one lock, so a write never meets an open
// or a close; a write while the file is closed takes no lock at all. The file
// only ever holds whole records: a write that fails part way is cut back off.
class CaptureFile {
public:
    // Closes an open file, then opens or creates name for appending; only a
    // regular file, and without waiting. 1, or -1 when it can be neither
    // opened nor created.
    int open(const std::string& name);
    void close();
    bool isOpen() const { return open_.load(std::memory_order_acquire); }

    // Writes n bytes when the file is open. Returns n on success, 0 when the
    // file is closed, -1 when the bytes could not be written (none of them
    // stay in the file).
    int write(const void* data, int n);

    // What a batch write left in the file.
    struct Written {
        int whole = 0;         // records written in full, from the first on
        bool failed = false;   // the rest could not be written (none of it stays)
    };

    // Writes count records, one after another, in as few calls as it can.
    // Nothing, and no failure, while the file is closed.
    Written write(const iovec* records, int count);

    // Closes the file when it is no longer the one under its name (deleted,
    // renamed or replaced); true when it did so.
    bool closeIfGone();

    // Since the latest open: a write failed, or the file was closed for being
    // gone. What it holds then falls short of what was written to it.
    bool failed() const { return failed_.load(std::memory_order_acquire); }

private:
    std::mutex lock_;
    DataFile file_;
    std::string name_;
    std::atomic<bool> open_{false};
    std::atomic<bool> failed_{false};
};
