#include "engine/interval_meter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr SocketAddress kA{IpAddress::v4(0x0a000001), 9000};
constexpr SocketAddress kB{IpAddress::v4(0x0a000002), 9000};
constexpr std::uint64_t kStart = 5000;

struct Timed {
    std::uint64_t ms;   // since the start
    Arrival arrival;
};

// Datagrams first ... last of sender, everyMs apart from atMs, in order.
void stream(std::vector<Timed>& out, const SocketAddress& sender, std::uint32_t first,
            std::uint32_t last, std::uint64_t atMs, std::uint64_t everyMs,
            std::uint64_t bytes = 1032, std::size_t group = 0)
{
    for (std::uint32_t seq = first; seq <= last; ++seq, atMs += everyMs)
        out.push_back({atMs, {sender, bytes, Arrival::Next, seq, 0, group}});
}

void byTime(std::vector<Timed>& d)
{
    std::stable_sort(d.begin(), d.end(),
                     [](const Timed& x, const Timed& y) { return x.ms < y.ms; });
}

struct Metered {
    std::vector<ReceiveInterval> intervals;
    std::vector<Outage> outages;
    OutageSummary summary;
};

// Feeds the datagrams as a receiver would, closing each interval on its
// boundary, and the last one at endMs.
Metered meter(const std::vector<Timed>& datagrams, std::uint64_t endMs,
              std::vector<IpAddress> groups = {IpAddress::v4(0xef010101)})
{
    IntervalMeter m(1000, 1000);
    m.start(kStart, std::move(groups));
    Metered run;
    std::uint64_t boundary = kStart + 1000;
    auto closeUpTo = [&](std::uint64_t now) {
        for (; m.due(now); boundary += 1000)
            run.intervals.push_back(m.close(boundary));
    };
    for (const Timed& d : datagrams) {
        closeUpTo(kStart + d.ms);
        Outage outage;
        if (m.take(d.arrival, kStart + d.ms, outage))
            run.outages.push_back(outage);
    }
    closeUpTo(kStart + endMs);
    if (run.intervals.empty() || run.intervals.back().endMs != kStart + endMs)
        run.intervals.push_back(m.close(kStart + endMs));
    run.summary = m.outages();
    return run;
}

struct Expected {
    std::uint64_t datagrams;
    std::int64_t lost;
    double lossPercent;
    std::uint64_t late;
    std::uint64_t repeated;
    double kbps;
};

struct IntervalCase {
    std::string name;
    std::vector<Timed> datagrams;
    std::uint64_t endMs;
    std::vector<Expected> intervals;
};

std::vector<IntervalCase> cases()
{
    std::vector<IntervalCase> all;
    {
        // 8 kbit/s: one 1000-byte datagram a second, in the middle of each.
        IntervalCase c{"a stream of 8 kbit/s", {}, 3000, {}};
        stream(c.datagrams, kA, 0, 2, 500, 1000, 1000);
        c.intervals.assign(3, {1, 0, 0, 0, 0, 8.0});
        all.push_back(c);
    }
    {
        // 10 in the first second; in the second, 10 then 20-29.
        IntervalCase c{"a burst of loss inside one interval", {}, 2000, {}};
        stream(c.datagrams, kA, 0, 10, 0, 100, 100);
        c.datagrams.push_back({1500, {kA, 100, Arrival::Next, 20, 9}});
        stream(c.datagrams, kA, 21, 29, 1510, 10, 100);
        c.intervals = {{10, 0, 0, 0, 0, 8.0}, {11, 9, 45.0, 0, 0, 8.8}};
        all.push_back(c);
    }
    {
        // 3 overtakes 2 just before the boundary; 2 and a repeat of 3 after it.
        IntervalCase c{"reordering across an interval boundary", {}, 2000, {}};
        stream(c.datagrams, kA, 0, 1, 0, 100, 125);
        c.datagrams.push_back({990, {kA, 125, Arrival::Next, 3, 1}});
        c.datagrams.push_back({1010, {kA, 125, Arrival::Late, 2, -1}});
        c.datagrams.push_back({1020, {kA, 125, Arrival::Repeated, 3, 0}});
        c.datagrams.push_back({1030, {kA, 125, Arrival::Next, 4, 0}});
        c.intervals = {{3, 1, 25.0, 0, 0, 3.0}, {3, -1, 0, 1, 1, 3.0}};
        all.push_back(c);
    }
    return all;
}

