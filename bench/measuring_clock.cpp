#include "measuring_clock.h"

#include <chrono>

void MeasuringClock::sleepMs(int ms)
{
    const auto start = std::chrono::steady_clock::now();
    clock_.sleepMs(ms);
    if (ms <= 0)
        return;
    const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (ms <= kTrackedMs) {
        records_[ms].count++;
        records_[ms].ns += ns;
    }
    ++totalSleeps_;
    totalSleepNs_ += ns;
    requestedNs_ += ms * 1e6;
}

std::uint64_t MeasuringClock::sleeps(int ms) const
{
    return ms > 0 && ms <= kTrackedMs ? records_[ms].count : 0;
}

double MeasuringClock::meanSleepMs(int ms) const
{
    const std::uint64_t n = sleeps(ms);
    return n == 0 ? 0.0 : records_[ms].ns / static_cast<double>(n) / 1e6;
}

double MeasuringClock::meanOvershootMs() const
{
    return totalSleeps_ == 0 ? 0.0 : (totalSleepNs_ - requestedNs_) / static_cast<double>(totalSleeps_) / 1e6;
}
