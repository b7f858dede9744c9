#include "report/metrics_text.h"

#include <span>
#include <string_view>

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

struct Family {
    const char* name;
    const char* help;
    std::uint64_t MetricsFlow::*value;
};

constexpr Family kGroupFamilies[] = {
    {"kestil_group_datagrams_total", "Datagrams received for the group.", &MetricsFlow::datagrams},
    {"kestil_group_bytes_total", "Bytes received for the group.", &MetricsFlow::bytes},
    {"kestil_group_lost_total", "Datagrams missing from the group's sequence numbers.",
     &MetricsFlow::lost},
    {"kestil_group_outages_total",
     "Times the group fell silent for longer than the outage threshold.", &MetricsFlow::outages},
};

constexpr Family kSenderFamilies[] = {
    {"kestil_datagrams_total", "Datagrams received from the sender.", &MetricsFlow::datagrams},
    {"kestil_bytes_total", "Bytes received from the sender.", &MetricsFlow::bytes},
    {"kestil_lost_total", "Datagrams missing from the sender's sequence numbers.",
     &MetricsFlow::lost},
    {"kestil_outages_total", "Times the sender fell silent for longer than the outage threshold.",
     &MetricsFlow::outages},
};

void header(std::string& out, const char* name, const char* help, const char* type = "counter")
{
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " " + type + "\n";
}

}   // namespace

std::string metricsText(const MetricsTotals& totals)
{
    // Two samples with the same labels would make the whole file unreadable.
    std::vector<MetricsFlow> senders;
    for (const MetricsFlow& sender : totals.senders) {
        auto same = senders.begin();
        while (same != senders.end() && same->address != sender.address)
            ++same;
        if (same == senders.end()) {
            senders.push_back(sender);
            continue;
        }
        for (const Family& family : kSenderFamilies)
            (*same).*family.value += sender.*family.value;
        same->routeChanges += sender.routeChanges;
        if (sender.ttl >= 0)
            same->ttl = sender.ttl;
    }

    const std::string where =
        "group=" + quoted(totals.group) + ",port=" + quoted(std::to_string(totals.port));
    std::string out;
    if (!senders.empty()) {
        for (const Family& family : kSenderFamilies) {
            if (!totals.groups.empty() && family.value == &MetricsFlow::outages)
                continue;
            header(out, family.name, family.help);
            for (const MetricsFlow& sender : senders)
                out += std::string(family.name) + "{" + where +
                       ",sender=" + quoted(sender.address) + "} " +
                       std::to_string(sender.*family.value) + "\n";
        }
    }
    // The hop limits, of the senders whose datagrams said them.
    std::string routes;
    std::string ttls;
    for (const MetricsFlow& sender : senders) {
        if (sender.ttl < 0)
            continue;
        const std::string labels = "{" + where + ",sender=" + quoted(sender.address) + "} ";
        routes +=
            "kestil_route_changes_total" + labels + std::to_string(sender.routeChanges) + "\n";
        ttls += "kestil_ttl" + labels + std::to_string(sender.ttl) + "\n";
    }
    if (!ttls.empty()) {
        header(out, "kestil_route_changes_total",
               "Times the sender's datagrams arrived with another TTL or hop limit than before.");
        out += routes;
        header(out, "kestil_ttl", "The TTL or hop limit the sender's latest datagram arrived with.",
               "gauge");
        out += ttls;
    }
    for (const Family& family : totals.groups.empty() ? std::span<const Family>()
                                                      : std::span<const Family>(kGroupFamilies)) {
        header(out, family.name, family.help);
        for (const MetricsFlow& group : totals.groups)
            out += std::string(family.name) + "{group=" + quoted(group.address) +
                   ",port=" + quoted(std::to_string(totals.port)) + "} " +
                   std::to_string(group.*family.value) + "\n";
    }
    header(out, "kestil_own_drops_total",
           "Datagrams this host dropped because the receiving socket's buffer was full.");
    out += "kestil_own_drops_total{" + where + "} " + std::to_string(totals.ownDrops) + "\n";
    return out;
}
