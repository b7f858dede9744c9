#include "cli/receive_lines.h"

#include "cli/cli_text.h"
#include "core/receive_format.h"

#include <algorithm>

namespace {

using SystemClock = std::chrono::system_clock;

SystemClock::time_point before(SystemClock::time_point at, std::uint64_t ms)
{
    return at - std::chrono::milliseconds(ms);
}

// "datagrams 62 (lost 0, 0.00%)": the datagrams, those lost and their share.
std::string countsText(const FlowCounts& counts)
{
    return say("datagrams {1} (lost {2}, {3}%)",
               {std::to_string(counts.datagrams), std::to_string(counts.lost),
                fixedText(counts.lossPercent(), 2)});
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

bool manyGroups(const ReceiveInterval& interval)
{
    return interval.groups.size() > 1;
}

// What the interval's line says of a group, or nothing when all went well.
std::string groupNote(const GroupFigures& g)
{
    std::string note;
    if (g.silent)
        note = " silent";
    if (g.interval.lost > 0)
        note += (note.empty() ? " lost " : ", lost ") + std::to_string(g.interval.lost);
    if (g.intervalOutages > 0)
        note += note.empty() ? " outage" : ", outage";
    return note.empty() ? note : g.group.text() + note;
}

}   // namespace

std::vector<const GroupFigures*> worstFirst(const std::vector<GroupFigures>& groups,
                                            bool inInterval)
{
    std::vector<const GroupFigures*> order;
    order.reserve(groups.size());
    for (const GroupFigures& g : groups)
        order.push_back(&g);
    std::stable_sort(order.begin(), order.end(),
                     [inInterval](const GroupFigures* a, const GroupFigures* b) {
                         const FlowCounts& x = inInterval ? a->interval : a->total;
                         const FlowCounts& y = inInterval ? b->interval : b->total;
                         const std::uint64_t xOut = inInterval ? a->intervalOutages : a->outages;
                         const std::uint64_t yOut = inInterval ? b->intervalOutages : b->outages;
                         const bool xNone = inInterval ? a->silent : x.datagrams == 0;
                         const bool yNone = inInterval ? b->silent : y.datagrams == 0;
                         if (xNone != yNone)
                             return xNone;
                         if (x.lost != y.lost)
                             return x.lost > y.lost;
                         return xOut > yOut;
                     });
    return order;
}

std::string intervalLine(const ReceiveInterval& interval)
{
    std::string line;
    if (interval.senders.size() == 1)
        line = say("from {1}", {senderText(interval.senders.front().sender)}) + "  ";
    else if (interval.senders.size() > 1)
        line = say("senders {1}", {std::to_string(interval.senders.size())}) + "  ";
    line += say("speed {1}", {fixedText(interval.kbps(), 3)}) + "  " +
            countsText(interval.interval) + "  " +
            say("total bytes {1}", {std::to_string(interval.total.bytes)}) + "  " +
            countsText(interval.total) + "  " +
            say("overflowed {1}", {std::to_string(interval.overflowedTotal)});
    if (interval.evictedTotal != 0)
        line += "  " + say("evicted {1}", {std::to_string(interval.evictedTotal)});
    if (!manyGroups(interval))
        return line;
    line += "  " + say("groups {1}", {std::to_string(interval.groups.size())});
    std::size_t named = 0;
    std::size_t more = 0;
    for (const GroupFigures* g : worstFirst(interval.groups, true)) {
        const std::string note = groupNote(*g);
        if (note.empty())
            break;
        if (named == kGroupsNamed) {
            ++more;
            continue;
        }
        line += (named++ == 0 ? ": " : ", ") + note;
    }
    if (more > 0)
        line += " and " + std::to_string(more) + " more";
    return line;
}

std::vector<JsonField> intervalFields(const ReceiveInterval& interval)
{
    std::vector<JsonField> fields;
    if (manyGroups(interval))
        fields.push_back(jsonText("group", "all"));
    else if (!interval.groups.empty())
        fields.push_back(jsonText("group", interval.groups.front().group.text()));
    fields.push_back(
        jsonDecimal("interval", static_cast<double>(interval.endMs - interval.startMs) / 1000));
    fields.push_back(jsonDecimal("kbps", interval.kbps()));
    addCounts(fields, interval.interval, false);
    fields.push_back(jsonNumber("overflowed", interval.overflowed));
    fields.push_back(jsonDecimal("total_kbps", interval.total.kbpsFirstToLast()));
    addCounts(fields, interval.total, true);
    fields.push_back(jsonNumber("total_overflowed", interval.overflowedTotal));
    if (interval.evictedTotal != 0) {
        fields.push_back(jsonNumber("evicted", interval.evicted));
        fields.push_back(jsonNumber("total_evicted", interval.evictedTotal));
    }
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

std::vector<JsonField> groupFields(const ReceiveInterval& interval, const GroupFigures& group)
{
    std::vector<JsonField> fields{
        jsonText("group", group.group.text()),
        jsonDecimal("interval", static_cast<double>(interval.endMs - interval.startMs) / 1000),
        jsonDecimal("kbps",
                    FlowCounts::kbpsOver(group.interval.bytes, interval.endMs - interval.startMs))};
    addCounts(fields, group.interval, false);
    fields.push_back(jsonNumber("outages", group.intervalOutages));
    fields.push_back({"silent", group.silent ? "true" : "false"});
    fields.push_back(jsonDecimal("total_kbps", group.total.kbpsFirstToLast()));
    addCounts(fields, group.total, true);
    fields.push_back(jsonNumber("total_outages", group.outages));
    return fields;
}

std::vector<std::vector<JsonField>> intervalObjects(const ReceiveInterval& interval)
{
    std::vector<std::vector<JsonField>> objects;
    if (manyGroups(interval)) {
        objects.reserve(interval.groups.size() + 1);
        for (const GroupFigures& g : interval.groups)
            objects.push_back(groupFields(interval, g));
    }
    objects.push_back(intervalFields(interval));
    return objects;
}

std::string groupSummaryLine(const GroupFigures& group)
{
    return "group " + group.group.text() + "  " + countsText(group.total) + "  outages " +
           std::to_string(group.outages);
}

std::vector<JsonField> groupSummaryFields(const GroupFigures& group)
{
    return {jsonText("group", group.group.text()),
            jsonNumber("datagrams", group.total.datagrams),
            jsonNumber("bytes", group.total.bytes),
            jsonNumber("lost", group.total.lost),
            jsonDecimal("loss_pct", group.total.lossPercent()),
            jsonNumber("late", group.total.late),
            jsonNumber("repeated", group.total.repeated),
            jsonDecimal("kbps_first_to_last", group.total.kbpsFirstToLast()),
            jsonNumber("outages", group.outages)};
}

std::string outageLine(const Outage& outage, SystemClock::time_point endedAt, bool ofGroup)
{
    const std::string began = rfc3339(before(endedAt, outage.lastedMs));
    const std::string who =
        ofGroup ? "group " + outage.group.text() + " (from " + senderText(outage.sender) + ")"
                : senderText(outage.sender);
    return "outage: " + who + " silent from " + began.substr(11, 12) + " for " +
           fixedText(static_cast<double>(outage.lastedMs) / 1000, 3) + " s, " +
           std::to_string(outage.lost) + " lost";
}

std::vector<JsonField> outageFields(const Outage& outage, SystemClock::time_point endedAt)
{
    std::vector<JsonField> fields{
        jsonText("event", "outage"),
        jsonText("from", senderText(outage.sender)),
        jsonText("began", rfc3339(before(endedAt, outage.lastedMs))),
        jsonText("ended", rfc3339(endedAt)),
        jsonDecimal("seconds", static_cast<double>(outage.lastedMs) / 1000),
        jsonNumber("lost", outage.lost)};
    if (outage.group.family != IpAddress::Family::None)
        fields.insert(fields.begin() + 1, jsonText("group", outage.group.text()));
    return fields;
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
