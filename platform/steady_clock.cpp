#include "platform/steady_clock.h"

#include <chrono>
#include <thread>

std::uint64_t SteadyClock::tickCount()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SteadyClock::sleepMs(int ms)
{
    if (ms <= 0)
        return;
    std::unique_lock lock(mutex_);
    woken_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return awake_; });
}

void SteadyClock::wake()
{
    {
        std::lock_guard lock(mutex_);
        awake_ = true;
    }
    woken_.notify_all();
}

void SteadyClock::rearm()
{
    std::lock_guard lock(mutex_);
    awake_ = false;
}
