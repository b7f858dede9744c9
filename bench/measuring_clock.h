#pragma once

#include "platform/steady_clock.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

// The real clock, with a record of how long each requested sleep really took:
// the sleep granularity that the pacing model is computed with. Used by one
// worker thread; read the record after the run.
class MeasuringClock : public Clock {
public:
    static constexpr int kTrackedMs = 256;

    std::uint64_t tickCount() override { return clock_.tickCount(); }
    void sleepMs(int ms) override;

    // Sleeps of ms milliseconds requested so far, their mean real duration
    // in milliseconds (0 when there were none), and each real duration.
    std::uint64_t sleeps(int ms) const;
    double meanSleepMs(int ms) const;
    const std::vector<float>& sleepLengthsMs(int ms) const;

    // Over all sleeps: how many, and the real time they took.
    std::uint64_t totalSleeps() const { return totalSleeps_; }
    double totalSleepMs() const { return totalSleepNs_ / 1e6; }

    // Mean of (real - requested) over all sleeps, in milliseconds.
    double meanOvershootMs() const;

    // Start of the first sleep and end of the last one.
    std::chrono::steady_clock::time_point firstSleepStart() const { return firstStart_; }
    std::chrono::steady_clock::time_point lastSleepEnd() const { return lastEnd_; }

private:
    struct Record {
        std::uint64_t count = 0;
        double ns = 0;
        std::vector<float> lengthsMs;
    };
    SteadyClock clock_;
    std::array<Record, kTrackedMs + 1> records_;
    std::uint64_t totalSleeps_ = 0;
    double totalSleepNs_ = 0;
    double requestedNs_ = 0;
    std::chrono::steady_clock::time_point firstStart_;
    std::chrono::steady_clock::time_point lastEnd_;
};
