#include "engine/receive_rest.h"

#include <algorithm>
#include <utility>

int ReceiveRest::after(int got, int want, std::uint64_t nowMs, std::uint64_t datagrams,
                       std::uint64_t bytes, std::uint64_t dueInMs)
{
    if (got == 0) {
        // The round waited for data in vain: the time since the latest rest
        // says nothing of the flow's pace.
        measured_ = false;
        rested_ = false;
        return 0;
    }
    // A full batch: more may wait, still part of the reading after a rest.
    if (got >= want)
        return 0;
    if (!std::exchange(rested_, false) && got >= kFewDatagrams)
        return 0;
    double ms = kShortestMs;
    const std::uint64_t took = nowMs - std::min(nowMs, sinceMs_);
    if (measured_ && took > 0 && datagrams > sinceDatagrams_) {
        const auto pace = static_cast<double>(took);
        ms = pace * static_cast<double>(kDatagramsPerRest) /
             static_cast<double>(datagrams - sinceDatagrams_);
        if (bytes > sinceBytes_)
            ms = std::min(ms, pace * static_cast<double>(kBytesPerRest) /
                                  static_cast<double>(bytes - sinceBytes_));
    }
    const int rest = static_cast<int>(std::min<double>(
        std::clamp<double>(ms, kShortestMs, kLongestMs), static_cast<double>(dueInMs)));
    measured_ = true;
    sinceMs_ = nowMs;
    sinceDatagrams_ = datagrams;
    sinceBytes_ = bytes;
    rested_ = rest > 0;
    return rest;
}
