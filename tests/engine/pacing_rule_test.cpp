#include "engine/pacing_rule.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Sends count datagrams of bytes each and evaluates every due one at the tick
// at(seq) gives. Returns the sleep after the last datagram.
template <typename TickAt>
int sendRun(PacingRule& rule, int count, std::int64_t bytes, TickAt at)
{
    for (int i = 0; i < count; ++i) {
        if (rule.recordSend(bytes))
            rule.evaluate(at(rule.seq()));
    }
    return rule.sleepMs();
}

}   // namespace

TEST(PacingRule, AllowsOnePercentAboveTarget)
{
    // 6464 bytes in 100 ms is exactly 101 % of 64 bytes/ms: still slow enough.
    PacingRule exact(64, 0);
    exact.recordSend(6464 - 29);
    EXPECT_EQ(sendRun(exact, 29, 1, [](std::uint64_t) { return 100; }), 0);

    PacingRule above(64, 0);
    above.recordSend(6465 - 29);
    EXPECT_EQ(sendRun(above, 29, 1, [](std::uint64_t) { return 100; }), 2);

    // A target of 0 finds every average too fast and keeps slowing down.
    PacingRule stopped(0, 0);
    EXPECT_EQ(sendRun(stopped, 90, 8, [](std::uint64_t seq) { return seq * 1000; }), 4);
}

TEST(PacingRule, TotalsAndRatesPastFourGiB)
{
    PacingRule rule(1'000'000, 0);
    sendRun(rule, 30, 200'000'000, [](std::uint64_t) { return 1000; });
    EXPECT_EQ(rule.total(), 6'000'000'000);
    EXPECT_EQ(rule.rateKbps(), 48'000'000);
}
