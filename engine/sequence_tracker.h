#pragma once

#include <cstdint>

// Counts datagrams missing from a stream of sequence numbers. The first
// number only sets the baseline; a number beyond last + 1 adds the gap; a
// repeated, reordered or restarted number (not above the last one, compared
// as signed 32-bit values) adds nothing and becomes the new baseline, so a
// sender restarted at 0 is followed without a false loss.
class SequenceTracker {
public:
    // Takes the next sequence number; returns the datagrams it shows missing.
    std::int64_t observe(std::int32_t seq);

    std::int64_t lost() const { return lost_; }

private:
    bool haveBaseline_ = false;
    std::int32_t last_ = 0;
    std::int64_t lost_ = 0;
};
