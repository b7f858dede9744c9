#include "engine/sequence_tracker.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

struct LossCase {
    std::string name;
    std::vector<std::int32_t> sequence;
    std::vector<std::int64_t> gaps;   // what each number adds
};

TEST(SequenceTracker, CountsGapsAndFollowsEveryStepBack)
{
    const std::vector<LossCase> cases = {
        {"first number only sets the baseline", {500}, {0}},
        {"consecutive numbers lose nothing", {0, 1, 2, 3}, {0, 0, 0, 0}},
        {"a gap adds the numbers skipped", {0, 1, 5, 6}, {0, 0, 3, 0}},
        {"a repeat adds nothing", {0, 1, 1, 2}, {0, 0, 0, 0}},
        {"a reorder becomes the new baseline", {0, 5, 3, 4, 6}, {0, 4, 0, 0, 1}},
        {"a restart at 0 is no loss", {0, 1, 2, 0, 1, 3}, {0, 0, 0, 0, 0, 1}},
        {"negative numbers compare as signed", {-5, -3, -10, -9}, {0, 1, 0, 0}},
        {"wrap from the largest to the smallest number is a step back",
         {INT32_MAX - 1, INT32_MAX, INT32_MIN, INT32_MIN + 1, INT32_MIN + 3},
         {0, 0, 0, 0, 1}},
        {"a gap across the whole range fits",
         {INT32_MIN, INT32_MAX},
         {0, std::int64_t{UINT32_MAX} - 1}},
        {"a gap of over 2^31 from zero", {0, INT32_MAX}, {0, std::int64_t{INT32_MAX} - 1}},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SequenceTracker tracker;
        std::int64_t total = 0;
        for (std::size_t i = 0; i < c.sequence.size(); ++i) {
            EXPECT_EQ(tracker.observe(c.sequence[i]), c.gaps[i]) << "at position " << i;
            total += c.gaps[i];
        }
        EXPECT_EQ(tracker.lost(), total);
    }
}

TEST(SequenceTracker, LostKeepsCountingPast32Bits)
{
    SequenceTracker tracker;
    // Each round trips through the whole range: 2^32 - 2 lost per round.
    for (int round = 0; round < 3; ++round) {
        tracker.observe(INT32_MIN);
        tracker.observe(INT32_MAX);
    }
    EXPECT_EQ(tracker.lost(), 3 * (std::int64_t{UINT32_MAX} - 1));
}

}   // namespace
