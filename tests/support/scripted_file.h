#pragma once

#include "file/data_file.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// A real file whose gathered writes follow a script, shared with the test:
// each call takes at most the bytes of its step (kFail fails it), calls
// after the last step take everything, and every call waits while the gate
// is shut.
class ScriptedFile : public DataFile {
public:
    static constexpr long kFail = -1;

    struct Script {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<long> steps;
        bool shut = false;
        int waiting = 0;   // calls held at the gate

        void add(std::vector<long> more)
        {
            std::lock_guard guard(lock);
            steps.insert(steps.end(), more.begin(), more.end());
        }
        void setShut(bool value)
        {
            std::lock_guard guard(lock);
            shut = value;
            changed.notify_all();
        }
        int held()
        {
            std::lock_guard guard(lock);
            return waiting;
        }
    };

    explicit ScriptedFile(std::shared_ptr<Script> script) : script_(std::move(script)) {}

protected:
    ssize_t systemWritev(int fd, const iovec* parts, int count) override
    {
        long step = 0;
        {
            std::unique_lock lock(script_->lock);
            ++script_->waiting;
            script_->changed.wait(lock, [this] { return !script_->shut; });
            --script_->waiting;
            if (script_->steps.empty())
                return DataFile::systemWritev(fd, parts, count);
            step = script_->steps.front();
            script_->steps.pop_front();
        }
        if (step == kFail) {
            errno = EIO;
            return -1;
        }
        // The parts cut to the step's bytes.
        std::vector<iovec> cut;
        for (int i = 0; i < count && step > 0; ++i) {
            const std::size_t n = std::min(parts[i].iov_len, static_cast<std::size_t>(step));
            cut.push_back({parts[i].iov_base, n});
            step -= static_cast<long>(n);
        }
        return DataFile::systemWritev(fd, cut.data(), static_cast<int>(cut.size()));
    }

private:
    std::shared_ptr<Script> script_;
};