TEST(IntervalMeterTest, FiguresPerInterval)
{
    for (const IntervalCase& c : cases()) {
        SCOPED_TRACE(c.name);
        const Metered run = meter(c.datagrams, c.endMs);
        ASSERT_EQ(run.intervals.size(), c.intervals.size());
        FlowCounts sum;
        for (std::size_t k = 0; k < c.intervals.size(); ++k) {
            SCOPED_TRACE(k);
            const ReceiveInterval& got = run.intervals[k];
            const Expected& want = c.intervals[k];
            EXPECT_EQ(got.startMs, kStart + 1000 * k);
            EXPECT_EQ(got.endMs, kStart + 1000 * (k + 1));
            EXPECT_EQ(got.interval.datagrams, want.datagrams);
            EXPECT_EQ(got.interval.lost, want.lost);
            EXPECT_DOUBLE_EQ(got.interval.lossPercent(), want.lossPercent);
            EXPECT_EQ(got.interval.late, want.late);
            EXPECT_EQ(got.interval.repeated, want.repeated);
            EXPECT_DOUBLE_EQ(got.kbps(), want.kbps);
            sum.datagrams += got.interval.datagrams;
            sum.bytes += got.interval.bytes;
            sum.lost += got.interval.lost;
            // One sender: its figures are the total's.
            ASSERT_EQ(got.senders.size(), 1u);
            EXPECT_EQ(got.senders[0].interval.datagrams, want.datagrams);
        }
        const FlowCounts& total = run.intervals.back().total;
        EXPECT_EQ(total.datagrams, sum.datagrams);
        EXPECT_EQ(total.bytes, sum.bytes);
        EXPECT_EQ(total.lost, sum.lost);
        EXPECT_TRUE(run.outages.empty());
    }
}

TEST(IntervalMeterTest, RateSinceTheFirstDatagramNotSinceTheStart)
{
    // 8 kbit/s from 10 s after the start: the average since the start would
    // read less than half of that.
    std::vector<Timed> datagrams;
    stream(datagrams, kA, 0, 10, 10000, 1000, 1000);
    const Metered run = meter(datagrams, 20000);
    EXPECT_DOUBLE_EQ(run.intervals.back().total.kbpsFirstToLast(), 8.0);
}

TEST(IntervalMeterTest, OutagesOfEachSenderWithTheirLengthAndLoss)
{
    // A at 16 ms a datagram stops for 3 s; B goes on, then stops once for
    // exactly the threshold (no outage) and once for longer but sends
    // without numbers; A starts again from 0 after another silence.
    std::vector<Timed> d;
    stream(d, kA, 0, 62, 0, 16);         // the last at 992
    stream(d, kA, 250, 300, 3992, 16);   // 187 numbers skipped
    stream(d, kB, 0, 9, 5, 100);         // the last at 905
    stream(d, kB, 10, 10, 1905, 100);    // silent for exactly 1000 ms
    d.push_back({4000, {kB, 60, Arrival::Unnumbered, 0, 0}});
    stream(d, kA, 0, 5, 6000, 16);
    byTime(d);
    const Metered run = meter(d, 7000);

    const std::vector<Outage> expected = {
        {kA, kStart + 992, 3000, 187, {}},
        {kB, kStart + 1905, 2095, 0, {}},
        {kA, kStart + 4792, 6000 - 4792, 0, {}},   // 300 came at 3992 + 50 * 16
    };
    ASSERT_EQ(run.outages.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(run.outages[k].sender, expected[k].sender);
        EXPECT_EQ(run.outages[k].beganMs, expected[k].beganMs);
        EXPECT_EQ(run.outages[k].lastedMs, expected[k].lastedMs);
        EXPECT_EQ(run.outages[k].lost, expected[k].lost);
    }
    EXPECT_EQ(run.summary.count, 3u);
    EXPECT_EQ(run.summary.longestMs, 3000u);
    EXPECT_EQ(run.summary.totalMs, 3000u + 2095u + 1208u);
    // Both senders, in the order they first arrived, add up to the total.
    const ReceiveInterval& last = run.intervals.back();
    ASSERT_EQ(last.senders.size(), 2u);
    EXPECT_EQ(last.senders[0].sender, kA);
    EXPECT_EQ(last.senders[0].total.datagrams + last.senders[1].total.datagrams,
              last.total.datagrams);
    // The one group holds the whole run, outages included.
    ASSERT_EQ(last.groups.size(), 1u);
    EXPECT_EQ(last.groups[0].total.datagrams, last.total.datagrams);
    EXPECT_EQ(last.groups[0].outages, 3u);
}

