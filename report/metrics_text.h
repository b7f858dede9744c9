#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A receiver's totals since its start, for monitoring: of a sender, or of a
// group with all its senders.
struct MetricsFlow {
    std::string address;
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t lost = 0;      // gaps in the sequence numbers
    std::uint64_t outages = 0;   // times it fell silent for longer than the threshold
    // Of a sender only: times its hop limit changed, and the latest (-1:
    // none seen).
    std::uint64_t routeChanges = 0;
    int ttl = -1;
};

struct MetricsTotals {
    std::string group;   // the run's one group, or "all"
    int port = 0;
    std::vector<MetricsFlow> senders;   // a sender named twice is counted as one
    std::uint64_t ownDrops = 0;         // dropped by this host's full socket buffer
    // In a run of several groups each of them, whose silences are the outages
    // (the senders then have none of their own).
    std::vector<MetricsFlow> groups{};
};

// The totals as counters in the plain text exposition format (0.0.4) that a
// monitoring system's text file collector reads: one family per figure, each
// with its HELP and TYPE lines, labelled by group, port and sender; in a run
// of several groups, the families of each group too (kestil_group_*),
// labelled by group and port; of the senders whose datagrams said their hop
// limit, the route changes and the latest hop limit (a gauge, kestil_ttl).
// A family without any sample is left out.
std::string metricsText(const MetricsTotals& totals);
