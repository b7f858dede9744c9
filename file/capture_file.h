#pragma once

#include "file/data_file.h"

#include <atomic>
#include <mutex>
#include <string>

// The receiver's capture file: opened and closed on the UI thread, written by
// the worker. Every operation holds one lock, so a write never meets an open
// or a close; a write while the file is closed takes no lock at all.
class CaptureFile {
public:
    // Closes an open file, then opens or creates name for appending.
    // 1, or -1 when it can be neither opened nor created.
    int open(const std::string& name);
    void close();
    bool isOpen() const { return open_.load(std::memory_order_acquire); }

    // Writes n bytes when the file is open. Returns n on success, 0 when the
    // file is closed, -1 when the bytes could not be written.
    int write(const void* data, int n);

private:
    std::mutex lock_;
    DataFile file_;
    std::atomic<bool> open_{false};
};
