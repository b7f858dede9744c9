#include "report/receive_lines.h"

#include "core/receive_format.h"
#include "core/settings.h"
#include "report/messages.h"

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
        note = tr("silent");
    if (g.interval.lost > 0)
        note += (note.empty() ? "" : ", ") + say("lost {1}", {std::to_string(g.interval.lost)});
    if (g.intervalOutages > 0)
        note += (note.empty() ? "" : ", ") + std::string(tr("outage"));
    return note.empty() ? note : g.group.text() + " " + note;
}

// first, then the items separated by "; ", in lines that fit kTextWidth
// where the items do, each line after the first indented.
std::string wrapped(std::string first, const std::vector<std::string>& items)
{
    std::string text = std::move(first);
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string gap = i == 0 ? " " : "; ";
        if (i > 0 && text.size() - lineStart + gap.size() + items[i].size() > kTextWidth) {
            text += ";\n";
            lineStart = text.size();
            text += "  " + items[i];
        } else {
            text += gap + items[i];
        }
    }
    return text;
}

// " (1 router from ttl 20)": the routers crossed by a datagram that arrived
// with hops, had its sender used the default TTL; empty above it.
std::string routersNote(int hops)
{
    if (hops < 0 || hops > RunDefaults::kTtl)
        return {};
    const int routers = RunDefaults::kTtl - hops;
    return " (" +
           say(routers == 1 ? "{1} router from ttl {2}" : "{1} routers from ttl {2}",
               {std::to_string(routers), std::to_string(RunDefaults::kTtl)}) +
           ")";
}

// "ttl 19 (1 router from ttl 20)", "ttl 18-19 (...), 1 route change": the
// hop limit of a span; the routers crossed when the sender used the
// default TTL, as far as it can be told; empty when none was seen.
std::string hopsText(const HopCounts& hops)
{
    if (hops.latest < 0)
        return {};
    std::string text =
        hops.min == hops.max
            ? say("ttl {1}", {std::to_string(hops.latest)})
            : say("ttl {1}-{2}", {std::to_string(hops.min), std::to_string(hops.max)});
    text += routersNote(hops.latest);
    if (hops.changes != 0)
        text += ", " + say(hops.changes == 1 ? "{1} route change" : "{1} route changes",
                           {std::to_string(hops.changes)});
    return text;
}

// A hop limit in JSON: null when none was seen.
JsonField hopField(std::string_view key, int hops)
{
    return hops < 0 ? JsonField{key, "null"} : jsonNumber(key, static_cast<std::uint64_t>(hops));
}

void addLosses(std::vector<JsonField>& fields, const LossPattern& l, bool total)
{
    fields.push_back(jsonNumber(total ? "total_bursts" : "bursts", l.bursts));
    fields.push_back(jsonNumber(total ? "total_burst_longest" : "burst_longest", l.longestRun));
    fields.push_back(
        jsonDecimal(total ? "total_burst_density" : "burst_density", l.burstDensity()));
    fields.push_back(jsonDecimal(total ? "total_gap_density" : "gap_density", l.gapDensity()));
    fields.push_back(jsonNumber(total ? "total_reorder_extent" : "reorder_extent",
                                std::uint64_t{l.reorderExtent}));
}

double msOf(double ns)
{
    return ns / 1e6;
}

void addDelay(std::vector<JsonField>& fields, const DelayCounts& d, bool total)
{
    // The keys are literals: a field keeps only a view of its key.
    const bool none = d.stamped == 0;
    auto decimal = [none](std::string_view key, double value) {
        return none ? JsonField{key, "null"} : jsonDecimal(key, value);
    };
    fields.push_back(jsonNumber(total ? "total_stamped" : "stamped", d.stamped));
    fields.push_back(
        decimal(total ? "total_delay_min" : "delay_min", msOf(static_cast<double>(d.minNs))));
    fields.push_back(decimal(total ? "total_delay_mean" : "delay_mean", msOf(d.meanNs())));
    fields.push_back(
        decimal(total ? "total_delay_max" : "delay_max", msOf(static_cast<double>(d.maxNs))));
    fields.push_back(decimal(total ? "total_jitter" : "jitter", msOf(d.jitterNs)));
}

// "delay 20.12/20.41/25.30 ms, jitter 1.23 ms": the least, mean and most
// one-way delay and the jitter; empty when no datagram carried its send time.
std::string delayText(const DelayCounts& d)
{
    if (d.stamped == 0)
        return {};
    return say("delay {1}/{2}/{3} ms, jitter {4} ms",
               {fixedText(msOf(static_cast<double>(d.minNs)), 2), fixedText(msOf(d.meanNs()), 2),
                fixedText(msOf(static_cast<double>(d.maxNs)), 2), fixedText(msOf(d.jitterNs), 2)});
}

