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

// The receive loop over ms of the flow, intervals of 1000 ms: each round
// takes up to a batch of what queued and costs 0.05 ms; it rests as told,
// and when it found nothing it waits for the next datagram.
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
    double last = 0;
    while (now < ms) {
        arrived += (now - last) * pace(now);
        last = now;
        const double queued = arrived - taken;
        loop.mostQueued = std::max(loop.mostQueued, queued);
        const int got = static_cast<int>(std::min(64.0, queued));
        taken += got;
        bytes += static_cast<std::uint64_t>(got) * flow.size;
        now += 0.05;
        const auto at = static_cast<std::uint64_t>(now);
        const int r =
            rest.after(got, 64, at, static_cast<std::uint64_t>(taken), bytes, 1000 - at % 1000);
        if (r > 0) {
            loop.rests.push_back(r);
            loop.crossedCloses += (at % 1000) + static_cast<std::uint64_t>(r) > 1000 ? 1 : 0;
            now += r;
        } else if (got == 0) {
            now += 1 / pace(now);
        }
    }
    return loop;
}

// A slow flow rests as long as a batch takes to come, within 4 to 16 ms and
// 128 KiB; never past an interval's close.
TEST(ReceiveRest, ASteadyFlowRestsAsLongAsABatchTakesToCome)
{
    const struct {
        double perMs;
        std::uint64_t size;
        int settled;
    } flows[] = {
        {7.3, 1032, 8},                   // 60 Mbit/s
        {1, 1032, 16},                    // 8 Mbit/s and slower: the longest
        {0.1, 1032, 16}, {20, 1032, 4},   // 165 Mbit/s: the shortest
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
        EXPECT_GE(std::count(settled.begin(), settled.end(), f.settled), 8);
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
    EXPECT_EQ(rest.after(0, 64, 1000, 11, 10320, 1000), 0);
    EXPECT_EQ(rest.after(1, 64, 1001, 12, 11352, 1000), ReceiveRest::kShortestMs);
    // A full batch, and many not right after a rest, are read on at once.
    EXPECT_EQ(rest.after(64, 64, 1010, 76, 77000, 1000), 0);
    EXPECT_EQ(rest.after(9, 64, 1010, 85, 87000, 1000), 0);
    EXPECT_EQ(rest.after(3, 3, 1010, 88, 90000, 1000), 0);
}

}   // namespace
