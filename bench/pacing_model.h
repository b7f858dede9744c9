#pragma once

#include <cstdint>
#include <functional>

// What the sender's pacing rule yields on a given machine, worked out without
// sending: the real PacingRule decides each pause, fed with modelled time.
// The machine enters as the real length of each requested pause and the cost
// of a loop pass besides its pause; the ticks are whole milliseconds, as the
// sender's are.
class PacingModel {
public:
    struct Result {
        std::uint64_t datagrams = 0;
        double firstSendMs = 0;
        double lastSendMs = 0;
        // Rate between the first and the last datagram, as a receiver that
        // counts the arrivals measures it: (datagrams - 1) * bytes over the span.
        double spanKbps = 0;
    };

    // sleepDuration(ms) is the real length of a requested pause of ms > 0;
    // it may draw each length from what was measured.
    PacingModel(std::function<double(int)> sleepDuration, double loopCostMs);

    // One run of the given length, started at tickPhaseMs into a tick.
    Result run(int speedKbps, int datagramBytes, double seconds, double tickPhaseMs) const;

    // spanKbps averaged over runs started at phases spread over the tick.
    double predictKbps(int speedKbps, int datagramBytes, double seconds, int runs = 16) const;

private:
    std::function<double(int)> sleepDuration_;
    double loopCostMs_ = 0;
};
