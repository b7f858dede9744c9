#pragma once

#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// A clock that answers tickCount from a script, then from the script's last
// entry plus a fixed step per further reading, so elapsed times are exact.
// Every call is recorded in order: a sleep as its milliseconds, a tick
// reading as kTickRead. Sleeps pause for real only when asked to, so that a
// loop leaning on them cannot spin the test machine.
class ScriptedClock : public Clock {
public:
    static constexpr int kTickRead = -1;

    explicit ScriptedClock(std::vector<std::uint64_t> ticks = {1000}, std::uint64_t step = 0,
                           bool realSleeps = false)
        : ticks_(std::move(ticks)), step_(step), realSleeps_(realSleeps)
    {
    }

    // Starts again from a new script, with nothing recorded.
    void restart(std::vector<std::uint64_t> ticks)
    {
        std::lock_guard guard(mutex_);
        ticks_ = std::move(ticks);
        reads_ = 0;
        calls_.clear();
        sleeps_ = 0;
        slept_ = 0;
        jumped_ = 0;
    }

    // Before the first reading past the script.
    void setStep(std::uint64_t step)
    {
        std::lock_guard guard(mutex_);
        step_ = step;
    }

    // Readings past the script then also move on by every ms slept since
    // the start of the script, as a real run's clock would.
    void setFollowsSleeps(bool follows)
    {
        std::lock_guard guard(mutex_);
        followsSleeps_ = follows;
    }

    // Every reading from now on is ms later: the time a stopped process
    // stood still, say.
    void jump(std::uint64_t ms)
    {
        std::lock_guard guard(mutex_);
        jumped_ += ms;
    }

    // The time now, past the script, without the step of a reading: the
    // last reading moved on by the sleeps and jumps since. Not recorded.
    std::uint64_t peek() const
    {
        std::lock_guard guard(mutex_);
        const std::size_t past = reads_ > ticks_.size() ? reads_ - ticks_.size() : 0;
        return ticks_.back() + step_ * past + (followsSleeps_ ? slept_ : 0) + jumped_;
    }

    std::uint64_t tickCount() override
    {
        std::lock_guard guard(mutex_);
        calls_.push_back(kTickRead);
        const std::size_t at = reads_++;
        if (at < ticks_.size())
            return ticks_[at] + jumped_;
        return ticks_.back() + step_ * (at - ticks_.size() + 1) + (followsSleeps_ ? slept_ : 0) +
               jumped_;
    }

    void sleepMs(int ms) override
    {
        {
            std::lock_guard guard(mutex_);
            calls_.push_back(ms);
            ++sleeps_;
            slept_ += static_cast<std::uint64_t>(std::max(ms, 0));
        }
        if (realSleeps_ && ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    std::vector<int> calls() const
    {
        std::lock_guard guard(mutex_);
        return calls_;
    }
    int sleeps() const
    {
        std::lock_guard guard(mutex_);
        return sleeps_;
    }
    std::uint64_t sleptMs() const
    {
        std::lock_guard guard(mutex_);
        return slept_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::uint64_t> ticks_;
    std::uint64_t step_;
    bool realSleeps_;
    bool followsSleeps_ = false;
    std::size_t reads_ = 0;
    std::vector<int> calls_;
    int sleeps_ = 0;
    std::uint64_t slept_ = 0;
    std::uint64_t jumped_ = 0;
};
