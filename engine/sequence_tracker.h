#pragma once

#include "core/ip_address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// Counts datagrams missing from up to 16384 streams at once (2048 groups of
// eight senders each), a stream being what one sender (address and port)
// sends to one group of the run (by its index in the run's group list), each
// with a sequence of its own; lost() is the sum. One sender may send many
// groups, each numbered from 0. A stream takes about 150 bytes with its
// index entry, so the table stays under 2.5 MB however many streams come.
//
// Sequence numbers are unsigned 32-bit serial numbers: one less than 2^31
// ahead of the newest is ahead, anything else is behind, so the count runs on
// across 2^32. Per sender:
// - the first number sets the baseline;
// - a number ahead of the newest by less than the window (1024) becomes the
//   newest and adds the numbers skipped;
// - a number behind the newest by at most the misorder distance (100) is late
//   or a duplicate: it leaves the newest alone, and when it is the first
//   arrival of a number counted as missing, takes that one back;
// - any other number moves nothing on its own: one further ahead, or further
//   behind, or 0 behind the newest (however near), may be a stale duplicate
//   or a garbled number, which would otherwise count thousands lost, or
//   the restarted sender's, which would take back losses that were real. Only when the sender's
//   next number follows it is the jump taken: one far ahead counts every number skipped (a long
//   outage at a high rate), one behind, or a 0 anywhere but just ahead, is a restarted sender, a
//   new baseline with no loss of its own. A jump not followed so changes no loss, and neither does
//   a late arrival further behind than the misorder distance: reordering that deep is rarer than a
//   restarted sender whose first datagram was lost, whose numbers would otherwise fill the gaps of
//   its earlier run.
// A restart before the sender's newest was past the misorder distance can
// not be told from late and repeated numbers: its numbers up to the old
// newest count as such.
//
// A stream not seen while 16384 others were is evicted: what it lost stays in
// the sum, evicted() counts it, and its next datagram sets a new baseline, so
// that numbers missing across its absence are not counted.
class SequenceTracker {
public:
    static constexpr int kWindow = 1024;
    static constexpr int kMisorder = 100;
    static constexpr int kStreams = 16384;

    // Where a number stood in its sender's stream.
    enum class Order {
        Next,       // ahead of the newest (or a new baseline): now the newest
        Late,       // behind the newest, not seen before
        Repeated,   // seen before
        Held,       // far from the newest, waiting for its successor
    };
    struct Seen {
        std::int64_t change = 0;   // to lost()
        Order order = Order::Next;
        std::uint32_t behind = 0;   // Late: how far behind the newest it arrived
    };

    // Takes the next sequence number of sender in group; returns where it
    // stood and the change to lost(): the numbers it shows missing, or -1 for
    // a late arrival of one of them.
    Seen observe(const SocketAddress& sender, std::uint32_t seq, std::size_t group = 0);

    std::int64_t lost() const { return lost_; }
    // Streams dropped from the table to make room for others.
    std::uint64_t evicted() const { return evicted_; }

private:
    // Whether each of the numbers up to the misorder distance behind the
    // newest arrived.
    static constexpr int kBits = 128;
    static constexpr int kWords = kBits / 64;
    static_assert(kBits > kMisorder);

    struct Key {
        SocketAddress sender;
        std::size_t group = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const noexcept
        {
            return SocketAddressHash{}(k.sender) * 1000003U + k.group;
        }
    };

    struct Stream {
        Key key;
        // Neighbours in the order of use, indices into streams_.
        std::uint32_t newer = 0;
        std::uint32_t older = 0;
        std::uint32_t newest = 0;
        // A number far from the newest that waits for its successor.
        std::uint32_t jump = 0;
        bool jumped = false;
        bool based = false;   // newest holds a baseline
        // Bit seq % kBits: whether seq arrived, for the kBits numbers up to
        // the newest.
        std::array<std::uint64_t, kWords> arrived{};

        void restart(std::uint32_t seq);
        // Takes seq, ahead of the newest, as the newest; the numbers skipped.
        std::int64_t advance(std::uint32_t seq);
        bool has(std::uint32_t seq) const;
        void mark(std::uint32_t seq);
        void clear(std::uint32_t seq);
    };

    Stream& streamOf(const Key& key);
    // Takes stream i out of the order of use, and puts it first.
    void unlink(std::uint32_t i);
    void pushNewest(std::uint32_t i);

    std::vector<Stream> streams_;   // grows up to kStreams
    std::unordered_map<Key, std::uint32_t, KeyHash> index_;
    // The most and the least recently used stream, once there is one.
    std::uint32_t newestUse_ = 0;
    std::uint32_t oldestUse_ = 0;
    std::int64_t lost_ = 0;
    std::uint64_t evicted_ = 0;
};
