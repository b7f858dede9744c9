#include "bench/pacing_model.h"

#include "engine/pacing_rule.h"

#include <cmath>

PacingModel::PacingModel(std::function<double(int)> sleepDuration, double loopCostMs)
    : sleepDuration_(std::move(sleepDuration)), loopCostMs_(loopCostMs)
{
}

PacingModel::Result PacingModel::run(int speedKbps, int datagramBytes, double seconds,
                                     double tickPhaseMs) const
{
    const double end = tickPhaseMs + seconds * 1000.0;
    const auto tickAt = [](double ms) { return static_cast<std::int64_t>(std::floor(ms)); };
    const std::int64_t startTick = tickAt(tickPhaseMs);

    // The sender's own rule decides every pause; only time is modelled.
    PacingRule rule(speedKbps / 8, static_cast<std::uint64_t>(startTick), datagramBytes);
    Result result;
    double now = tickPhaseMs;
    while (now < end) {
        if (result.datagrams == 0)
            result.firstSendMs = now;
        result.lastSendMs = now;
        ++result.datagrams;
        const bool evaluationDue = rule.recordSend(datagramBytes);
        now += loopCostMs_;
        if (rule.sleepMs() > 0)
            now += sleepDuration_(rule.sleepMs());
        if (evaluationDue)
            rule.evaluate(static_cast<std::uint64_t>(tickAt(now)));
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
