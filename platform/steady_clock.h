#pragma once

#include "platform/clock.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

// The real clock: ticks from std::chrono::steady_clock. A sleep can be cut
// short by wake(), so a dialog that closes during a long pacing pause does not
// have to wait it out.
class SteadyClock : public Clock {
public:
    std::uint64_t tickCount() override;
    void sleepMs(int ms) override;

    // Ends the sleep in progress, if any, and every sleep that starts before
    // rearm() is called.
    void wake();
    void rearm();

private:
    std::mutex mutex_;
    std::condition_variable woken_;
    bool awake_ = false;
};