// Per group and interval: datagrams, lost, outages ended.
struct GroupExpected {
    std::uint64_t datagrams;
    std::int64_t lost;
    std::uint64_t outages;

    bool operator==(const GroupExpected&) const = default;
};

struct GroupCase {
    std::string name;
    std::size_t groups;
    std::vector<Timed> datagrams;
    std::uint64_t endMs;
    std::vector<std::vector<GroupExpected>> intervals;   // [interval][group]
    std::vector<Outage> outages;
    std::vector<SocketAddress> from;   // each group's sender at the end
};

std::vector<GroupCase> groupCases()
{
    const auto group = [](std::size_t k) { return IpAddress::v4(0xef010101 + k); };
    std::vector<GroupCase> all;
    {
        // One sender, each group its own sequence every 30 ms, the groups
        // 10 ms apart: 1 loses 40-42; 2 falls silent after 49 and comes
        // back at 110. The sender never stops, so only the group's silence
        // is an outage.
        GroupCase c{"one sender, three groups: a loss and a silence", 3, {}, 4000, {}, {}, {}};
        stream(c.datagrams, kA, 0, 132, 0, 30, 1032, 0);
        stream(c.datagrams, kA, 0, 39, 10, 30, 1032, 1);
        c.datagrams.push_back({10 + 30 * 43, {kA, 1032, Arrival::Next, 43, 3, 1}});
        stream(c.datagrams, kA, 44, 132, 10 + 30 * 44, 30, 1032, 1);
        stream(c.datagrams, kA, 0, 49, 20, 30, 1032, 2);
        c.datagrams.push_back({20 + 30 * 110, {kA, 1032, Arrival::Next, 110, 60, 2}});
        stream(c.datagrams, kA, 111, 132, 20 + 30 * 111, 30, 1032, 2);
        c.intervals = {{{34, 0, 0}, {33, 0, 0}, {33, 0, 0}},
                       {{33, 0, 0}, {31, 3, 0}, {17, 0, 0}},
                       {{33, 0, 0}, {33, 0, 0}, {0, 0, 0}},
                       {{33, 0, 0}, {33, 0, 0}, {23, 60, 1}}};
        c.outages = {{kA, kStart + 20 + 30ul * 49, 30ul * 61, 60, group(2)}};
        c.from = {kA, kA, kA};
        all.push_back(c);
    }
    {
        // A's group falls silent and B's datagram ends it: B's number says
        // nothing about what A's silence lost.
        GroupCase c{"an outage ended by another sender", 2, {}, 3000, {}, {}, {}};
        stream(c.datagrams, kA, 0, 9, 0, 100, 1032, 0);
        stream(c.datagrams, kB, 500, 500, 2500, 100, 1032, 0);
        stream(c.datagrams, kB, 0, 29, 50, 100, 1032, 1);
        c.intervals = {{{10, 0, 0}, {10, 0, 0}}, {{0, 0, 0}, {10, 0, 0}}, {{1, 0, 1}, {10, 0, 0}}};
        c.outages = {{kB, kStart + 900, 1600, 0, group(0)}};
        c.from = {kB, kB};
        all.push_back(c);
    }
    for (GroupCase& c : all)
        byTime(c.datagrams);
    return all;
}

TEST(IntervalMeterTest, FiguresPerGroup)
{
    for (const GroupCase& c : groupCases()) {
        SCOPED_TRACE(c.name);
        std::vector<IpAddress> groups;
        for (std::size_t k = 0; k < c.groups; ++k)
            groups.push_back(IpAddress::v4(0xef010101 + k));
        const Metered run = meter(c.datagrams, c.endMs, groups);
        ASSERT_EQ(run.intervals.size(), c.intervals.size());
        std::vector<std::vector<GroupExpected>> got;
        std::vector<GroupExpected> sums(c.groups, {0, 0, 0});
        for (const ReceiveInterval& interval : run.intervals) {
            ASSERT_EQ(interval.groups.size(), c.groups);
            got.emplace_back();
            for (std::size_t k = 0; k < c.groups; ++k) {
                const GroupFigures& g = interval.groups[k];
                got.back().push_back({g.interval.datagrams, g.interval.lost, g.intervalOutages});
                // Here every interval without a datagram of the group ends
                // more than a threshold after its last.
                EXPECT_EQ(g.silent, g.interval.datagrams == 0);
                sums[k] = {sums[k].datagrams + g.interval.datagrams, sums[k].lost + g.interval.lost,
                           sums[k].outages + g.intervalOutages};
                EXPECT_EQ((GroupExpected{g.total.datagrams, g.total.lost, g.outages}), sums[k]);
                EXPECT_EQ(g.group, groups[k]);
            }
        }
        EXPECT_EQ(got, c.intervals);
        EXPECT_EQ(run.outages, c.outages);
        EXPECT_EQ(run.summary.count, c.outages.size());
        for (std::size_t k = 0; k < c.groups; ++k)
            EXPECT_EQ(run.intervals.back().groups[k].from, c.from[k]) << k;
    }
}

}   // namespace

