#include "bench/measuring_clock.h"

#include <chrono>

void MeasuringClock::sleepMs(int ms)
{
    const auto start = std::chrono::steady_clock::now();
    clock_.sleepMs(ms);
    if (ms <= 0)
        return;
    const auto end = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(end - start).count();
    if (totalSleeps_ == 0)
        firstStart_ = start;
    lastEnd_ = end;
    if (ms <= kTrackedMs) {
        records_[ms].count++;
        records_[ms].ns += ns;
        records_[ms].lengthsMs.push_back(static_cast<float>(ns / 1e6));
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
    return totalSleeps_ == 0
               ? 0.0
               : (totalSleepNs_ - requestedNs_) / static_cast<double>(totalSleeps_) / 1e6;
}

const std::vector<float>& MeasuringClock::sleepLengthsMs(int ms) const
{
    static const std::vector<float> none;
    return ms > 0 && ms <= kTrackedMs ? records_[ms].lengthsMs : none;
}
