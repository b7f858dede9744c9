#pragma once

#include "file/data_file.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// A real file whose system calls (reads and writes, single, gathered or
// direct) follow a script, which may be shared with the test: each call moves
// at most the bytes of its step, a step of 0 or less fails it (EIO), and
// every call waits while the gate is shut. Once the steps run out, calls move
// everything, or repeat the last step when the script says so.
class ScriptedFile : public DataFile {
public:
    static constexpr long kFail = -1;

    struct Script {
        std::mutex lock;
        std::condition_variable changed;
        std::deque<long> steps;
        bool repeatLast = false;
        bool shut = false;
        // Where the file system takes direct writes, whether the file does:
        // without, every write is a call that the gate can hold.
        bool direct = true;
        int waiting = 0;   // calls held at the gate
        int calls = 0;

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
    // A script of its own whose last step repeats.
    explicit ScriptedFile(std::vector<long> steps) : script_(std::make_shared<Script>())
    {
        script_->add(std::move(steps));
        script_->repeatLast = true;
    }

    int calls()
    {
        std::lock_guard guard(script_->lock);
        return script_->calls;
    }

protected:
    ssize_t systemRead(int fd, void* buffer, std::size_t n) override
    {
        return single(n, [&](std::size_t cut) { return DataFile::systemRead(fd, buffer, cut); });
    }
    ssize_t systemReadv(int fd, const iovec* parts, int count) override
    {
        return gathered(parts, count,
                        [&](const iovec* cut, int n) { return DataFile::systemReadv(fd, cut, n); });
    }
    ssize_t systemWrite(int fd, const void* buffer, std::size_t n) override
    {
        return single(n, [&](std::size_t cut) { return DataFile::systemWrite(fd, buffer, cut); });
    }
    ssize_t systemWritev(int fd, const iovec* parts, int count) override
    {
        return gathered(parts, count, [&](const iovec* cut, int n) {
            return DataFile::systemWritev(fd, cut, n);
        });
    }
    int systemOpenDirect(int fd) override
    {
        {
            std::lock_guard guard(script_->lock);
            if (!script_->direct) {
                errno = EINVAL;
                return -1;
            }
        }
        return DataFile::systemOpenDirect(fd);
    }
    ssize_t systemPwrite(int fd, const void* buffer, std::size_t n, off_t at) override
    {
        return single(n,
                      [&](std::size_t cut) { return DataFile::systemPwrite(fd, buffer, cut, at); });
    }

private:
    static constexpr long kAll = static_cast<long>(~0UL >> 1);

    // The step of this call, once the gate is open.
    long next()
    {
        std::unique_lock lock(script_->lock);
        ++script_->waiting;
        script_->changed.wait(lock, [this] { return !script_->shut; });
        --script_->waiting;
        ++script_->calls;
        if (script_->steps.empty())
            return kAll;
        const long step = script_->steps.front();
        if (!script_->repeatLast || script_->steps.size() > 1)
            script_->steps.pop_front();
        return step;
    }
    // The call on at most the step's bytes, or its failure.
    template <class Call>
    ssize_t single(std::size_t n, Call call)
    {
        const long step = next();
        if (step <= 0)
            return failed();
        return call(std::min(n, static_cast<std::size_t>(step)));
    }
    // The call on the parts cut to the step's bytes, or its failure.
    template <class Call>
    ssize_t gathered(const iovec* parts, int count, Call call)
    {
        long step = next();
        if (step <= 0)
            return failed();
        std::vector<iovec> cut;
        for (int i = 0; i < count && step > 0; ++i) {
            const std::size_t n = std::min(parts[i].iov_len, static_cast<std::size_t>(step));
            cut.push_back({parts[i].iov_base, n});
            step -= static_cast<long>(n);
        }
        return call(cut.data(), static_cast<int>(cut.size()));
    }
    static ssize_t failed()
    {
        errno = EIO;
        return -1;
    }

    std::shared_ptr<Script> script_;
};