namespace {

// The dialog's statistics and the intervals' totals are one set of counts:
// whatever the meter took shows the same in both, including what is counted
// beside the datagrams.
TEST(IntervalMeterTest, TheStatisticsAreTheIntervalsTotals)
{
    IntervalMeter m(1000, 1000);
    m.start(0, {IpAddress::v4(0xef010101)});
    Outage outage;
    m.take({kA, 1000, Arrival::Next, 0, 0, 0}, 100, outage);
    m.take({kA, 1000, Arrival::Next, 3, 2, 0}, 600, outage);
    m.take({kB, 500, Arrival::Unnumbered, 0, 0, 0}, 1500, outage);
    m.take({kA, 1000, Arrival::Late, 1, -1, 0}, 1700, outage);
    m.addOverflowed(4);
    m.addStray();
    m.addSaved(4);
    m.takeBackSaved(1);
    m.setEvicted(2);
    const ReceiveInterval first = m.close(1000);
    const ReceiveInterval last = m.close(2000);

    const ReceiveReport report = m.report(2000);
    EXPECT_EQ(report, (ReceiveReport{kA, 4, 3500, 8, 1, 4, 3, 1, 2}));
    EXPECT_EQ(report.datagrams, last.total.datagrams);
    EXPECT_EQ(report.bytes, last.total.bytes);
    EXPECT_EQ(report.lost, last.total.lost);
    EXPECT_EQ(report.overflowed, last.overflowedTotal);
    EXPECT_EQ(report.evicted, last.evictedTotal);
    EXPECT_EQ(first.evicted, 2u);
    EXPECT_EQ(last.evicted, 0u);
    // Nothing before the first datagram, not even a sender.
    m.start(0, {IpAddress::v4(0xef010101)});
    EXPECT_EQ(m.report(500), ReceiveReport{});
}

}   // namespace

namespace {

// Each sender's hop limit per interval and since the start, and a route
// change told once, as the first datagram with the new limit arrives.
TEST(IntervalMeterTest, HopLimitsPerSenderAndEachRouteChangeOnce)
{
    IntervalMeter m(1000, 1000);
    m.start(0, {IpAddress::v4(0xef010101)});
    std::vector<RouteChange> changes;
    const struct {
        std::uint64_t ms;
        SocketAddress sender;
        int hops;
    } arrivals[] = {
        {10, kA, 19}, {20, kB, 64}, {30, kA, 19}, {40, kA, -1},   // -1: not carried
        {50, kA, 18}, {60, kA, 18}, {70, kA, 19}, {1100, kB, 64},
    };
    std::vector<ReceiveInterval> closed;
    std::uint32_t seq = 0;
    for (const auto& a : arrivals) {
        if (m.due(a.ms))
            closed.push_back(m.close(1000));
        Outage outage;
        Arrival arrival{a.sender, 100, Arrival::Next, seq++};
        arrival.hops = a.hops;
        m.take(arrival, a.ms, outage);
        if (RouteChange change; m.takeRouteChange(change))
            changes.push_back(change);
    }
    closed.push_back(m.close(2000));
    const IpAddress group = IpAddress::v4(0xef010101);
    EXPECT_EQ(changes, (std::vector<RouteChange>{{kA, 19, 18, group}, {kA, 18, 19, group}}));

    ASSERT_EQ(closed.size(), 2U);
    ASSERT_EQ(closed[0].senders.size(), 2U);
    const HopCounts& a = closed[0].senders[0].intervalQuality.hops;
    EXPECT_EQ(std::make_tuple(a.latest, a.min, a.max, a.changes), std::make_tuple(19, 18, 19, 2U));
    const HopCounts& b = closed[0].senders[1].intervalQuality.hops;
    EXPECT_EQ(std::make_tuple(b.latest, b.min, b.max, b.changes), std::make_tuple(64, 64, 64, 0U));
    // A sender silent in the second interval says nothing of it, but keeps
    // its figures since the start; one that sent the same limit again
    // shows it in the interval without a change.
    const HopCounts& a2 = closed[1].senders[0].intervalQuality.hops;
    EXPECT_EQ(std::make_tuple(a2.latest, a2.min, a2.max, a2.changes),
              std::make_tuple(-1, -1, -1, 0U));
    EXPECT_EQ(closed[1].senders[0].totalQuality.hops.changes, 2U);
    EXPECT_EQ(closed[1].senders[0].totalQuality.hops.min, 18);
    const HopCounts& b2 = closed[1].senders[1].intervalQuality.hops;
    EXPECT_EQ(std::make_tuple(b2.latest, b2.min, b2.max, b2.changes),
              std::make_tuple(64, 64, 64, 0U));
}

}   // namespace