void addArrivals(std::vector<JsonField>& fields, const ArrivalCounts& a, bool total)
{
    // The keys are literals: a field keeps only a view of its key.
    const char* factor = total ? "total_delay_factor" : "delay_factor";
    fields.push_back(a.rated ? jsonDecimal(factor, msOf(static_cast<double>(a.delayFactorNs)))
                             : JsonField{factor, "null"});
    fields.push_back(jsonDecimal(total ? "total_loss_rate" : "loss_rate", a.lossRate));
    const char* gap = total ? "total_largest_gap" : "largest_gap";
    fields.push_back(a.gaps != 0 ? jsonDecimal(gap, msOf(static_cast<double>(a.largestGapNs)))
                                 : JsonField{gap, "null"});
}

// "df 20.31 ms, mlr 0.00/s, largest gap 19.84 ms": RFC 4445's delay factor
// and media loss rate, and the most time between two arrivals; empty while
// neither the factor nor a gap is known.
std::string arrivalText(const ArrivalCounts& a)
{
    if (!a.rated && a.gaps == 0)
        return {};
    std::string text;
    if (a.rated)
        text =
            say("df {1} ms, mlr {2}/s", {fixedText(msOf(static_cast<double>(a.delayFactorNs)), 2),
                                         fixedText(a.lossRate, 2)});
    if (a.gaps != 0)
        text +=
            (text.empty() ? "" : ", ") +
            say("largest gap {1} ms", {fixedText(msOf(static_cast<double>(a.largestGapNs)), 2)});
    return text;
}

// "bursts 2, longest 10, density 66.67%, gap 0.10%", "reorder 3": how a
// span's losses came; empty when nothing was lost or late.
std::vector<std::string> lossItems(const LossPattern& l)
{
    std::vector<std::string> items;
    if (l.longestRun != 0)
        items.push_back(say("bursts {1}, longest {2}, density {3}%, gap {4}%",
                            {std::to_string(l.bursts), std::to_string(l.longestRun),
                             fixedText(l.burstDensity(), 2), fixedText(l.gapDensity(), 2)}));
    if (l.reorderExtent != 0)
        items.push_back(say("reorder {1}", {std::to_string(l.reorderExtent)}));
    return items;
}

void addQuality(std::vector<JsonField>& fields, const QualityCounts& q, bool total)
{
    // The keys are literals: a field keeps only a view of its key.
    if (!total)
        fields.push_back(hopField("ttl", q.hops.latest));
    fields.push_back(hopField(total ? "total_ttl_min" : "ttl_min", q.hops.min));
    fields.push_back(hopField(total ? "total_ttl_max" : "ttl_max", q.hops.max));
    fields.push_back(jsonNumber(total ? "total_route_changes" : "route_changes", q.hops.changes));
    addLosses(fields, q.losses, total);
    addDelay(fields, q.delay, total);
    addArrivals(fields, q.arrivals, total);
}

