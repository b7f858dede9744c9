#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A receiver's totals since its start, for monitoring.
struct MetricsSender {
    std::string address;
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;
    std::uint64_t lost = 0;      // gaps in the sender's sequence numbers
    std::uint64_t outages = 0;   // times it fell silent for longer than the threshold
};

struct MetricsTotals {
    std::string group;
    int port = 0;
    std::vector<MetricsSender> senders;   // a sender named twice is counted as one
    std::uint64_t ownDrops = 0;           // dropped by this host's full socket buffer
};

// The totals as counters in the plain text exposition format (0.0.4) that a
// monitoring system's text file collector reads: one family per figure, each
// with its HELP and TYPE lines, labelled by group, port and sender. A family
// without any sample is left out.
std::string metricsText(const MetricsTotals& totals);

// Replaces the file name with the text whole. 0, or an errno value.
int writeMetricsFile(const char* name, const MetricsTotals& totals);
