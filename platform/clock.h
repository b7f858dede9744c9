#pragma once

#include <cstdint>

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
};