// The quality of a sender's span in words: after who, the items separated
// by "  " in lines that fit kTextWidth where the items do, each line after
// the first indented; empty when there is nothing to say.
std::vector<std::string> qualityText(const std::string& who, const QualityCounts& q)
{
    std::vector<std::string> items;
    if (std::string hops = hopsText(q.hops); !hops.empty())
        items.push_back(std::move(hops));
    for (std::string& item : lossItems(q.losses))
        items.push_back(std::move(item));
    if (std::string delay = delayText(q.delay); !delay.empty())
        items.push_back(std::move(delay));
    if (std::string arrivals = arrivalText(q.arrivals); !arrivals.empty())
        items.push_back(std::move(arrivals));
    std::vector<std::string> lines;
    for (const std::string& item : items) {
        if (lines.empty())
            lines.push_back(who + "  " + item);
        else if (lines.back().size() + 2 + item.size() <= kTextWidth)
            lines.back() += "  " + item;
        else
            lines.push_back("  " + item);
    }
    return lines;
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
    // A sender is named once, in the interval of its first datagram.
    std::string text;
    std::size_t newSenders = 0;
    for (const SenderFigures& s : interval.senders) {
        if (s.total.datagrams == 0 || s.interval.datagrams != s.total.datagrams)
            continue;
        if (newSenders++ < kGroupsNamed)
            text += say("from {1}", {senderText(s.sender)}) + "\n";
    }
    if (newSenders > kGroupsNamed)
        text += say("and {1} more senders", {std::to_string(newSenders - kGroupsNamed)}) + "\n";
    text += say("{1}  lost {2}  total {3}, lost {4} ({5}%)",
                {speedText(interval.kbps()), std::to_string(interval.interval.lost),
                 std::to_string(interval.total.datagrams), std::to_string(interval.total.lost),
                 fixedText(interval.total.lossPercent(), 2)});
    // Streams evicted from the sequence tracker, once there are any, for a
    // loss of 0 says nothing of them: on the line when it has room.
    if (interval.evictedTotal != 0) {
        const std::string evicted = say("evicted {1}", {std::to_string(interval.evictedTotal)});
        const std::size_t lineStart = text.rfind('\n') + 1;   // 0 when there is none
        text +=
            (text.size() - lineStart + 2 + evicted.size() <= kTextWidth ? "  " : "\n") + evicted;
    }
    if (!manyGroups(interval))
        return text;
    std::vector<std::string> notes;
    std::size_t more = 0;
    for (const GroupFigures* g : worstFirst(interval.groups, true)) {
        std::string note = groupNote(*g);
        if (note.empty())
            break;
        if (notes.size() == kGroupsNamed)
            ++more;
        else
            notes.push_back(std::move(note));
    }
    if (notes.empty())
        return text;
    if (more > 0)
        notes.back() += " " + say("and {1} more", {std::to_string(more)});
    return text + "\n" +
           wrapped(say("groups {1}:", {std::to_string(interval.groups.size())}), notes);
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
    addLosses(fields, interval.losses, false);
    addLosses(fields, interval.totalLosses, true);
    addDelay(fields, interval.delay, false);
    addDelay(fields, interval.totalDelay, true);
    addArrivals(fields, interval.arrivals, false);
    addArrivals(fields, interval.totalArrivals, true);
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
        addQuality(one, s.intervalQuality, false);
        one.push_back(jsonDecimal("total_kbps", s.total.kbpsFirstToLast()));
        addCounts(one, s.total, true);
        addQuality(one, s.totalQuality, true);
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
    return say("group {1}", {group.group.text()}) + "  " + countsText(group.total) + "  " +
           say("outages {1}", {std::to_string(group.outages)});
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

std::string outageLine(const Outage& outage, SystemClock::time_point, bool ofGroup)
{
    // The line is printed when the outage ends: its time stamp and the
    // length say when it began.
    const std::string lasted = fixedText(static_cast<double>(outage.lastedMs) / 1000, 3);
    if (ofGroup)
        return say("outage: group {1} silent {2} s, lost {3}",
                   {outage.group.text(), lasted, std::to_string(outage.lost)});
    return say("outage: {1} silent {2} s, lost {3}",
               {senderText(outage.sender), lasted, std::to_string(outage.lost)});
}

std::vector<JsonField> outageFields(const Outage& outage, SystemClock::time_point endedAt)
{
    std::vector<JsonField> fields{
        jsonText("type", "outage"),
        jsonText("event", "outage"),
        jsonText("from", senderText(outage.sender)),
        jsonText("began", rfc3339(before(endedAt, outage.lastedMs))),
        jsonText("ended", rfc3339(endedAt)),
        jsonDecimal("seconds", static_cast<double>(outage.lastedMs) / 1000),
        jsonNumber("lost", outage.lost)};
    if (outage.group.family != IpAddress::Family::None)
        fields.insert(fields.begin() + 2, jsonText("group", outage.group.text()));
    return fields;
}

std::vector<std::string> qualityLines(const ReceiveInterval& interval)
{
    std::vector<std::string> lines;
    std::size_t named = 0;
    for (const SenderFigures& s : interval.senders) {
        const std::vector<std::string> text = qualityText(senderText(s.sender), s.intervalQuality);
        if (text.empty())
            continue;
        if (named++ == kGroupsNamed)
            break;
        lines.insert(lines.end(), text.begin(), text.end());
    }
    return lines;
}

std::string routeLine(const RouteChange& change)
{
    std::string text =
        say("route: {1} ttl {2} -> {3}",
            {senderText(change.sender), std::to_string(change.from), std::to_string(change.to)});
    return text + routersNote(change.to);
}

std::vector<JsonField> routeFields(const RouteChange& change)
{
    std::vector<JsonField> fields{jsonText("type", "route"), jsonText("event", "route"),
                                  jsonText("from", senderText(change.sender)),
                                  hopField("ttl_before", change.from), hopField("ttl", change.to)};
    if (change.group.family != IpAddress::Family::None)
        fields.insert(fields.begin() + 2, jsonText("group", change.group.text()));
    return fields;
}

std::string outageSummaryText(const OutageSummary& outages)
{
    return say("outages {1} (longest {2} s, in all {3} s)",
               {std::to_string(outages.count),
                fixedText(static_cast<double>(outages.longestMs) / 1000, 3),
                fixedText(static_cast<double>(outages.totalMs) / 1000, 3)});
}

std::vector<JsonField> outageSummaryFields(const OutageSummary& outages)
{
    return {jsonNumber("outages", outages.count),
            jsonDecimal("outage_longest", static_cast<double>(outages.longestMs) / 1000),
            jsonDecimal("outage_total", static_cast<double>(outages.totalMs) / 1000)};
}

std::string summaryText(const ReceiveReport& report, const ReceiveInterval& last, bool saving,
                        const OutageSummary& outages)
{
    const FlowCounts& total = last.total;
    const double kbps = FlowCounts::kbpsOver(report.bytes, last.endMs);
    const std::string head = std::string(tr("total")) + "  ";
    std::string text = head +
                       say("datagrams {1} (lost {2}, {3}%)",
                           {std::to_string(report.datagrams), std::to_string(report.lost),
                            fixedText(total.lossPercent(), 2)}) +
                       "  " + speedText(kbps) + "\n" + head +
                       say("from {1}", {report.datagrams != 0 ? senderText(report.sender) : "-"}) +
                       "  " + say("bytes {1}", {std::to_string(report.bytes)});
    if (saving)
        text += "  " + say("saved {1}", {std::to_string(report.saved)});
    text += "  " + say("overflowed {1}", {std::to_string(report.overflowed)}) + "  " +
            say("stray {1}", {std::to_string(report.stray)});
    if (report.evicted != 0)
        text += "  " + say("evicted {1}", {std::to_string(report.evicted)});
    text += "\n" + head + outageSummaryText(outages);
    std::size_t named = 0;
    for (const SenderFigures& s : last.senders) {
        const std::vector<std::string> quality = qualityText(senderText(s.sender), s.totalQuality);
        if (quality.empty() || named++ == kGroupsNamed)
            continue;
        for (const std::string& line : quality)
            text += "\n" + head + line;
    }
    return text;
}

std::vector<JsonField> summaryFields(const ReceiveReport& report, const ReceiveInterval& last,
                                     bool saving, const OutageSummary& outages)
{
    const double kbps = FlowCounts::kbpsOver(report.bytes, last.endMs);
    // No sender is known before the first datagram.
    std::vector<JsonField> fields{report.datagrams != 0
                                      ? jsonText("from", senderText(report.sender))
                                      : JsonField{"from", "null"},
                                  jsonNumber("datagrams", report.datagrams),
                                  jsonNumber("bytes", report.bytes),
                                  jsonDecimal("kbps", kbps),
                                  jsonNumber("lost", report.lost),
                                  jsonNumber("overflowed", report.overflowed),
                                  jsonNumber("stray", report.stray),
                                  jsonNumber("evicted", report.evicted)};
    if (saving)
        fields.push_back(jsonNumber("saved", report.saved));
    fields.push_back(jsonDecimal("loss_pct", last.total.lossPercent()));
    fields.push_back(jsonNumber("late", last.total.late));
    fields.push_back(jsonNumber("repeated", last.total.repeated));
    fields.push_back(jsonDecimal("kbps_first_to_last", last.total.kbpsFirstToLast()));
    addLosses(fields, last.totalLosses, false);
    addDelay(fields, last.totalDelay, false);
    addArrivals(fields, last.totalArrivals, false);
    for (JsonField& f : outageSummaryFields(outages))
        fields.push_back(std::move(f));
    std::string senders = "[";
    for (const SenderFigures& s : last.senders) {
        std::vector<JsonField> one{jsonText("from", senderText(s.sender))};
        addQuality(one, s.totalQuality, false);
        senders += (senders.size() > 1 ? "," : "") + object(one);
    }
    fields.push_back({"senders", senders + "]"});
    return fields;
}

std::string lossAboveLimitText(const ReceiveInterval& last, double limit)
{
    std::vector<const GroupFigures*> above;
    if (last.groups.size() > 1) {
        for (const GroupFigures* g : worstFirst(last.groups, false)) {
            if (g->total.lossPercent() > limit)
                above.push_back(g);
        }
        std::stable_sort(above.begin(), above.end(), [](const auto* a, const auto* b) {
            return a->total.lossPercent() > b->total.lossPercent();
        });
    }
    const double total = last.total.lossPercent();
    std::string text;
    if (total > limit)
        text =
            say("loss {1}% is above --max-loss {2}%", {fixedText(total, 2), fixedText(limit, 2)});
    if (above.empty())
        return text;
    std::string named;
    for (std::size_t i = 0; i < above.size() && i < kGroupsNamed; ++i)
        named += (i != 0 ? ", " : "") + above[i]->group.text() + " " +
                 fixedText(above[i]->total.lossPercent(), 2) + "%";
    if (above.size() > kGroupsNamed)
        named += " " + say("and {1} more", {std::to_string(above.size() - kGroupsNamed)});
    return text + (text.empty() ? "" : "; ") +
           say("{1} groups lost more than --max-loss {2}%: {3}",
               {std::to_string(above.size()), fixedText(limit, 2), named});
}
