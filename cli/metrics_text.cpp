#include "cli/metrics_text.h"

#include "file/whole_file.h"

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
    std::uint64_t MetricsSender::*value;
};

constexpr Family kSenderFamilies[] = {
    {"kestil_datagrams_total", "Datagrams received from the sender.", &MetricsSender::datagrams},
    {"kestil_bytes_total", "Bytes received from the sender.", &MetricsSender::bytes},
    {"kestil_lost_total", "Datagrams missing from the sender's sequence numbers.",
     &MetricsSender::lost},
    {"kestil_outages_total", "Times the sender fell silent for longer than the outage threshold.",
     &MetricsSender::outages},
};

void header(std::string& out, const char* name, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n";
    out += std::string("# TYPE ") + name + " counter\n";
}

}   // namespace

std::string metricsText(const MetricsTotals& totals)
{
    // Two samples with the same labels would make the whole file unreadable.
    std::vector<MetricsSender> senders;
    for (const MetricsSender& sender : totals.senders) {
        auto same = senders.begin();
        while (same != senders.end() && same->address != sender.address)
            ++same;
        if (same == senders.end()) {
            senders.push_back(sender);
            continue;
        }
        for (const Family& family : kSenderFamilies)
            (*same).*family.value += sender.*family.value;
    }

    const std::string where =
        "group=" + quoted(totals.group) + ",port=" + quoted(std::to_string(totals.port));
    std::string out;
    if (!senders.empty()) {
        for (const Family& family : kSenderFamilies) {
            header(out, family.name, family.help);
            for (const MetricsSender& sender : senders)
                out += std::string(family.name) + "{" + where +
                       ",sender=" + quoted(sender.address) + "} " +
                       std::to_string(sender.*family.value) + "\n";
        }
    }
    header(out, "kestil_own_drops_total",
           "Datagrams this host dropped because the receiving socket's buffer was full.");
    out += "kestil_own_drops_total{" + where + "} " + std::to_string(totals.ownDrops) + "\n";
    return out;
}

int writeMetricsFile(const char* name, const MetricsTotals& totals)
{
    return replaceWholeFile(name, metricsText(totals));
}
