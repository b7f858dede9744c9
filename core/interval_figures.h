#pragma once

#include "core/ip_address.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// What a receiver counted of a flow over some span: one interval, or the
// whole run. Times are the receiver's milliseconds since its run started.
struct FlowCounts {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;   // whole datagrams, headers included
    // Sequence gaps opened minus gaps filled later; in one interval it goes
    // below 0 when datagrams missing from an earlier one arrive late.
    std::int64_t lost = 0;
    std::uint64_t late = 0;       // behind the newest number, not seen before
    std::uint64_t repeated = 0;   // a number that had already arrived
    std::uint64_t numbered = 0;   // datagrams with a sequence number, repeats left out
    std::uint64_t firstMs = 0;    // arrival of the first datagram, once datagrams > 0
    std::uint64_t firstBytes = 0;
    std::uint64_t lastMs = 0;   // arrival of the latest
    // lost as two counts that only grow: the numbers found missing, and
    // those of them no longer missing (arrived late, or a restart taken back).
    std::uint64_t missing = 0;
    std::uint64_t recovered = 0;

    // Of the numbers expected (those that arrived plus those missing), the
    // share missing, in percent; 0 when nothing was expected or more was
    // filled in than went missing.
    double lossPercent() const
    {
        const std::int64_t expected = static_cast<std::int64_t>(numbered) + lost;
        if (lost <= 0 || expected <= 0)
            return 0;
        return 100.0 * static_cast<double>(lost) / static_cast<double>(expected);
    }
    // Rate from the first datagram to the latest, in kbit/s (bits per ms):
    // what came after the first over the time since it arrived; 0 until two
    // arrived in different milliseconds.
    double kbpsFirstToLast() const { return kbpsOver(bytes - firstBytes, lastMs - firstMs); }

    static double kbpsOver(std::uint64_t bytes, std::uint64_t ms)
    {
        return ms == 0 ? 0 : static_cast<double>(bytes) * 8 / static_cast<double>(ms);
    }
};

// The hop limit a sender's datagrams arrived with (the IPv4 TTL or the IPv6
// hop limit) over some span; -1 while none said it. Each router on the way
// takes one off: from a sender with the default TTL 20, 20 minus it is the
// routers crossed.
struct HopCounts {
    int latest = -1;
    int min = -1;
    int max = -1;
    std::uint64_t changes = 0;   // times it differed from the one before: a route changed

    void add(int hops)
    {
        latest = hops;
        min = min < 0 ? hops : std::min(min, hops);
        max = std::max(max, hops);
    }
};

// The pattern of one sender's losses over some span, after the burst
// metrics of RFC 3611 (4.7.2) with Gmin 16: a burst runs from a lost
// datagram to a lost datagram with fewer than 16 received between any two
// of its losses, and holds at least two losses; the rest is gap, where a
// loss is isolated. A burst counts in the interval it ended in (16
// datagrams after its last loss; since the start also while it lasts); a
// datagram counts lost as the gap before its successor opens, so one that
// arrives late later still counts here.
struct LossPattern {
    std::uint64_t bursts = 0;
    std::uint64_t longestRun = 0;       // the most datagrams lost one after another
    std::uint64_t burstLost = 0;        // lost in bursts
    std::uint64_t burstDatagrams = 0;   // lost and received in bursts
    std::uint64_t gapLost = 0;          // lost alone, in gaps
    std::uint64_t datagrams = 0;        // in sequence: lost, and received ahead of the newest
    // RFC 4737's reordering extent as far as numbers tell it: the farthest
    // a late datagram arrived behind its sender's newest number.
    std::uint32_t reorderExtent = 0;

    // The share of the datagrams in bursts that was lost, in percent.
    double burstDensity() const { return percent(burstLost, burstDatagrams); }
    // The share of the datagrams in gaps that was lost, in percent.
    double gapDensity() const
    {
        return percent(gapLost, datagrams - std::min(datagrams, burstDatagrams));
    }
    // Adds another sender's figures.
    void merge(const LossPattern& other)
    {
        bursts += other.bursts;
        longestRun = std::max(longestRun, other.longestRun);
        burstLost += other.burstLost;
        burstDatagrams += other.burstDatagrams;
        gapLost += other.gapLost;
        datagrams += other.datagrams;
        reorderExtent = std::max(reorderExtent, other.reorderExtent);
    }

    static double percent(std::uint64_t part, std::uint64_t whole)
    {
        return whole == 0 ? 0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    }
};

// The one-way delay of the datagrams that carried their send time (see
// SendStamp), from the sender's wall clock to the receiver's: meaningful
// only where both clocks are synchronised (PTP, NTP), and below 0 when the
// receiver's runs behind. With it the interarrival jitter of RFC 3550
// (6.4.1, A.8): the mean deviation of the delay from one datagram to the
// next, smoothed over 16, as it stood at the span's end.
struct DelayCounts {
    std::uint64_t stamped = 0;   // datagrams that carried their send time
    std::int64_t minNs = 0;      // once stamped > 0
    std::int64_t maxNs = 0;
    double sumNs = 0;
    double jitterNs = 0;

