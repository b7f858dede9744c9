#include "engine/sequence_tracker.h"

namespace {

constexpr std::uint32_t kHalfRange = 0x80000000u;

}   // namespace

void SequenceTracker::Stream::restart(std::uint32_t seq)
{
    newest = seq;
    // Numbers before the baseline were never counted missing: they count as
    // arrived, so a late one takes nothing back.
    arrived.fill(~std::uint64_t{0});
}

std::int64_t SequenceTracker::Stream::advance(std::uint32_t seq)
{
    const std::uint32_t ahead = seq - newest;
    if (ahead >= kWindow) {
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
    const std::uint32_t bit = seq % kWindow;
    return (arrived[bit / 64] >> (bit % 64) & 1u) != 0;
}

void SequenceTracker::Stream::mark(std::uint32_t seq)
{
    const std::uint32_t bit = seq % kWindow;
    arrived[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

void SequenceTracker::Stream::clear(std::uint32_t seq)
{
    const std::uint32_t bit = seq % kWindow;
    arrived[bit / 64] &= ~(std::uint64_t{1} << (bit % 64));
}

SequenceTracker::Stream& SequenceTracker::streamOf(const Key& key)
{
    // Nearly always the stream of the previous datagram.
    if (!streams_.empty() && streams_[latest_].key == key)
        return streams_[latest_];
    std::size_t found = 0;
    if (const auto it = index_.find(key); it != index_.end()) {
        found = it->second;
    } else {
        if (streams_.size() < static_cast<std::size_t>(kStreams)) {
            found = streams_.size();
            streams_.emplace_back();
        } else {
            // Rare enough (more streams than kStreams) for a look at all.
            for (std::size_t i = 1; i < streams_.size(); ++i) {
                if (streams_[i].lastUse < streams_[found].lastUse)
                    found = i;
            }
            index_.erase(streams_[found].key);
        }
        streams_[found].key = key;
        streams_[found].jumped = false;
        streams_[found].lastUse = 0;   // new: no baseline yet
        index_.emplace(key, found);
    }
    latest_ = found;
    return streams_[found];
}

SequenceTracker::Seen SequenceTracker::observe(const SocketAddress& sender, std::uint32_t seq,
                                               std::size_t group)
{
    Stream& stream = streamOf({sender, group});
    const bool isNew = stream.lastUse == 0;
    stream.lastUse = ++uses_;
    const bool followsJump = stream.jumped && seq == stream.jump + 1;
    stream.jumped = false;

    const std::uint32_t ahead = seq - stream.newest;
    const std::uint32_t behind = stream.newest - seq;
    const bool far = ahead < kHalfRange ? ahead >= kWindow : behind >= kWindow;
    Seen seen;
    if (isNew || seq == 0) {
        stream.restart(seq);
    } else if (followsJump) {
        // The number before this one was no stray: the stream really went there.
        if (stream.jump - stream.newest < kHalfRange) {
            seen.change = stream.advance(stream.jump) + stream.advance(seq);
        } else {
            stream.restart(seq);
        }
    } else if (far) {
        stream.jumped = true;
        stream.jump = seq;
        seen.order = Order::Held;
    } else if (ahead != 0 && ahead < kHalfRange) {
        seen.change = stream.advance(seq);
    } else if (ahead != 0 && !stream.has(seq)) {
        stream.mark(seq);
        seen.change = -1;
        seen.order = Order::Late;
    } else {
        seen.order = Order::Repeated;
    }
    lost_ += seen.change;
    return seen;
}