namespace {

// Each sender's losses in bursts apart from the others', the late ones as
// the reordering extent, and all senders together in the interval's totals.
TEST(IntervalMeterTest, LossPatternsPerSenderAndTogether)
{
    IntervalMeter m(1000, 1000);
    m.start(0, {IpAddress::v4(0xef010101)});
    Outage outage;
    auto next = [&](const SocketAddress& sender, std::uint32_t seq, std::int64_t lost) {
        m.take({sender, 100, Arrival::Next, seq, lost}, 10, outage);
    };
    // A loses 10 in a row, then 1 alone; B loses 1, interleaved with A.
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    for (int i = 0; i < 40; ++i) {
        next(kA, a, i == 20 ? 10 : 0);
        a += i == 20 ? 11 : 1;
        next(kB, b, i == 30 ? 1 : 0);
        b += i == 30 ? 2 : 1;
    }
    Arrival late{kA, 100, Arrival::Late, a - 7, -1};
    late.behind = 6;
    m.take(late, 20, outage);
    next(kA, a, 1);

    const ReceiveInterval closed = m.close(1000);
    ASSERT_EQ(closed.senders.size(), 2u);
    const LossPattern& la = closed.senders[0].totalQuality.losses;
    EXPECT_EQ(std::make_tuple(la.bursts, la.longestRun, la.burstLost, la.gapLost, la.reorderExtent),
              std::make_tuple(1u, 10u, 10u, 1u, 6u));
    // The single loss at the end counts since the start, not yet in the interval.
    EXPECT_EQ(closed.senders[0].intervalQuality.losses.gapLost, 0u);
    const LossPattern& lb = closed.senders[1].totalQuality.losses;
    EXPECT_EQ(std::make_tuple(lb.bursts, lb.longestRun, lb.gapLost, lb.reorderExtent),
              std::make_tuple(0u, 1u, 1u, 0u));
    EXPECT_EQ(std::make_tuple(closed.totalLosses.bursts, closed.totalLosses.longestRun,
                              closed.totalLosses.gapLost, closed.totalLosses.reorderExtent,
                              closed.totalLosses.datagrams),
              std::make_tuple(1u, 10u, 2u, 6u, la.datagrams + lb.datagrams));
}

}   // namespace

