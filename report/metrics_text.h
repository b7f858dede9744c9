#pragma once

#include "core/interval_figures.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A receiver's figures for monitoring: of a sender, or of a group with all
// its senders. The counts are since the start and only grow; the rate and
// the silence are those at the end of the latest interval.
struct MetricsFlow {
    std::string address;
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    // Gaps in the sequence numbers: the numbers found missing, and those of
    // them that arrived later (or were taken back); lost is the difference.
    std::uint64_t missing = 0;
    std::uint64_t recovered = 0;
    std::uint64_t outages = 0;   // times it fell silent for longer than the threshold
    double bytesPerSecond = 0;   // in the latest interval
    double silentSeconds = 0;    // since its latest datagram
    // Of a sender only: times its hop limit changed, and the latest (-1:
    // none seen).
    std::uint64_t routeChanges = 0;
    int ttl = -1;
    // Of a sender only: its loss bursts since the start and the datagrams
    // lost in them (LossPattern); in the latest interval, the one-way delay
    // and jitter of the datagrams that carried their send time (stamped of
    // them), the delay factor once known (rated) and the largest gap between
    // two arrivals (gapped), in seconds.
    std::uint64_t bursts = 0;
    std::uint64_t burstLost = 0;
    std::uint64_t stamped = 0;
    double delayMin = 0;
    double delayMean = 0;
    double delayMax = 0;
    double jitter = 0;
    bool rated = false;
    double delayFactor = 0;
    bool gapped = false;
    double largestGap = 0;
    // Of a sender only, since the start: the longest run lost, the shares
    // lost in bursts and in gaps (0 to 1), the reordering extent; in the
    // latest interval the numbers found missing per second.
    std::uint64_t burstLongest = 0;
    double burstDensity = 0;
    double gapDensity = 0;
    std::uint64_t reorderExtent = 0;
    double lossRate = 0;
};

struct MetricsTotals {
    std::string group;   // the run's one group, or "all"
    int port = 0;
    std::vector<MetricsFlow> senders;   // a sender named twice is counted as one
    std::uint64_t ownDrops = 0;         // dropped by this host's full socket buffer
    // In a run of several groups each of them, whose silences are the outages
    // (the senders then have none of their own).
    std::vector<MetricsFlow> groups{};
    // Known only while the links are watched, which needs CAP_NET_RAW: the
    // Unix time a querier was last heard (0 while none has been), and the
    // datagrams of silent groups the links delivered but this host did not
    // receive, as looks at the links counted them.
    bool linkWatched = false;
    double querierHeardAt = 0;
    std::uint64_t linkUnreceived = 0;
};

// The figures in the plain text exposition format (0.0.4) that a monitoring
// system scrapes or its text file collector reads: one family per figure,
// each with its HELP and TYPE lines, labelled by group, port and sender; in
// a run of several groups, the families of each group too (kestil_group_*),
// labelled by group and port. Every family named *_total is a counter that
// never goes down during a run; what may fall (the loss as it stands, the
// rate, the silence) is a gauge. A family without any sample is left out;
// the links' two figures are the run's, labelled by group and port; of the
// senders whose datagrams said their hop limit, the route changes and the
// latest hop limit (a gauge, kestil_ttl); of those with stamped datagrams in
// the latest interval the delay and jitter, and of those whose arrivals gave
// them the delay factor and largest gap, as gauges in seconds.
std::string metricsText(const MetricsTotals& totals);

// The same figures as families, for a server that writes them itself.
struct MetricsSample {
    std::vector<std::pair<std::string, std::string>> labels;   // name, value unescaped
    std::string value;                                         // as the text has it
};
struct MetricsFamily {
    std::string name;
    std::string help;
    bool counter = true;   // else a gauge
    std::vector<MetricsSample> samples;
};
std::vector<MetricsFamily> metricsFamilies(const MetricsTotals& totals);

// A flow's figures from its counts in the interval [startMs, endMs] and
// since the start.
MetricsFlow metricsFlow(std::string address, const FlowCounts& interval, const FlowCounts& total,
                        std::uint64_t outages, std::uint64_t startMs, std::uint64_t endMs);
// Adds how a sender's datagrams arrived, in the interval and since the start.
void addQuality(MetricsFlow& flow, const QualityCounts& interval, const QualityCounts& total);
