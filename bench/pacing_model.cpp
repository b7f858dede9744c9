#include "pacing_model.h"

#include <cmath>

namespace {
constexpr int kEvaluateEvery = 30;
constexpr double kAllowance = 1.01;
}  // namespace

PacingModel::PacingModel(std::function<double(int)> sleepDuration, double loopCostMs)
    : sleepDuration_(std::move(sleepDuration)), loopCostMs_(loopCostMs)
{
}

PacingModel::Result PacingModel::run(int speedKbps, int datagramBytes, double seconds,
                                     double tickPhaseMs) const
{
    const std::int64_t target = speedKbps / 8;   // bytes per millisecond
    const double end = tickPhaseMs + seconds * 1000.0;
    const auto tickAt = [](double ms) { return static_cast<std::int64_t>(std::floor(ms)); };
    const std::int64_t startTick = tickAt(tickPhaseMs);

    Result result;
    double now = tickPhaseMs;
    int sleepMs = 1;
    std::int64_t total = 0;
    while (now < end) {
        if (result.datagrams == 0)
            result.firstSendMs = now;
        result.lastSendMs = now;
        ++result.datagrams;
        total += datagramBytes;
        now += loopCostMs_;
        if (sleepMs > 0)
            now += sleepDuration_(sleepMs);
        if (result.datagrams % kEvaluateEvery != 0)
            continue;
        const std::int64_t elapsed = tickAt(now) - startTick;
        if (elapsed == 0)
            continue;
        const double average = static_cast<double>(total) / static_cast<double>(elapsed);
        if (static_cast<double>(target) * kAllowance >= average)
            sleepMs = sleepMs > 2 ? sleepMs - 2 : 0;
        else
            sleepMs += 1;
    }
    const double span = result.lastSendMs - result.firstSendMs;
    if (result.datagrams > 1 && span > 0)
        result.spanKbps = static_cast<double>(result.datagrams - 1) * datagramBytes * 8.0 / span;
    return result;
}

double PacingModel::predictKbps(int speedKbps, int datagramBytes, double seconds, int runs) const
{
    double sum = 0;
    for (int i = 0; i < runs; ++i)
        sum += run(speedKbps, datagramBytes, seconds, (i + 0.5) / runs).spanKbps;
    return runs > 0 ? sum / runs : 0;
}
