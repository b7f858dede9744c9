#include "bench/pacing_model.h"

#include <gtest/gtest.h>

namespace {

double exactSleep(int ms)
{
    return ms;
}

}   // namespace

// Traced by hand with 1000-byte datagrams, no loop cost and exact sleeps,
// starting 0.125 ms into a tick.
TEST(PacingModelTest, FollowsTheRuleStepByStep)
{
    const PacingModel model(exactSleep, 0.0);

    // 8000 kbit/s is 1000 bytes per ms. Datagrams 1-30 go one per ms; at the
    // 30th the average is 30000 / 30, not above 1010, so the pause drops
    // from 1 to 0 (not -1); 31-60 leave at once, and at the 60th the average
    // is 60000 / 30, so the pause grows to 1; the 61st still leaves at
    // 30.125 ms, then one per ms up to the 80th at 49.125 ms.
    PacingModel::Result result = model.run(8000, 1000, 0.050, 0.125);
    EXPECT_EQ(result.datagrams, 80u);
    EXPECT_DOUBLE_EQ(result.firstSendMs, 0.125);
    EXPECT_DOUBLE_EQ(result.lastSendMs, 49.125);
    EXPECT_NEAR(result.spanKbps, 79 * 1000 * 8 / 49.0, 1e-9);

    // 4000 kbit/s is 500 bytes per ms, 505 with the allowance, so the first
    // pause is 2 ms. The averages at the 30th, 60th, 90th and 120th datagram
    // are 30000 / 60, 60000 / 60, 90000 / 90 and 120000 / 150: the pause
    // goes 2, 0, 1, 2, 3, so datagrams 121-137 leave every 3 ms from
    // 150.125 ms until 200 ms.
    result = model.run(4000, 1000, 0.200, 0.125);
    EXPECT_EQ(result.datagrams, 137u);
    EXPECT_DOUBLE_EQ(result.lastSendMs, 198.125);
}

// The average is held at the 1 % allowance above the target, so a long run
// ends just above 101 % of it whatever the sleep granularity.
TEST(PacingModelTest, LongRunsSettleAtTheAllowance)
{
    const auto coarse = [](int ms) { return ms + 0.08; };
    const PacingModel model(coarse, 0.01);
    for (int speed : {512, 2000, 8000}) {
        const int target = speed / 8 * 8;   // whole bytes per millisecond
        const double allowance = target * 1.01;
        const double predicted = model.predictKbps(speed, 1032, 600);
        EXPECT_GT(predicted, allowance * 0.995) << speed;
        EXPECT_LT(predicted, allowance * 1.01) << speed;
    }
}

// The first pause follows the target, so even the largest datagrams keep
// close to it from the start instead of bursting far above it.
TEST(PacingModelTest, LargeDatagramsStayNearTheTargetFromTheStart)
{
    const auto coarse = [](int ms) { return ms + 0.08; };
    const PacingModel model(coarse, 0.01);
    for (int bytes : {1032, 10008, 65507}) {
        for (double seconds : {10.0, 30.0}) {
            const double predicted = model.predictKbps(512, bytes, seconds);
            EXPECT_GT(predicted, 512 * 0.95) << bytes << " " << seconds;
            EXPECT_LT(predicted, 512 * 1.05) << bytes << " " << seconds;
        }
    }
}
