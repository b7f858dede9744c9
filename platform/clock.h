#pragma once

#include <cstdint>
#include <ctime>

// Millisecond tick count and sleep, as the engines use them. The engines ask
// only this interface for time, so tests can drive pacing and reporting with a
// fake clock instead of waiting.
class Clock {
public:
    virtual ~Clock() = default;

    // Milliseconds since an arbitrary fixed point; never goes backwards.
    virtual std::uint64_t tickCount() = 0;

    // Pause the calling thread for about ms milliseconds. A value of 0 or
    // less returns at once.
    virtual void sleepMs(int ms) = 0;

    // The wall clock (CLOCK_REALTIME) in nanoseconds since 1970, as the
    // send times in payloads are given.
    virtual std::int64_t wallNs()
    {
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
    }
};
