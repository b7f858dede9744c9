#include "engine/loss_bursts.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

// A sender's sequence as text, 'R' received and 'L' lost, fed as the meter
// feeds it: each received datagram with the losses just before it. Returns
// the figures since the start with any burst still open, and those of the
// stretch after the first `split` characters alone.
std::pair<LossPattern, LossPattern> feed(const std::string& sequence, std::size_t split = 0)
{
    LossBursts bursts;
    LossPattern before;
    LossPattern after;
    LossPattern total;
    std::uint64_t lost = 0;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        if (sequence[i] == 'L') {
            ++lost;
            continue;
        }
        bursts.take(lost, i < split ? before : after, total);
        lost = 0;
    }
    return {bursts.withOpen(total), after};
}

auto figures(const LossPattern& p)
{
    return std::make_tuple(p.bursts, p.longestRun, p.burstLost, p.burstDatagrams, p.gapLost,
                           p.datagrams);
}

std::string received(int n)
{
    return std::string(static_cast<std::size_t>(n), 'R');
}

// Worked by hand from the definitions: a burst runs from a loss to a loss
// with fewer than Gmin (16) received between any two, and holds two losses
// or more; a loss alone between 16 received or more is a gap's.
TEST(LossBurstsTest, BurstsAndGapsAfterTheDefinitionsWithGmin16)
{
    const struct {
        const char* name;
        std::string sequence;
        std::uint64_t bursts, longest, burstLost, burstDatagrams, gapLost, datagrams;
        double burstDensity, gapDensity;
    } cases[] = {
        {"nothing lost", received(40), 0, 0, 0, 0, 0, 40, 0, 0},
        {"isolated losses", received(20) + "L" + received(20) + "L" + received(20), 0, 1, 0, 0, 2,
         62, 0, 100.0 * 2 / 62},
        {"a run and a loss 3 after it", received(5) + "LLL" + "RRR" + "L" + received(20), 1, 3, 4,
         7, 0, 32, 100.0 * 4 / 7, 0},
        {"15 received keep a burst together", "L" + received(15) + "L" + received(16), 1, 1, 2, 17,
         0, 33, 100.0 * 2 / 17, 0},
        {"16 received part it into two isolated losses", "L" + received(16) + "L" + received(16), 0,
         1, 0, 0, 2, 34, 0, 100.0 * 2 / 34},
        {"bursts of 10 and an isolated loss",
         received(30) + std::string(10, 'L') + received(30) + std::string(10, 'L') + received(30) +
             "L" + received(30),
         2, 10, 20, 20, 1, 141, 100, 100.0 * 1 / 121},
        {"a burst still open at the end counts as it stands", received(3) + "LL" + "R" + "L" + "R",
         1, 2, 3, 4, 0, 8, 75, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const LossPattern total = feed(c.sequence).first;
        EXPECT_EQ(figures(total), std::make_tuple(c.bursts, c.longest, c.burstLost,
                                                  c.burstDatagrams, c.gapLost, c.datagrams));
        EXPECT_NEAR(total.burstDensity(), c.burstDensity, 1e-9);
        EXPECT_NEAR(total.gapDensity(), c.gapDensity, 1e-9);
    }
}

// A burst counts in the interval it ends in, 16 received after its last
// loss; a run of millions lost costs no more than one.
TEST(LossBurstsTest, ABurstCountsWhereItEndsAndLongRunsAreTakenWhole)
{
    const std::string sequence = received(10) + "LL" + received(20);
    // Split after the losses and 4 received: the burst ends in the second part.
    const LossPattern after = feed(sequence, 16).second;
    EXPECT_EQ(after.bursts, 1u);
    EXPECT_EQ(after.burstLost, 2u);
    // Split after it ended: the second part has none.
    EXPECT_EQ(feed(sequence, 30).second.bursts, 0u);

    LossBursts bursts;
    LossPattern interval;
    LossPattern total;
    bursts.take(0, interval, total);
    bursts.take(5'000'000, interval, total);
    EXPECT_EQ(total.longestRun, 5'000'000u);
    EXPECT_EQ(total.datagrams, 5'000'002u);
    EXPECT_EQ(bursts.withOpen(total).burstLost, 5'000'000u);
}

}   // namespace
