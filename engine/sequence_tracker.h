#pragma once

#include "core/ip_address.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// Counts datagrams missing from up to 4096 streams at once, a stream being
// what one sender (address and port) sends to one group of the run (by its
// index in the run's group list), each with a sequence of its own; lost() is
// the sum. One sender may send many groups, each numbered from 0.
//
// Sequence numbers are unsigned 32-bit serial numbers: one less than 2^31
// ahead of the newest is ahead, anything else is behind, so the count runs on
// across 2^32. Per sender:
// - the first number sets the baseline;
// - a number ahead of the newest becomes the newest and adds the numbers
//   skipped;
// - a number behind the newest by less than the window (1024) is late or a
//   duplicate: it leaves the newest alone, and when it is the first arrival of
//   a number counted as missing, takes that one back;
// - 0 is a restarted sender: a new baseline, no loss;
// - a number further than the window ahead of the newest or behind it moves
//   nothing on its own: a stale duplicate or a garbled number would
//   otherwise count thousands lost. Only when the sender's next number
//   follows it is the jump taken: one far ahead counts every number skipped
//   (a long outage at a high rate), one far behind is a restarted sender. A
//   jump not followed so changes no loss.
// A stream not seen while 4096 others were is dropped; what it lost stays in
// the sum.
class SequenceTracker {
public:
    static constexpr int kWindow = 1024;
    static constexpr int kStreams = 4096;

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
    };

    // Takes the next sequence number of sender in group; returns where it
    // stood and the change to lost(): the numbers it shows missing, or -1 for
    // a late arrival of one of them.
    Seen observe(const SocketAddress& sender, std::uint32_t seq, std::size_t group = 0);

    std::int64_t lost() const { return lost_; }

private:
    static constexpr int kWords = kWindow / 64;

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
        std::uint64_t lastUse = 0;
        std::uint32_t newest = 0;
        // A number far from the newest that waits for its successor.
        bool jumped = false;
        std::uint32_t jump = 0;
        // Bit seq % kWindow: whether seq arrived, for the kWindow numbers up
        // to the newest.
        std::array<std::uint64_t, kWords> arrived{};

        void restart(std::uint32_t seq);
        // Takes seq, ahead of the newest, as the newest; the numbers skipped.
        std::int64_t advance(std::uint32_t seq);
        bool has(std::uint32_t seq) const;
        void mark(std::uint32_t seq);
        void clear(std::uint32_t seq);
    };

    Stream& streamOf(const Key& key);

    std::vector<Stream> streams_;   // grows up to kStreams
    std::unordered_map<Key, std::size_t, KeyHash> index_;
    std::size_t latest_ = 0;   // index of the stream of the previous datagram
    std::uint64_t uses_ = 0;
    std::int64_t lost_ = 0;
};
