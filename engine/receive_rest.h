#pragma once

#include <cstdint>

// How long the receive loop rests after a round, so that a slow flow is
// read many datagrams to a call rather than one or two, each call and each
// wake-up costing the same whatever it brings.
//
// It rests only once the socket's queue is drained: after a round that took
// fewer than asked, and either only a few or in the reading after a rest (a
// round that takes a full batch reads on at once, and so does a fast flow's
// round of many). The first rest after a wait for data is the shortest; each
// further one is as long as the flow took to bring two batches (128
// datagrams) or 128 KiB, whichever comes first, over the time since the
// previous rest began, within 4 to 16 ms: well within what a socket's buffer
// holds even at the system's default size. A rest never runs past the close
// of the interval in progress, so the figures are cut on time. A flow that
// speeds up fills the round after the rest and is read on without one; what
// it brings during that one rest is what the socket's buffer holds.
class ReceiveRest {
public:
    static constexpr int kShortestMs = 4;
    static constexpr int kLongestMs = 16;
    static constexpr std::uint64_t kDatagramsPerRest = 128;
    static constexpr std::uint64_t kBytesPerRest = 128 << 10;
    static constexpr int kFewDatagrams = 8;

    // After a round at nowMs that took got of the want asked for (0: it
    // waited for the first in vain), when the run had taken datagrams and
    // bytes in all and the interval in progress closes in dueInMs: the ms to
    // rest, 0 to read on at once.
    int after(int got, int want, std::uint64_t nowMs, std::uint64_t datagrams, std::uint64_t bytes,
              std::uint64_t dueInMs);

private:
    bool rested_ = false;     // reading what came during a rest
    bool measured_ = false;   // a rest began since the latest wait for data
    // When the latest rest began, and the run's datagrams and bytes then.
    std::uint64_t sinceMs_ = 0;
    std::uint64_t sinceDatagrams_ = 0;
    std::uint64_t sinceBytes_ = 0;
};
