#include "engine/sequence_tracker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

using Stream = std::vector<std::pair<SocketAddress, std::uint32_t>>;   // sender, seq

constexpr SocketAddress kA{IpAddress::v4(0x0a000001), 9000};
constexpr SocketAddress kB{IpAddress::v4(0x0a000002), 9000};

// Appends first ... last (inclusive, wrapping at 2^32) from sender.
Stream& run(Stream& s, std::uint32_t first, std::uint32_t last, const SocketAddress& sender = kA)
{
    for (std::uint32_t seq = first;; ++seq) {
        s.emplace_back(sender, seq);
        if (seq == last)
            return s;
    }
}

Stream seqs(std::initializer_list<std::uint32_t> list, const SocketAddress& sender = kA)
{
    Stream s;
    for (std::uint32_t seq : list)
        s.emplace_back(sender, seq);
    return s;
}

struct LossCase {
    std::string name;
    Stream stream;
    std::int64_t lost;
    std::uint64_t evicted = 0;
};

// A sender for each i, all apart from kA and kB.
SocketAddress other(int i)
{
    return {IpAddress::v4(0x0b000000 + static_cast<std::uint32_t>(i)), 9000};
}

std::vector<LossCase> lossCases()
{
    std::vector<LossCase> cases = {
        {"a gap counts the numbers skipped", seqs({0, 1, 5, 6}), 3},
        {"a late number takes back its loss, once", seqs({0, 1, 5, 3, 3, 4, 3}), 1},
        {"a number before the first takes nothing back", seqs({100, 99, 102}), 1},
        {"a restart at 0 is no loss", seqs({0, 1, 2, 0, 1, 3}), 1},
        {"further back than the window is a restart", seqs({10, 3000, 3001, 1500, 1501}), 2989},
        {"at the misorder distance is late", seqs({0, 2, 101, 1}), 98},
        {"further behind takes nothing back", seqs({0, 2, 102, 1, 103}), 100},
        {"a number behind followed by its successor is a restart", seqs({0, 2, 102, 1, 2, 4}), 101},
        {"a gap across 2^31 counts", seqs({0x7ffffffe, 0x80000001}), 2},
        {"across 2^32 the count runs on", seqs({0xfffffffd, 0xffffffff, 2, 1}), 2},
        {"a stray number half the range away is a restart", seqs({5, 0x90000005, 0x90000006}), 0},
        {"the sum runs past 32 bits",
         seqs({2, 0x80000001, 0x80000002, 1, 2, 0x80000001, 0x80000002}),
         3 * std::int64_t{0x7ffffffe}},
        {"a jump not followed by its successor is none", seqs({0, 1, 5000, 5002, 2}), 0},
        {"a jump is followed by its own sender's next",
         {{kA, 0}, {kA, 5000}, {kB, 7}, {kB, 8}, {kA, 5001}},
         4999},
    };

    Stream s;
    run(s, 0, 49);
    run(s, 51, 60);
    run(s, 50, 50);
    cases.push_back({"one late, none lost", run(s, 61, 99), 0});

    s.clear();
    run(s, 0, 9);
    run(s, 3, 3);
    cases.push_back({"one repeated, none lost", run(s, 10, 99), 0});

    s.clear();
    run(s, 0, 29);
    run(s, 5, 5);
    cases.push_back({"an old one repeated, none lost", run(s, 30, 48), 0});

    s.clear();
    run(s, 0x80000000, 0x80000018);
    cases.push_back({"a restart after 2^31 loses nothing", run(s, 0, 24), 0});

    // A number far off moves the stream only when the next one follows it.
    s.clear();
    run(s, 0, 2999);
    run(s, 500, 500);
    cases.push_back({"a stale duplicate 2500 behind, none lost", run(s, 3000, 3099), 0});

    s.clear();
    run(s, 0, 99);
    run(s, 99 + 0x7ffffffeu, 99 + 0x7ffffffeu);
    cases.push_back({"a stray number 2^31 - 2 ahead, none lost", run(s, 100, 199), 0});

    s.clear();
    run(s, 0, 999);
    cases.push_back({"an outage followed by the stream, all lost", run(s, 5000, 5999), 4000});

    s.clear();
    run(s, 0, 4999);
    cases.push_back({"a sender restarted at 100, none lost", run(s, 100, 999), 0});

    // Restarted from the same port with its 0 lost: 10 lost before, 5 after.
    s.clear();
    run(s, 0, 99);
    run(s, 110, 499);
    run(s, 1, 99);
    cases.push_back({"a restart whose 0 was lost keeps the earlier losses", run(s, 105, 199), 15});

    s.clear();
    run(s, 0, 3000);
    run(s, 0, 0);
    cases.push_back({"a stale 0, none lost", run(s, 3001, 3100), 0});

    s.clear();
    run(s, 0, 9);
    run(s, 0, 0);
    run(s, 12, 20);
    cases.push_back({"a stale 0 just behind, the gap after counts", s, 2});

    // Two senders interleaved: each has its own sequence.
    s.clear();
    for (std::uint32_t i = 0; i < 200; ++i) {
        s.emplace_back(kA, i);
        if (i != 100)   // one lost from B
            s.emplace_back(kB, 5000 + i);
    }
    cases.push_back({"two senders on one group", s, 1});

    // A loses 1, then others crowd it out of the table or not; its late
    // number takes the loss back only while A is still known.
    constexpr int kFull = SequenceTracker::kStreams;
    for (int others : {kFull - 1, kFull}) {
        s = seqs({0, 2});
        for (int i = 0; i < others; ++i)
            s.emplace_back(other(i), 7);
        s.emplace_back(kA, 1);
        cases.push_back({std::to_string(others) + " other senders", s, others < kFull ? 0 : 1,
                         others < kFull ? 0U : 2U});
    }

    // The stream evicted is the one unused the longest, not the first to come.
    s = seqs({0, 2});
    for (int i = 0; i < kFull - 1; ++i)
        s.emplace_back(other(i), 7);
    s.emplace_back(kA, 3);
    s.emplace_back(other(kFull), 7);
    s.emplace_back(kA, 1);
    cases.push_back({"the least recently used is evicted", s, 0, 1});

    // Twice round more streams than the table holds, each losing its 1:
    // every datagram evicts, and no loss can be seen.
    s.clear();
    for (std::uint32_t seq : {0U, 2U}) {
        for (int i = 0; i <= kFull; ++i)
            s.emplace_back(other(i), seq);
    }
    cases.push_back({"more streams than the table holds", s, 0, 2 * (kFull + 1) - kFull});
    return cases;
}

