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
    PacingRule exact(64, 0, 64);
    exact.recordSend(6464 - 29);
    EXPECT_EQ(sendRun(exact, 29, 1, [](std::uint64_t) { return 100; }), 0);

    PacingRule above(64, 0, 64);
    above.recordSend(6465 - 29);
    EXPECT_EQ(sendRun(above, 29, 1, [](std::uint64_t) { return 100; }), 2);

    // A target of 0 finds every average too fast and keeps slowing down.
    PacingRule stopped(0, 0, 8);
    EXPECT_EQ(sendRun(stopped, 90, 8, [](std::uint64_t seq) { return seq * 1000; }), 11);
}

TEST(PacingRule, FirstPauseIsWhatTheTargetAllowsForOneDatagram)
{
    struct Case {
        std::int64_t target;
        std::int64_t bytes;
        int sleepMs;
    };
    // 512 kbit/s is 64 bytes/ms; a target below 1 counts as 1.
    const Case cases[] = {{64, 1032, 16},  {64, 10008, 156},  {64, 65507, 1023},
                          {1000, 1032, 1}, {100000, 1032, 1}, {0, 8, 8}};
    for (const Case& c : cases)
        EXPECT_EQ(PacingRule(c.target, 0, c.bytes).sleepMs(), c.sleepMs)
            << c.target << " " << c.bytes;
}

TEST(PacingRule, TotalsAndRatesPastFourGiB)
{
    PacingRule rule(1'000'000, 0, 200'000'000);
    sendRun(rule, 30, 200'000'000, [](std::uint64_t) { return 1000; });
    EXPECT_EQ(rule.total(), 6'000'000'000);
    EXPECT_EQ(rule.rateKbps(), 48'000'000);
}
