#pragma once

#include "core/interval_figures.h"

#include <cstdint>

// Follows one sender's sequence as losses and receptions and counts its
// loss pattern (see LossPattern) into the figures of an interval and of the
// whole run. It takes whole runs of losses at once, so a gap of millions
// costs no more than one of one.
class LossBursts {
public:
    // Received datagrams that end a burst (RFC 3611's Gmin).
    static constexpr std::uint64_t kGmin = 16;

    // lost datagrams one after another, then one received.
    void take(std::uint64_t lost, LossPattern& interval, LossPattern& total);

    // total with the burst still open added as if it ended now: the figures
    // since the start at the end of a run.
    LossPattern withOpen(const LossPattern& total) const;

private:
    // Counts the open burst, or isolated loss, into figures.
    void close(LossPattern& figures) const;

    std::uint64_t received_ = 0;   // since the latest loss
    // The open stretch from its first loss to its latest: its losses and length.
    std::uint64_t openLost_ = 0;
    std::uint64_t openLength_ = 0;
};