    double meanNs() const { return stamped == 0 ? 0 : sumNs / static_cast<double>(stamped); }
    void add(std::int64_t delayNs, double jitter)
    {
        minNs = stamped == 0 ? delayNs : std::min(minNs, delayNs);
        maxNs = stamped == 0 ? delayNs : std::max(maxNs, delayNs);
        ++stamped;
        sumNs += static_cast<double>(delayNs);
        jitterNs = jitter;
    }
    // Adds another sender's figures; the jitter is the highest of theirs.
    void merge(const DelayCounts& other)
    {
        if (other.stamped == 0)
            return;
        minNs = stamped == 0 ? other.minNs : std::min(minNs, other.minNs);
        maxNs = stamped == 0 ? other.maxNs : std::max(maxNs, other.maxNs);
        stamped += other.stamped;
        sumNs += other.sumNs;
        jitterNs = std::max(jitterNs, other.jitterNs);
    }
};

// How evenly a sender's datagrams arrived over some span, from their arrival
// times alone, stamped or not: the delay factor and media loss rate of RFC
// 4445 (the Media Delivery Index), and the largest gap between two arrivals.
// The delay factor is the span of a virtual buffer that each datagram fills
// with its bytes as it arrives and that drains at the stream's measured rate
// (its bytes after the first over the time from the first to the last), over
// that rate: a stream paced evenly gives the time between two datagrams,
// one held up by 20 ms 20 ms more. Arrival times are the system's where it
// gives them; datagrams it took in together (a coalesced receive, or a batch
// without them) share one, so the figures' resolution is the spacing of
// those receives.
struct ArrivalCounts {
    // Of an interval: its own; since the start: the highest of an interval.
    // Known once a span's datagrams arrived at two different times.
    bool rated = false;
    std::uint64_t delayFactorNs = 0;
    // Arrivals with one of the same sender before them (in an earlier
    // interval too), and the most time between two; an outage is a gap too.
    std::uint64_t gaps = 0;
    std::uint64_t largestGapNs = 0;
    // The numbers found missing per second: of an interval over its length;
    // since the start over the time since the sender's first datagram.
    // Missing numbers that arrive late still count, as RFC 4445 counts
    // datagrams out of order.
    double lossRate = 0;

    // Adds another sender's figures: the higher delay factor and gap, the
    // losses per second summed.
    void merge(const ArrivalCounts& other)
    {
        if (other.rated)
            delayFactorNs =
                rated ? std::max(delayFactorNs, other.delayFactorNs) : other.delayFactorNs;
        rated = rated || other.rated;
        gaps += other.gaps;
        largestGapNs = std::max(largestGapNs, other.largestGapNs);
        lossRate += other.lossRate;
    }
};

// How one sender's datagrams arrived over some span, beside what FlowCounts
// says of how many.
struct QualityCounts {
    HopCounts hops{};
    LossPattern losses{};
    DelayCounts delay{};
    ArrivalCounts arrivals{};
};

// One sender's figures.
struct SenderFigures {
    SocketAddress sender;
    FlowCounts interval;
    FlowCounts total;
    QualityCounts intervalQuality{};
    QualityCounts totalQuality{};
};

// One group's figures, all its senders together.
struct GroupFigures {
    IpAddress group;
    FlowCounts interval;
    FlowCounts total;
    std::uint64_t outages = 0;           // since the start
    std::uint64_t intervalOutages = 0;   // ended in the interval
    // At the interval's end: none arrived yet, or none for longer than the
    // outage threshold.
    bool silent = false;
    // The sender of its newest numbered datagram; family None while none came.
    SocketAddress from{};
};

// The figures of one interval, closed at endMs, and those since the start.
struct ReceiveInterval {
    std::uint64_t startMs = 0;
    std::uint64_t endMs = 0;
    FlowCounts interval;
    FlowCounts total;
    std::uint64_t overflowed = 0;        // dropped by the own socket in the interval
    std::uint64_t overflowedTotal = 0;   // ... and since the start
    // Streams the sequence tracker evicted in the interval, and since the
    // start (see ReceiveReport::evicted).
    std::uint64_t evicted = 0;
    std::uint64_t evictedTotal = 0;
    // Every sender seen since the start that the meter still keeps, in the
    // order they first arrived.
    std::vector<SenderFigures> senders;
    // Every group of the run, in the order of the run's group list.
    std::vector<GroupFigures> groups;
    // The loss patterns of every sender together.
    LossPattern losses{};
    LossPattern totalLosses{};
    // The delays of every sender together.
    DelayCounts delay{};
    DelayCounts totalDelay{};
    // The arrival times' figures of every sender together.
    ArrivalCounts arrivals{};
    ArrivalCounts totalArrivals{};

    double kbps() const { return FlowCounts::kbpsOver(interval.bytes, endMs - startMs); }
};

// A flow that had been sending and then fell silent for longer than the
// threshold, ended by its next datagram: in a run of one group a sender, in a
// run of several a group (whoever sends to it).
struct Outage {
    SocketAddress sender;        // of the datagram that ended it
    std::uint64_t beganMs = 0;   // its last datagram before the silence
    std::uint64_t lastedMs = 0;
    // Numbers skipped between the last datagram before and the first after.
    std::int64_t lost = 0;
    IpAddress group;

    bool operator==(const Outage&) const = default;
};

// A sender's datagrams came with another hop limit than before: the route
// to this host changed.
struct RouteChange {
    SocketAddress sender;
    int from = -1;   // the hop limit before
    int to = -1;     // and now
    IpAddress group;

    bool operator==(const RouteChange&) const = default;
};

// The outages of a run so far.
struct OutageSummary {
    std::uint64_t count = 0;
    std::uint64_t longestMs = 0;
    std::uint64_t totalMs = 0;
};
