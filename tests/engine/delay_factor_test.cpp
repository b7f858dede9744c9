#include "engine/delay_factor.h"

#include "tests/support/scripted_clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace {

// A receive as the engine makes it: it waits gapMs, reads the clock once
// and takes datagrams of 1000 bytes at that time.
struct Receive {
    int gapMs;
    int datagrams = 1;
};

// RFC 4445's delay factor worked by hand, each datagram 1000 bytes: the
// buffer drains at the bytes after the first over the time to the last, so
// an even stream gives its spacing, a datagram held up adds the hold-up, and
// datagrams taken in together fill the buffer as much as their batch.
TEST(DelayFactorTest, TheVirtualBufferDrainsAtTheSpansOwnRate)
{
    const struct {
        const char* what;
        std::vector<Receive> receives;
        std::optional<std::uint64_t> factorMs;
    } cases[] = {
        {"10 ms apart", {{0}, {10}, {10}, {10}, {10}, {10}, {10}, {10}, {10}, {10}}, 10},
        // 0, 10, 20, 40, 40, 50, 60: the fourth 10 ms late, with the fifth.
        {"one 10 ms late", {{0}, {10}, {10}, {20, 2}, {10}, {10}}, 20},
        // 30 to 60 held back to 70: the buffer runs 40 ms dry, then fills.
        {"four held back 40 ms", {{0}, {10}, {10}, {50, 5}, {10}, {10}}, 50},
        // Sent 10 ms apart but taken in 4 at a time, 40 ms apart: the
        // factor is only as fine as the receives.
        {"coalesced by four", {{0, 4}, {40, 4}, {40}}, 40},
        {"one alone", {{0}}, std::nullopt},
        {"all at once", {{0, 8}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedClock clock({0});
        clock.setFollowsSleeps(true);
        DelayFactor factor;
        for (const Receive& r : c.receives) {
            clock.sleepMs(r.gapMs);
            const auto ns = static_cast<std::int64_t>(clock.tickCount()) * 1'000'000;
            for (int i = 0; i < r.datagrams; ++i)
                factor.take(ns, 1000);
        }
        const std::optional<std::uint64_t> ns = factor.factorNs();
        ASSERT_EQ(ns.has_value(), c.factorMs.has_value());
        if (ns) {
            EXPECT_EQ(*ns, *c.factorMs * 1'000'000);
        }
        // A new span forgets the old.
        factor.clear();
        EXPECT_FALSE(factor.factorNs());
    }
}

// However long the span and however its arrivals wander, the hulls stay
// bounded, and a time read out of order counts as the latest.
TEST(DelayFactorTest, BoundedForAnySpanAndTimesOutOfOrder)
{
    DelayFactor factor;
    std::uint32_t seed = 7;
    std::int64_t ns = 0;
    for (int i = 0; i < 200'000; ++i) {
        seed = seed * 1'103'515'245u + 12'345u;
        // Ever longer gaps with noise: a stream slowing down.
        ns += 1000 + i / 8 + static_cast<std::int64_t>(seed >> 24);
        factor.take(ns, 100);
    }
    EXPECT_TRUE(factor.factorNs());
    DelayFactor late;
    late.take(1'000'000, 100);
    late.take(11'000'000, 100);
    late.take(5'000'000, 100);   // read from another socket after the second
    late.take(31'000'000, 100);
    // 0, 10, 10, 30 ms, draining 300 bytes over 30 ms: 200 bytes apart at most.
    EXPECT_EQ(late.factorNs(), std::optional<std::uint64_t>(20'000'000));
}

}   // namespace
