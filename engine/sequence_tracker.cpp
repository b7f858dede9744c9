#include "engine/sequence_tracker.h"

std::int64_t SequenceTracker::observe(std::int32_t seq)
{
    std::int64_t gap = 0;
    // The difference is taken in 64 bits: last + 1 and seq - last - 1 would
    // overflow 32 bits near the ends of the range.
    if (haveBaseline_ && seq > last_)
        gap = static_cast<std::int64_t>(seq) - last_ - 1;
    haveBaseline_ = true;
    last_ = seq;
    lost_ += gap;
    return gap;
}
