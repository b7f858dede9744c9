#include "cli/receive_lines.h"

#include "core/receive_format.h"

namespace {

using SystemClock = std::chrono::system_clock;

SystemClock::time_point before(SystemClock::time_point at, std::uint64_t ms)
{
    return at - std::chrono::milliseconds(ms);
}

// "数据包 62 (丢包0, 0.00%)", the dialog's words with the share lost.
std::string countsText(const FlowCounts& counts)
{
    return "数据包 " + std::to_string(counts.datagrams) + " (丢包" + std::to_string(counts.lost) +
           ", " + fixedText(counts.lossPercent(), 2) + "%)";
}

void addCounts(std::vector<JsonField>& fields, const FlowCounts& counts, bool total)
{
    fields.push_back(jsonNumber(total ? "total_datagrams" : "datagrams", counts.datagrams));
    fields.push_back(jsonNumber(total ? "total_bytes" : "bytes", counts.bytes));
    fields.push_back(jsonNumber(total ? "total_lost" : "lost", counts.lost));
    fields.push_back(jsonDecimal(total ? "total_loss_pct" : "loss_pct", counts.lossPercent()));
    fields.push_back(jsonNumber(total ? "total_late" : "late", counts.late));
    fields.push_back(jsonNumber(total ? "total_repeated" : "repeated", counts.repeated));
}

// One JSON object from fields, for an array.
std::string object(const std::vector<JsonField>& fields)
{
    std::string text = "{";
    for (const JsonField& f : fields) {
        if (text.size() > 1)
            text += ',';
        text += '"';
        text += f.key;
        text += "\":";
        text += f.value;
    }
    return text + "}";
}

}   // namespace

std::string intervalLine(const ReceiveInterval& interval)
{
    std::string line;
    if (interval.senders.size() == 1)
        line = "来自 " + senderText(interval.senders.front().sender) + "  ";
    else if (interval.senders.size() > 1)
        line = "senders " + std::to_string(interval.senders.size()) + "  ";
    line += "接收速度 " + fixedText(interval.kbps(), 3) + "  " + countsText(interval.interval) +
            "  总计 接收尺寸 " + std::to_string(interval.total.bytes) + "  " +
            countsText(interval.total) + "  本机溢出 " + std::to_string(interval.overflowedTotal);
    return line;
}

std::vector<JsonField> intervalFields(const ReceiveInterval& interval)
{
    std::vector<JsonField> fields{
        jsonDecimal("interval", static_cast<double>(interval.endMs - interval.startMs) / 1000),
        jsonDecimal("kbps", interval.kbps())};
    addCounts(fields, interval.interval, false);
    fields.push_back(jsonNumber("overflowed", interval.overflowed));
    fields.push_back(jsonDecimal("total_kbps", interval.total.kbpsFirstToLast()));
    addCounts(fields, interval.total, true);
    fields.push_back(jsonNumber("total_overflowed", interval.overflowedTotal));
    std::string senders = "[";
    for (const SenderFigures& s : interval.senders) {
        std::vector<JsonField> one{
            jsonText("from", senderText(s.sender)),
            jsonDecimal("kbps",
                        FlowCounts::kbpsOver(s.interval.bytes, interval.endMs - interval.startMs))};
        addCounts(one, s.interval, false);
        one.push_back(jsonDecimal("total_kbps", s.total.kbpsFirstToLast()));
        addCounts(one, s.total, true);
        senders += (senders.size() > 1 ? "," : "") + object(one);
    }
    fields.push_back({"senders", senders + "]"});
    return fields;
}

std::string outageLine(const Outage& outage, SystemClock::time_point endedAt)
{
    const std::string began = rfc3339(before(endedAt, outage.lastedMs));
    return "outage: " + senderText(outage.sender) + " silent from " + began.substr(11, 12) +
           " for " + fixedText(static_cast<double>(outage.lastedMs) / 1000, 3) + " s, " +
           std::to_string(outage.lost) + " lost";
}

std::vector<JsonField> outageFields(const Outage& outage, SystemClock::time_point endedAt)
{
    return {jsonText("event", "outage"),
            jsonText("from", senderText(outage.sender)),
            jsonText("began", rfc3339(before(endedAt, outage.lastedMs))),
            jsonText("ended", rfc3339(endedAt)),
            jsonDecimal("seconds", static_cast<double>(outage.lastedMs) / 1000),
            jsonNumber("lost", outage.lost)};
}

std::string outageSummaryText(const OutageSummary& outages)
{
    return "outages " + std::to_string(outages.count) + " (longest " +
           fixedText(static_cast<double>(outages.longestMs) / 1000, 3) + " s, in all " +
           fixedText(static_cast<double>(outages.totalMs) / 1000, 3) + " s)";
}

std::vector<JsonField> outageSummaryFields(const OutageSummary& outages)
{
    return {jsonNumber("outages", outages.count),
            jsonDecimal("outage_longest", static_cast<double>(outages.longestMs) / 1000),
            jsonDecimal("outage_total", static_cast<double>(outages.totalMs) / 1000)};
}
