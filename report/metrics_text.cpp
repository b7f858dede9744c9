#include "report/metrics_text.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

namespace {

// A label value between double quotes, escaped as the format asks.
std::string quoted(std::string_view value)
{
    std::string out = "\"";
    for (const char c : value) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

std::string countText(std::uint64_t n)
{
    return std::to_string(n);
}

std::string gaugeText(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

// Seconds to the microsecond, for delays of a millisecond or less.
std::string secondsText(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", value);
    return text;
}

// A share from 0 to 1, or a rate, to the millionth.
std::string ratioText(double value)
{
    return secondsText(value);
}

// What is missing now; below 0 when more arrived late than went missing
// (a sender's numbers taken back at a restart).
std::string lostText(const MetricsFlow& f)
{
    return f.missing >= f.recovered ? countText(f.missing - f.recovered)
                                    : "-" + countText(f.recovered - f.missing);
}

struct Family {
    const char* name;
    const char* help;
    bool counter;
    std::string (*value)(const MetricsFlow&);
    bool ofGroup;   // a group's family in a run of several
};

// "the sender's" or "the group's" in a help text is the one thing apart.
constexpr Family kFamilies[] = {
    {"kestil_datagrams_total", "Datagrams received from the sender.", true,
     [](const MetricsFlow& f) { return countText(f.datagrams); }, false},
    {"kestil_bytes_total", "Bytes received from the sender, UDP payload.", true,
     [](const MetricsFlow& f) { return countText(f.bytes); }, false},
    {"kestil_missing_total",
     "Datagrams found missing from the sender's sequence numbers; some may arrive later.", true,
     [](const MetricsFlow& f) { return countText(f.missing); }, false},
    {"kestil_recovered_total", "Datagrams found missing that arrived later.", true,
     [](const MetricsFlow& f) { return countText(f.recovered); }, false},
    {"kestil_lost", "Datagrams missing now: kestil_missing_total less kestil_recovered_total.",
     false, lostText, false},
    {"kestil_outages_total", "Times the sender fell silent for longer than the outage threshold.",
     true, [](const MetricsFlow& f) { return countText(f.outages); }, false},
    {"kestil_rate_bytes_per_second", "Bytes per second received in the latest interval.", false,
     [](const MetricsFlow& f) { return gaugeText(f.bytesPerSecond); }, false},
    {"kestil_silence_seconds", "Seconds since the latest datagram.", false,
     [](const MetricsFlow& f) { return gaugeText(f.silentSeconds); }, false},

    {"kestil_group_datagrams_total", "Datagrams received for the group.", true,
     [](const MetricsFlow& f) { return countText(f.datagrams); }, true},
    {"kestil_group_bytes_total", "Bytes received for the group, UDP payload.", true,
     [](const MetricsFlow& f) { return countText(f.bytes); }, true},
    {"kestil_group_missing_total",
     "Datagrams found missing from the group's sequence numbers; some may arrive later.", true,
     [](const MetricsFlow& f) { return countText(f.missing); }, true},
    {"kestil_group_recovered_total", "Datagrams of the group found missing that arrived later.",
     true, [](const MetricsFlow& f) { return countText(f.recovered); }, true},
    {"kestil_group_lost",
     "Datagrams of the group missing now: kestil_group_missing_total less "
     "kestil_group_recovered_total.",
     false, lostText, true},
    {"kestil_group_outages_total",
     "Times the group fell silent for longer than the outage threshold.", true,
     [](const MetricsFlow& f) { return countText(f.outages); }, true},
    {"kestil_group_rate_bytes_per_second",
     "Bytes per second received for the group in the latest interval.", false,
     [](const MetricsFlow& f) { return gaugeText(f.bytesPerSecond); }, true},
    {"kestil_group_silence_seconds", "Seconds since the group's latest datagram.", false,
     [](const MetricsFlow& f) { return gaugeText(f.silentSeconds); }, true},
};

// A sender's family, with a sample of each sender it has the figure of.
struct SenderFamily {
    const char* name;
    const char* help;
    bool counter;
    bool (*has)(const MetricsFlow&);
    std::string (*value)(const MetricsFlow&);
};

bool routed(const MetricsFlow& f)
{
    return f.ttl >= 0;
}
bool stamped(const MetricsFlow& f)
{
    return f.stamped != 0;
}
bool always(const MetricsFlow&)
{
    return true;
}
// Whose datagrams went missing in a pattern or arrived late.
bool patterned(const MetricsFlow& f)
{
    return f.burstLongest != 0 || f.reorderExtent != 0;
}

constexpr SenderFamily kSenderFamilies[] = {
    {"kestil_route_changes_total",
     "Times the sender's datagrams arrived with another TTL or hop limit than before.", true,
     routed, [](const MetricsFlow& f) { return countText(f.routeChanges); }},
    {"kestil_ttl", "The TTL or hop limit the sender's latest datagram arrived with.", false, routed,
     [](const MetricsFlow& f) { return std::to_string(f.ttl); }},
    {"kestil_loss_bursts_total",
     "Loss bursts of the sender (RFC 3611, Gmin 16), one still open included.", true, always,
     [](const MetricsFlow& f) { return countText(f.bursts); }},
    {"kestil_burst_lost_total", "Datagrams of the sender lost in loss bursts.", true, always,
     [](const MetricsFlow& f) { return countText(f.burstLost); }},
    {"kestil_burst_longest", "The most datagrams of the sender lost one after another.", false,
     patterned, [](const MetricsFlow& f) { return countText(f.burstLongest); }},
    {"kestil_burst_density_ratio",
     "Share of the sender's datagrams in loss bursts that was lost (RFC 3611).", false, patterned,
     [](const MetricsFlow& f) { return ratioText(f.burstDensity); }},
    {"kestil_gap_density_ratio",
     "Share of the sender's datagrams in the gaps between bursts that was lost (RFC 3611).", false,
     patterned, [](const MetricsFlow& f) { return ratioText(f.gapDensity); }},
    {"kestil_reorder_extent",
     "The farthest a late datagram of the sender arrived behind its newest number.", false,
     patterned, [](const MetricsFlow& f) { return countText(f.reorderExtent); }},
    {"kestil_media_loss_rate",
     "RFC 4445 media loss rate: the sender's numbers found missing per second in the latest "
     "interval.",
     false, always, [](const MetricsFlow& f) { return ratioText(f.lossRate); }},
    {"kestil_delay_min_seconds",
     "Least one-way delay of the sender's datagrams that carried their send time, in the latest "
     "interval.",
     false, stamped, [](const MetricsFlow& f) { return secondsText(f.delayMin); }},
    {"kestil_delay_mean_seconds", "Mean one-way delay of those datagrams in the latest interval.",
     false, stamped, [](const MetricsFlow& f) { return secondsText(f.delayMean); }},
    {"kestil_delay_max_seconds", "Most one-way delay of those datagrams in the latest interval.",
     false, stamped, [](const MetricsFlow& f) { return secondsText(f.delayMax); }},
    {"kestil_jitter_seconds",
     "RFC 3550 interarrival jitter of the sender's stamped datagrams at the latest interval's "
     "end.",
     false, stamped, [](const MetricsFlow& f) { return secondsText(f.jitter); }},
    {"kestil_delay_factor_seconds",
     "RFC 4445 delay factor of the sender's datagrams in the latest interval, drained at their "
     "rate.",
     false, [](const MetricsFlow& f) { return f.rated; },
     [](const MetricsFlow& f) { return secondsText(f.delayFactor); }},
    {"kestil_largest_gap_seconds",
     "Most time between two arrivals of the sender's datagrams in the latest interval.", false,
     [](const MetricsFlow& f) { return f.gapped; },
     [](const MetricsFlow& f) { return secondsText(f.largestGap); }},
};

void addFamily(std::vector<MetricsFamily>& families, const char* name, const char* help,
               bool counter)
{
    families.push_back({name, help, counter, {}});
}

using Labels = std::vector<std::pair<std::string, std::string>>;

}   // namespace

std::vector<MetricsFamily> metricsFamilies(const MetricsTotals& totals)
{
    // Two samples with the same labels would make the whole text unreadable.
    std::vector<MetricsFlow> senders;
    for (const MetricsFlow& sender : totals.senders) {
        auto same = senders.begin();
        while (same != senders.end() && same->address != sender.address)
            ++same;
        if (same == senders.end()) {
            senders.push_back(sender);
            continue;
        }
        same->datagrams += sender.datagrams;
        same->bytes += sender.bytes;
        same->missing += sender.missing;
        same->recovered += sender.recovered;
        same->outages += sender.outages;
        same->bytesPerSecond += sender.bytesPerSecond;
        same->silentSeconds = std::min(same->silentSeconds, sender.silentSeconds);
        same->routeChanges += sender.routeChanges;
        if (sender.ttl >= 0)
            same->ttl = sender.ttl;
        same->bursts += sender.bursts;
        same->burstLost += sender.burstLost;
        if (sender.stamped != 0) {
            const double weight = static_cast<double>(same->stamped);
            const double more = static_cast<double>(sender.stamped);
            same->delayMin =
                same->stamped != 0 ? std::min(same->delayMin, sender.delayMin) : sender.delayMin;
            same->delayMax = std::max(same->delayMax, sender.delayMax);
            same->delayMean =
                (same->delayMean * weight + sender.delayMean * more) / (weight + more);
            same->jitter = std::max(same->jitter, sender.jitter);
            same->stamped += sender.stamped;
        }
        same->delayFactor = std::max(same->delayFactor, sender.delayFactor);
        same->rated = same->rated || sender.rated;
        same->largestGap = std::max(same->largestGap, sender.largestGap);
        same->gapped = same->gapped || sender.gapped;
        // The densities of the worse of the two: their datagrams are not
        // known here to weigh them by.
        same->burstLongest = std::max(same->burstLongest, sender.burstLongest);
        same->burstDensity = std::max(same->burstDensity, sender.burstDensity);
        same->gapDensity = std::max(same->gapDensity, sender.gapDensity);
        same->reorderExtent = std::max(same->reorderExtent, sender.reorderExtent);
        same->lossRate += sender.lossRate;
    }

    const std::string port = std::to_string(totals.port);
    const Labels where{{"group", totals.group}, {"port", port}};
    std::vector<MetricsFamily> families;
    for (const Family& family : kFamilies) {
        const std::vector<MetricsFlow>& flows = family.ofGroup ? totals.groups : senders;
        // In a run of several groups the outages are the groups'.
        if (flows.empty() || (!family.ofGroup && !totals.groups.empty() &&
                              std::string_view(family.name) == "kestil_outages_total"))
            continue;
        addFamily(families, family.name, family.help, family.counter);
        for (const MetricsFlow& flow : flows) {
            Labels labels = where;
            if (family.ofGroup)
                labels.front().second = flow.address;
            else
                labels.emplace_back("sender", flow.address);
            families.back().samples.push_back({std::move(labels), family.value(flow)});
        }
    }
    // How the senders' datagrams arrived, of those that said it.
    for (const SenderFamily& family : kSenderFamilies) {
        std::vector<MetricsSample> samples;
        for (const MetricsFlow& sender : senders) {
            if (!family.has(sender))
                continue;
            Labels labels = where;
            labels.emplace_back("sender", sender.address);
            samples.push_back({std::move(labels), family.value(sender)});
        }
        if (samples.empty())
            continue;
        addFamily(families, family.name, family.help, family.counter);
        families.back().samples = std::move(samples);
    }
    addFamily(families, "kestil_own_drops_total",
              "Datagrams this host dropped because the receiving socket's buffer was full.", true);
    families.back().samples.push_back({where, countText(totals.ownDrops)});
    if (totals.linkWatched) {
        addFamily(families, "kestil_querier_last_heard_timestamp_seconds",
                  "Unix time a multicast querier (IGMP or MLD) was last heard; 0 while none has "
                  "been.",
                  false);
        families.back().samples.push_back({where, gaugeText(totals.querierHeardAt)});
        addFamily(families, "kestil_link_unreceived_total",
                  "Datagrams of silent groups that reached a link of this host but not the "
                  "receiver.",
                  true);
        families.back().samples.push_back({where, countText(totals.linkUnreceived)});
    }
    return families;
}

std::string metricsText(const MetricsTotals& totals)
{
    std::string out;
    for (const MetricsFamily& family : metricsFamilies(totals)) {
        out += "# HELP " + family.name + " " + family.help + "\n";
        out += "# TYPE " + family.name + (family.counter ? " counter\n" : " gauge\n");
        for (const MetricsSample& sample : family.samples) {
            out += family.name + "{";
            for (std::size_t i = 0; i < sample.labels.size(); ++i)
                out += (i != 0 ? "," : "") + sample.labels[i].first + "=" +
                       quoted(sample.labels[i].second);
            out += "} " + sample.value + "\n";
        }
    }
    return out;
}

MetricsFlow metricsFlow(std::string address, const FlowCounts& interval, const FlowCounts& total,
                        std::uint64_t outages, std::uint64_t startMs, std::uint64_t endMs)
{
    MetricsFlow flow{std::move(address), total.datagrams, total.bytes, total.missing,
                     total.recovered,    outages,         0,           0};
    if (endMs > startMs)
        flow.bytesPerSecond =
            static_cast<double>(interval.bytes) * 1000 / static_cast<double>(endMs - startMs);
    // Before the first datagram: silent since the start.
    const std::uint64_t last = total.datagrams != 0 ? total.lastMs : 0;
    flow.silentSeconds = endMs > last ? static_cast<double>(endMs - last) / 1000 : 0;
    return flow;
}

void addQuality(MetricsFlow& flow, const QualityCounts& interval, const QualityCounts& total)
{
    flow.routeChanges = total.hops.changes;
    flow.ttl = total.hops.latest;
    flow.bursts = total.losses.bursts;
    flow.burstLost = total.losses.burstLost;
    flow.burstLongest = total.losses.longestRun;
    flow.burstDensity = total.losses.burstDensity() / 100;
    flow.gapDensity = total.losses.gapDensity() / 100;
    flow.reorderExtent = total.losses.reorderExtent;
    flow.lossRate = interval.arrivals.lossRate;
    const DelayCounts& d = interval.delay;
    flow.stamped = d.stamped;
    if (d.stamped != 0) {
        flow.delayMin = static_cast<double>(d.minNs) / 1e9;
        flow.delayMean = d.meanNs() / 1e9;
        flow.delayMax = static_cast<double>(d.maxNs) / 1e9;
        flow.jitter = d.jitterNs / 1e9;
    }
    const ArrivalCounts& a = interval.arrivals;
    flow.rated = a.rated;
    flow.delayFactor = static_cast<double>(a.delayFactorNs) / 1e9;
    flow.gapped = a.gaps != 0;
    flow.largestGap = static_cast<double>(a.largestGapNs) / 1e9;
}