TEST(SequenceTracker, CountsEachSendersLossWithLateAndRepeatedNumbers)
{
    for (const auto& c : lossCases()) {
        SCOPED_TRACE(c.name);
        SequenceTracker tracker;
        std::int64_t total = 0;
        for (const auto& [sender, seq] : c.stream) {
            total += tracker.observe(sender, seq).change;
            ASSERT_GE(tracker.lost(), 0) << "at " << seq;
        }
        EXPECT_EQ(tracker.lost(), c.lost);
        EXPECT_EQ(total, c.lost);
        EXPECT_EQ(tracker.evicted(), c.evicted);
    }
}

// One sender sends 1000 groups round-robin, each numbered from 0: every
// group is a stream of its own, and only the group that lost shows it.
TEST(SequenceTracker, OneSenderOfManyGroupsHasAStreamPerGroup)
{
    const SocketAddress sender{IpAddress::v4(0x0a000001), 9000};
    SequenceTracker tracker;
    for (std::uint32_t seq = 0; seq < 10; ++seq) {
        for (std::size_t group = 0; group < 1000; ++group) {
            if (group == 500 && seq == 5)
                continue;
            const SequenceTracker::Seen seen = tracker.observe(sender, seq, group);
            ASSERT_EQ(seen.order, SequenceTracker::Order::Next) << group << " " << seq;
            ASSERT_EQ(seen.change, group == 500 && seq == 6 ? 1 : 0) << group << " " << seq;
        }
    }
    EXPECT_EQ(tracker.lost(), 1);
}

TEST(SequenceTracker, SaysWhereEachNumberStood)
{
    using Order = SequenceTracker::Order;
    const std::vector<std::pair<std::uint32_t, Order>> stream = {
        {0, Order::Next},     {1, Order::Next},     {3, Order::Next},    {2, Order::Late},
        {2, Order::Repeated}, {3, Order::Repeated}, {5000, Order::Held}, {4, Order::Next},
        {0, Order::Held},     {1, Order::Next},     {200, Order::Next},  {50, Order::Held},
        {190, Order::Late},
    };
    SequenceTracker tracker;
    for (const auto& [seq, order] : stream) {
        SCOPED_TRACE(seq);
        const SequenceTracker::Seen seen = tracker.observe(kA, seq);
        EXPECT_EQ(seen.order, order);
        // How far behind the newest a late number arrived.
        EXPECT_EQ(seen.behind, seq == 2 && order == Order::Late ? 1u : seq == 190 ? 10u : 0u);
    }
}

}   // namespace
