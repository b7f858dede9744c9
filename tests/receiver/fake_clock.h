#pragma once

#include "clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

// A clock whose ticks move only by a fixed step per reading, so elapsed
// times are exact. Sleeps are counted and still pause for real, so that a
// loop leaning on them cannot spin the test machine.
class FakeClock : public Clock {
public:
    void setStep(std::uint64_t step) { step_.store(step); }

    std::uint64_t tickCount() override { return now_.fetch_add(step_.load()); }

    void sleepMs(int ms) override
    {
        sleeps_.fetch_add(1);
        if (ms <= 0)
            return;
        slept_.fetch_add(static_cast<std::uint64_t>(ms));
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

    int sleeps() const { return sleeps_.load(); }
    std::uint64_t sleptMs() const { return slept_.load(); }

private:
    std::atomic<std::uint64_t> now_{1000};
    std::atomic<std::uint64_t> step_{0};
    std::atomic<int> sleeps_{0};
    std::atomic<std::uint64_t> slept_{0};
};
