#include "engine/sequence_tracker.h"

namespace {

constexpr std::uint32_t kHalfRange = 0x80000000u;

}   // namespace

void SequenceTracker::Stream::restart(std::uint32_t seq)
{
    newest = seq;
    based = true;
    // Numbers before the baseline were never counted missing: they count as
    // arrived, so a late one takes nothing back.
    arrived.fill(~std::uint64_t{0});
}

std::int64_t SequenceTracker::Stream::advance(std::uint32_t seq)
{
    const std::uint32_t ahead = seq - newest;
    if (ahead >= kBits) {
        arrived.fill(0);
    } else {
        for (std::uint32_t skipped = newest + 1; skipped != seq; ++skipped)
            clear(skipped);
    }
    mark(seq);
    newest = seq;
    return std::int64_t{ahead} - 1;
}

bool SequenceTracker::Stream::has(std::uint32_t seq) const
{
    const std::uint32_t bit = seq % kBits;
    return (arrived[bit / 64] >> (bit % 64) & 1u) != 0;
}

void SequenceTracker::Stream::mark(std::uint32_t seq)
{
    const std::uint32_t bit = seq % kBits;
    arrived[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

void SequenceTracker::Stream::clear(std::uint32_t seq)
{
    const std::uint32_t bit = seq % kBits;
    arrived[bit / 64] &= ~(std::uint64_t{1} << (bit % 64));
}

void SequenceTracker::unlink(std::uint32_t i)
{
    Stream& s = streams_[i];
    if (i == newestUse_)
        newestUse_ = s.older;
    else
        streams_[s.newer].older = s.older;
    if (i == oldestUse_)
        oldestUse_ = s.newer;
    else
        streams_[s.older].newer = s.newer;
}

void SequenceTracker::pushNewest(std::uint32_t i)
{
    if (streams_.size() == 1) {
        newestUse_ = oldestUse_ = i;
        return;
    }
    streams_[i].older = newestUse_;
    streams_[newestUse_].newer = i;
    newestUse_ = i;
}

SequenceTracker::Stream& SequenceTracker::streamOf(const Key& key)
{
    // Nearly always the stream of the previous datagram, already the newest in use.
    if (!streams_.empty() && streams_[newestUse_].key == key)
        return streams_[newestUse_];
    std::uint32_t found = 0;
    if (const auto it = index_.find(key); it != index_.end()) {
        found = it->second;
        unlink(found);
    } else {
        if (streams_.size() < static_cast<std::size_t>(kStreams)) {
            found = static_cast<std::uint32_t>(streams_.size());
            streams_.emplace_back();
        } else {
            found = oldestUse_;
            unlink(found);
            index_.erase(streams_[found].key);
            ++evicted_;
        }
        streams_[found].key = key;
        streams_[found].jumped = false;
        streams_[found].based = false;
        index_.emplace(key, found);
    }
    pushNewest(found);
    return streams_[found];
}

SequenceTracker::Seen SequenceTracker::observe(const SocketAddress& sender, std::uint32_t seq,
                                               std::size_t group)
{
    Stream& stream = streamOf({sender, group});
    const bool followsJump = stream.jumped && seq == stream.jump + 1;
    stream.jumped = false;

    const std::uint32_t ahead = seq - stream.newest;
    const std::uint32_t behind = stream.newest - seq;
    const bool isAhead = ahead != 0 && ahead < kHalfRange;
    // Near enough to take on its own; a 0 behind the newest never is.
    const bool near = isAhead ? ahead < kWindow : behind <= kMisorder && (seq != 0 || behind == 0);
    Seen seen;
    if (!stream.based) {
        stream.restart(seq);
    } else if (followsJump) {
        // The number before this one was no stray: the stream really went
        // there, on from the newest, or back to a new start (always so for 0).
        if (stream.jump != 0 && stream.jump - stream.newest < kHalfRange) {
            seen.change = stream.advance(stream.jump) + stream.advance(seq);
        } else {
            stream.restart(stream.jump);
            stream.advance(seq);
        }
    } else if (!near) {
        stream.jumped = true;
        stream.jump = seq;
        seen.order = Order::Held;
    } else if (isAhead) {
        seen.change = stream.advance(seq);
    } else if (ahead != 0 && !stream.has(seq)) {
        stream.mark(seq);
        seen.change = -1;
        seen.order = Order::Late;
        seen.behind = behind;
    } else {
        seen.order = Order::Repeated;
    }
    lost_ += seen.change;
    return seen;
}
