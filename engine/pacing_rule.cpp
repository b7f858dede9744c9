#include "engine/pacing_rule.h"

#include <algorithm>
#include <climits>

PacingRule::PacingRule(std::int64_t targetBytesPerMs, std::uint64_t startTick,
                       std::int64_t datagramBytes)
    : target_(targetBytesPerMs), startTick_(startTick),
      initialSleepMs_(initialSleepMs(targetBytesPerMs, datagramBytes)), sleepMs_(initialSleepMs_)
{
}

int PacingRule::initialSleepMs(std::int64_t targetBytesPerMs, std::int64_t datagramBytes)
{
    const std::int64_t pause = datagramBytes / std::max<std::int64_t>(targetBytesPerMs, 1);
    return static_cast<int>(std::clamp<std::int64_t>(pause, kMinInitialSleepMs, INT_MAX));
}

bool PacingRule::recordSend(std::int64_t bytes)
{
    total_ += bytes;
    measured_ += bytes;
    ++seq_;
    return seq_ % kEvaluateEvery == 0;
}

bool PacingRule::evaluate(std::uint64_t now)
{
    if (now <= startTick_)
        return false;
    const std::uint64_t elapsed = now - startTick_;
    const double average = static_cast<double>(measured_) / static_cast<double>(elapsed);
    if (static_cast<double>(target_) * kAllowance >= average) {
        sleepMs_ -= kLowerStepMs;
        if (sleepMs_ < 0)
            sleepMs_ = 0;
    } else {
        sleepMs_ += kRaiseStepMs;
    }
    rateKbps_ = measured_ / static_cast<std::int64_t>(elapsed) * 8;
    return true;
}

void PacingRule::restart(std::uint64_t now)
{
    startTick_ = now;
    measured_ = 0;
    sleepMs_ = initialSleepMs_;
}
