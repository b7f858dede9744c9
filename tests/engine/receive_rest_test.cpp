#include "engine/receive_rest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// A steady flow of perMs datagrams of size bytes each ms, from 0 until
// speedsUpAt, perMs times faster after.
struct Flow {
    double perMs;
    std::uint64_t size = 1032;
    double speedsUpAt = 1e9;
    double faster = 1;
};

struct Loop {
    std::vector<int> rests;   // in order
    int crossedCloses = 0;    // rests that ran past an interval's close
    double mostQueued = 0;    // datagrams waiting at a round's start
};

// The receive loop over ms of the flow, intervals of 1000 ms: a round waits
// up to 10 ms for the first datagram, then takes up to a batch of what
// queued and costs 0.05 ms; it rests as told.
Loop run(const Flow& flow, double ms)
{
    ReceiveRest rest;
    Loop loop;
    double now = 0;
    double arrived = 0;   // datagrams arrived since 0, whole and in part
    double taken = 0;
    std::uint64_t bytes = 0;
    auto pace = [&](double at) {
        return at < flow.speedsUpAt ? flow.perMs : flow.perMs * flow.faster;
    };
    auto until = [&](double at) {
        arrived += (at - now) * pace(now);
        now = at;
    };
    while (now < ms) {
        if (arrived - taken < 1)
            until(now + std::min(10.0, (taken + 1 - arrived) / pace(now)));
        const double queued = arrived - taken;
        loop.mostQueued = std::max(loop.mostQueued, queued);
        const int got = static_cast<int>(std::min(64.0, queued));
        taken += got;
        bytes += static_cast<std::uint64_t>(got) * flow.size;
        until(now + 0.05);
        const auto at = static_cast<std::uint64_t>(now);
        const int r =
            rest.after(got, 64, at, static_cast<std::uint64_t>(taken), bytes, 1000 - at % 1000);
        if (r > 0) {
            loop.rests.push_back(r);
            loop.crossedCloses += (at % 1000) + static_cast<std::uint64_t>(r) > 1000 ? 1 : 0;
            until(now + r);
        }
    }
    return loop;
}

// A slow flow rests as long as two batches take to come, within 4 to 16 ms
// and 128 KiB; never past an interval's close.
TEST(ReceiveRest, ASteadyFlowRestsAsLongAsTwoBatchesTakeToCome)
{
    const struct {
        double perMs;
        std::uint64_t size;
        int settled;
    } flows[] = {
        {7.3, 1032, 16},                  // 60 Mbit/s and slower: the longest
        {0.1, 1032, 16}, {20, 1032, 6},   // 165 Mbit/s
        {40, 1032, 4},                    // 330 Mbit/s: the shortest
        {0.5, 65000, 4},                  // 260 Mbit/s of the largest: by the bytes
        {2, 16000, 4},
    };
    for (const auto& f : flows) {
        SCOPED_TRACE(f.perMs);
        const Loop loop = run({f.perMs, f.size}, 5000);
        ASSERT_GT(loop.rests.size(), 20u);
        EXPECT_EQ(loop.rests.front(), ReceiveRest::kShortestMs);
        // Once settled, every rest but those cut short by a close.
        std::vector<int> settled(loop.rests.end() - 10, loop.rests.end());
        EXPECT_GE(std::count(settled.begin(), settled.end(), f.settled), 8)
            << ::testing::PrintToString(settled);
        EXPECT_EQ(loop.crossedCloses, 0);
    }
}

// A flow that speeds up 100 times fills the round after the rest it came
// in and rests the shortest from then; one that pauses starts again from
// the shortest rest.
TEST(ReceiveRest, AFasterFlowEndsTheRestsAndAWaitStartsThemAgain)
{
    const Loop faster = run({1, 1032, 2000.5, 100}, 3000);
    EXPECT_LE(faster.mostQueued, 100 * ReceiveRest::kLongestMs + 64);
    EXPECT_LE(*std::max_element(faster.rests.end() - 10, faster.rests.end()),
              ReceiveRest::kShortestMs);

    ReceiveRest rest;
    EXPECT_EQ(rest.after(1, 64, 0, 1, 1032, 1000), ReceiveRest::kShortestMs);
    EXPECT_EQ(rest.after(10, 64, 20, 11, 10320, 1000), ReceiveRest::kLongestMs);
    // The reading after a rest: full batches, then the rest of the queue.
    EXPECT_EQ(rest.after(64, 64, 36, 75, 77400, 1000), 0);
    EXPECT_EQ(rest.after(40, 64, 36, 115, 118680, 1000), ReceiveRest::kLongestMs);
    // A wait in vain; then many, not after a rest, or all the limit left,
    // are read on at once.
    EXPECT_EQ(rest.after(0, 64, 1000, 115, 118680, 1000), 0);
    EXPECT_EQ(rest.after(9, 64, 1001, 124, 127968, 999), 0);
    EXPECT_EQ(rest.after(3, 3, 1001, 127, 131064, 999), 0);
    EXPECT_EQ(rest.after(1, 64, 1002, 128, 132096, 998), ReceiveRest::kShortestMs);
}

}   // namespace
