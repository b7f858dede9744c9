// Datagrams from several senders, as a stranger on the network may send
// them, through the wire-format parser, the sequence tracker and the
// interval meter, as the receiver takes them.
//
// Input: records of [sender, group and pause byte][length, 2 bytes]
// [datagram]; the low 3 bits pick one of eight senders, the next 2 one of
// four groups, the high 3 the milliseconds since the previous datagram. A
// length past the end takes what is left.

#include "core/datagram.h"
#include "engine/interval_meter.h"
#include "engine/sequence_tracker.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    SequenceTracker tracker;
    IntervalMeter meter(1000, 1000);
    constexpr std::size_t kGroups = 4;
    std::vector<IpAddress> groups;
    for (std::size_t g = 0; g < kGroups; ++g)
        groups.push_back(IpAddress::v4(0xef010101u + static_cast<std::uint32_t>(g)));
    meter.start(0, groups);
    std::vector<std::uint64_t> fedPerGroup(kGroups, 0);
    std::uint64_t now = 0;
    std::uint64_t fed = 0;
    std::uint64_t fedBytes = 0;
    std::uint64_t numbered = 0;
    std::int64_t lostChanges = 0;
    std::size_t at = 0;
    while (at + 3 <= size) {
        const std::uint8_t head = data[at];
        std::size_t length = static_cast<std::size_t>(data[at + 1]) << 8 | data[at + 2];
        at += 3;
        if (length > size - at)
            length = size - at;
        const unsigned char* datagram = data + at;
        at += length;
        now += head >> 5;
        const std::size_t group = (head >> 3) & 3u;

        const TestDatagram parsed = TestDatagram::parse(datagram, static_cast<int>(length));
        FUZZ_CHECK(parsed.headerLength == (parsed.tagged ? TestDatagram::kHeaderSize : 0));
        FUZZ_CHECK(static_cast<std::size_t>(parsed.headerLength) <= length);

        Arrival arrival{{IpAddress::v4(0x0a000001u + (head & 7u)), 9000}, length};
        arrival.group = group;
        if (parsed.tagged) {
            arrival.seq = static_cast<std::uint32_t>(parsed.seq);
            const SequenceTracker::Seen seen = tracker.observe(arrival.sender, arrival.seq, group);
            // Only a number ahead adds to the loss, only a late one takes
            // back, and that one number.
            FUZZ_CHECK(seen.change <= 0 || seen.order == SequenceTracker::Order::Next);
            FUZZ_CHECK(seen.change >= 0 ||
                       (seen.change == -1 && seen.order == SequenceTracker::Order::Late));
            // Two advances at most (a confirmed jump and its successor).
            FUZZ_CHECK(seen.change <= 2 * static_cast<std::int64_t>(UINT32_MAX));
            FUZZ_CHECK(tracker.lost() >= 0);
            arrival.order = arrivalOrder(seen.order);
            arrival.lostChange = seen.change;
            lostChanges += seen.change;
            if (seen.order == SequenceTracker::Order::Next ||
                seen.order == SequenceTracker::Order::Late)
                ++numbered;
        }
        Outage ended;
        if (meter.take(arrival, now, ended))
            FUZZ_CHECK(ended.lastedMs > 1000 && ended.lost >= 0);
        ++fed;
        ++fedPerGroup[group];
        fedBytes += length;
        if (meter.due(now)) {
            const ReceiveInterval interval = meter.close(now);
            FUZZ_CHECK(interval.total.datagrams == fed && interval.total.bytes == fedBytes);
            // Every group's counts add up to the totals.
            FUZZ_CHECK(interval.groups.size() == kGroups);
            std::int64_t groupsLost = 0;
            for (std::size_t g = 0; g < kGroups; ++g) {
                FUZZ_CHECK(interval.groups[g].total.datagrams == fedPerGroup[g]);
                groupsLost += interval.groups[g].total.lost;
            }
            FUZZ_CHECK(groupsLost == interval.total.lost);
        }
    }
    FUZZ_CHECK(tracker.lost() == lostChanges);
    const FlowCounts& total = meter.total();
    FUZZ_CHECK(total.datagrams == fed);
    FUZZ_CHECK(total.bytes == fedBytes);
    FUZZ_CHECK(total.lost == tracker.lost());
    FUZZ_CHECK(total.numbered == numbered);
    FUZZ_CHECK(total.lossPercent() >= 0 && total.lossPercent() <= 100);
    return 0;
}