namespace {

// The one-way delay's least, mean and most per sender, and RFC 3550's
// jitter worked by hand: transit 10, 12, 11, 15 ms gives changes 2, 1, 4 ms
// and J = 2/16 = 0.125, then 0.125 + (1 - 0.125)/16 = 0.1796875, then
// 0.1796875 + (4 - 0.1796875)/16 = 0.418457...; a datagram without its
// send time changes none of it.
TEST(IntervalMeterTest, OneWayDelayAndInterarrivalJitterPerSender)
{
    IntervalMeter m(1000, 1000);
    m.start(0, {IpAddress::v4(0xef010101)});
    Outage outage;
    std::uint32_t seq = 0;
    auto take = [&](const SocketAddress& sender, std::int64_t delayMs, bool stamped = true) {
        Arrival arrival{sender, 100, Arrival::Next, seq++};
        arrival.stamped = stamped;
        arrival.delayNs = delayMs * 1'000'000;
        m.take(arrival, 10, outage);
    };
    take(kA, 10);
    take(kB, 30);
    take(kA, 12);
    take(kA, 99, false);
    take(kA, 11);
    const ReceiveInterval first = m.close(1000);
    take(kA, 15);
    const ReceiveInterval second = m.close(2000);

    const DelayCounts& a = first.senders[0].intervalQuality.delay;
    EXPECT_EQ(std::make_tuple(a.stamped, a.minNs, a.maxNs),
              std::make_tuple(3u, 10'000'000, 12'000'000));
    EXPECT_DOUBLE_EQ(a.meanNs(), 11e6);
    EXPECT_DOUBLE_EQ(a.jitterNs, 0.1796875e6);
    const DelayCounts& a2 = second.senders[0].intervalQuality.delay;
    EXPECT_EQ(std::make_tuple(a2.stamped, a2.minNs, a2.maxNs),
              std::make_tuple(1u, 15'000'000, 15'000'000));
    EXPECT_DOUBLE_EQ(a2.jitterNs, (0.1796875 + (4 - 0.1796875) / 16) * 1e6);
    const DelayCounts& total = second.senders[0].totalQuality.delay;
    EXPECT_EQ(std::make_tuple(total.stamped, total.minNs, total.maxNs),
              std::make_tuple(4u, 10'000'000, 15'000'000));
    // Another sender's delays are no change of this one's; together the
    // senders' delays and the higher jitter.
    EXPECT_DOUBLE_EQ(first.senders[1].intervalQuality.delay.jitterNs, 0);
    EXPECT_EQ(std::make_tuple(second.totalDelay.stamped, second.totalDelay.minNs,
                              second.totalDelay.maxNs),
              std::make_tuple(5u, 10'000'000, 30'000'000));
    EXPECT_DOUBLE_EQ(second.totalDelay.jitterNs, a2.jitterNs);
}

}   // namespace

namespace {

// The arrival times' figures per sender: the delay factor of each interval
// and the highest since the start, the largest gap (also across intervals'
// ends) and the numbers found missing per second; datagrams without a time
// count for none of them.
TEST(IntervalMeterTest, DelayFactorGapsAndLossRatePerSender)
{
    IntervalMeter m(1000, 1000);
    m.start(0, {IpAddress::v4(0xef010101)});
    Outage outage;
    auto take = [&](std::uint32_t seq, std::int64_t lost, std::int64_t ms, bool timed = true) {
        Arrival arrival{kA, 1000, Arrival::Next, seq, lost};
        arrival.arrivedNs = timed ? std::int64_t{1'700'000'000'000'000'000} + 1'000'000 * ms : 0;
        m.take(arrival, static_cast<std::uint64_t>(ms), outage);
    };
    // 0, 100, ... 900 ms, 4 numbers missing before the sixth, then at 1300
    // ms (the gap across the interval's end) and 1340 ms.
    for (std::uint32_t i = 0; i < 10; ++i)
        take(i < 5 ? i : i + 4, i == 5 ? 4 : 0, std::int64_t{100} * i);
    take(999, 0, 950, false);
    const ReceiveInterval first = m.close(1000);
    take(14, 0, 1300);
    take(15, 0, 1340);
    const ReceiveInterval second = m.close(2000);

    const ArrivalCounts& a = first.senders[0].intervalQuality.arrivals;
    EXPECT_TRUE(a.rated);
    EXPECT_EQ(a.delayFactorNs, 100'000'000u);
    EXPECT_EQ(std::make_tuple(a.gaps, a.largestGapNs), std::make_tuple(9u, 100'000'000u));
    EXPECT_DOUBLE_EQ(a.lossRate, 4);
    const ArrivalCounts& b = second.senders[0].intervalQuality.arrivals;
    EXPECT_EQ(std::make_tuple(b.rated, b.delayFactorNs), std::make_tuple(true, 40'000'000u));
    EXPECT_EQ(std::make_tuple(b.gaps, b.largestGapNs), std::make_tuple(2u, 400'000'000u));
    EXPECT_DOUBLE_EQ(b.lossRate, 0);
    const ArrivalCounts& total = second.senders[0].totalQuality.arrivals;
    EXPECT_EQ(std::make_tuple(total.delayFactorNs, total.gaps, total.largestGapNs),
              std::make_tuple(100'000'000u, 11u, 400'000'000u));
    EXPECT_DOUBLE_EQ(total.lossRate, 2);
    EXPECT_EQ(second.totalArrivals.largestGapNs, 400'000'000u);
}

}   // namespace
