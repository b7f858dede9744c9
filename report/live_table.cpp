#include "report/live_table.h"

#include "core/receive_format.h"
#include "report/figure_text.h"
#include "report/messages.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unordered_map>
#include <utility>

namespace {

// A column's head, how it is aligned, and for a number the widest text it
// shows.
struct ColumnLayout {
    LiveColumn column;
    const char* head;
    bool left;
    std::size_t width;
};

constexpr std::array<ColumnLayout, 14> kColumns{{
    {LiveColumn::Group, "GROUP", true, 0},
    {LiveColumn::Sender, "SENDER", true, 0},
    {LiveColumn::State, "STATE", true, 0},
    {LiveColumn::Rate, "RATE", false, 5},   // "25.2M"
    {LiveColumn::Datagrams, "DGRAMS", false, 6},
    {LiveColumn::Lost, "LOST", false, 6},
    {LiveColumn::Loss, "LOSS%", false, 6},   // "100.00"
    {LiveColumn::Total, "TOTAL", false, 9},
    {LiveColumn::TotalLost, "T.LOST", false, 9},
    {LiveColumn::TotalLoss, "T.LOSS%", false, 6},
    {LiveColumn::Late, "LATE", false, 5},
    {LiveColumn::Heard, "HEARD", false, 4},   // "0.4s"
    {LiveColumn::Outages, "OUT", false, 3},
    {LiveColumn::Ttl, "TTL", false, 3},
}};

// The columns in the order they take the room there is: what tells a
// problem and where it comes from first.
constexpr std::array<LiveColumn, 14> kByNeed{
    LiveColumn::Group,   LiveColumn::State, LiveColumn::Loss,      LiveColumn::Heard,
    LiveColumn::Sender,  LiveColumn::Rate,  LiveColumn::TotalLoss, LiveColumn::Lost,
    LiveColumn::Outages, LiveColumn::Ttl,   LiveColumn::TotalLost, LiveColumn::Datagrams,
    LiveColumn::Total,   LiveColumn::Late,
};

const ColumnLayout& layoutOf(LiveColumn column)
{
    return kColumns[static_cast<std::size_t>(column)];
}

const char* stateWord(LiveState state)
{
    switch (state) {
    case LiveState::Losing: return "losing";
    case LiveState::Silent: return "silent";
    case LiveState::Flowing: break;
    }
    return "flowing";
}

const char* sortWord(LiveSort sort)
{
    constexpr std::array<const char*, 8> kWords{"worst first", "group",  "sender",
                                                "rate",        "loss",   "loss since the start",
                                                "last heard",  "outages"};
    return kWords[static_cast<std::size_t>(sort)];
}

bool problem(const LiveRow& row)
{
    return row.state != LiveState::Flowing || row.figures->total.lost > 0 ||
           row.figures->outages > 0;
}

// Worst first: a group that went silent after it flowed, then those losing
// now, then those never heard, then those that lost or fell silent before.
int worstRank(const LiveRow& row)
{
    const bool heard = row.figures->total.datagrams > 0;
    if (row.state == LiveState::Silent)
        return heard ? 0 : 2;
    if (row.state == LiveState::Losing)
        return 1;
    return problem(row) ? 3 : 4;
}

// -1, 0 or 1 as a is to come before, beside or after b, the bigger first.
template <typename T>
int biggerFirst(const T& a, const T& b)
{
    return a > b ? -1 : (b > a ? 1 : 0);
}

int worstOrder(const LiveRow& a, const LiveRow& b)
{
    const int ra = worstRank(a);
    const int rb = worstRank(b);
    if (ra != rb)
        return ra < rb ? -1 : 1;
    const GroupFigures& x = *a.figures;
    const GroupFigures& y = *b.figures;
    switch (ra) {
    case 0: return biggerFirst(a.heardAgoMs, b.heardAgoMs);
    case 1:
        if (const int c = biggerFirst(x.interval.lossPercent(), y.interval.lossPercent()); c != 0)
            return c;
        return biggerFirst(x.interval.lost, y.interval.lost);
    case 3:
        if (const int c = biggerFirst(x.total.lossPercent(), y.total.lossPercent()); c != 0)
            return c;
        return biggerFirst(x.outages, y.outages);
    default: return 0;
    }
}

// How long ago a row's group was heard, the never heard longest.
std::uint64_t silenceOf(const LiveRow& row)
{
    return row.figures->total.datagrams == 0 ? UINT64_MAX : row.heardAgoMs;
}

}   // namespace

void LiveTable::update(const ReceiveInterval& interval)
{
    interval_ = interval;
    rows_.clear();
    rows_.reserve(interval_.groups.size());
    counts_ = {};
    groupWidth_ = 0;
    senderWidth_ = 0;
    // Each sender's latest hop limit, found by address for every group.
    std::unordered_map<SocketAddress, int, SocketAddressHash> ttls;
    ttls.reserve(interval_.senders.size());
    for (const SenderFigures& f : interval_.senders)
        ttls.emplace(f.sender, f.totalQuality.hops.latest);
    for (std::size_t k = 0; k < interval_.groups.size(); ++k) {
        const GroupFigures& g = interval_.groups[k];
        LiveRow row;
        row.figures = &g;
        row.order = k;
        row.group = g.group.text();
        row.state = g.silent ? LiveState::Silent
                             : (g.interval.lost > 0 ? LiveState::Losing : LiveState::Flowing);
        if (g.from.address.family != IpAddress::Family::None) {
            row.sender = senderText(g.from);
            if (const auto ttl = ttls.find(g.from); ttl != ttls.end())
                row.ttl = ttl->second;
        }
        row.kbps = FlowCounts::kbpsOver(g.interval.bytes, interval_.endMs - interval_.startMs);
        if (g.total.datagrams > 0)
            row.heardAgoMs = interval_.endMs - std::min(interval_.endMs, g.total.lastMs);
        ++counts_.groups;
        counts_.silent += g.silent ? 1 : 0;
        counts_.flowing += g.silent ? 0 : 1;
        counts_.losing += row.state == LiveState::Losing ? 1 : 0;
        groupWidth_ = std::max(groupWidth_, row.group.size());
        senderWidth_ = std::max(senderWidth_, row.sender.size());
        rows_.push_back(std::move(row));
    }
    arrange();
}

void LiveTable::sortBy(LiveSort sort)
{
    reversed_ = sort == sort_ && !reversed_;
    sort_ = sort;
    arrange();
}

bool LiveTable::before(const LiveRow& a, const LiveRow& b) const
{
    const GroupFigures& x = *a.figures;
    const GroupFigures& y = *b.figures;
    int c = 0;
    switch (sort_) {
    case LiveSort::Worst: c = worstOrder(a, b); break;
    case LiveSort::Group: break;
    case LiveSort::Sender:
        // By address, those without a sender last.
        if (a.sender.empty() != b.sender.empty())
            c = a.sender.empty() ? 1 : -1;
        else
            c = x.from.address < y.from.address ? -1 : (y.from.address < x.from.address ? 1 : 0);
        break;
    case LiveSort::Rate: c = biggerFirst(a.kbps, b.kbps); break;
    case LiveSort::Loss: c = biggerFirst(x.interval.lossPercent(), y.interval.lossPercent()); break;
    case LiveSort::TotalLoss: c = biggerFirst(x.total.lossPercent(), y.total.lossPercent()); break;
    case LiveSort::Heard: c = biggerFirst(silenceOf(a), silenceOf(b)); break;
    case LiveSort::Outages: c = biggerFirst(x.outages, y.outages); break;
    }
    if (c == 0)
        c = a.order < b.order ? -1 : (a.order > b.order ? 1 : 0);
    return reversed_ ? c > 0 : c < 0;
}

void LiveTable::arrange()
{
    shown_.clear();
    for (const LiveRow& row : rows_) {
        if (!problemsOnly_ || problem(row))
            shown_.push_back(&row);
    }
    std::sort(shown_.begin(), shown_.end(),
              [this](const LiveRow* a, const LiveRow* b) { return before(*a, *b); });
}

std::vector<std::string> LiveTable::headerLines(std::size_t width,
                                                const std::vector<std::string>& notes) const
{
    const ReceiveInterval& i = interval_;
    const std::uint64_t seconds = i.endMs / 1000;
    char clock[32];
    std::snprintf(clock, sizeof clock, "%llu:%02u:%02u",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
    // Each line's pieces, kept whole where they fit.
    std::vector<std::vector<std::string>> lines{
        {say("kestil-cli  up {1}", {clock}),
         say("groups {1}: {2} flowing, {3} losing, {4} silent",
             {std::to_string(counts_.groups), std::to_string(counts_.flowing),
              std::to_string(counts_.losing), std::to_string(counts_.silent)})},
        {say("now {1}, lost {2} ({3}%)", {speedText(i.kbps()), std::to_string(i.interval.lost),
                                          fixedText(i.interval.lossPercent(), 2)}),
         say("total {1}, lost {2} ({3}%)",
             {std::to_string(i.total.datagrams), std::to_string(i.total.lost),
              fixedText(i.total.lossPercent(), 2)}),
         say("own drops {1}", {std::to_string(i.overflowedTotal)})},
    };
    if (i.evictedTotal > 0)
        lines.back().push_back(say("evicted {1}", {std::to_string(i.evictedTotal)}));
    for (const std::string& note : notes) {
        if (!note.empty())
            lines.push_back({note});
    }
    std::string order = say("sorted by {1}", {tr(sortWord(sort_))});
    if (reversed_)
        order += ", " + std::string(tr("reversed"));
    if (problemsOnly_)
        order += ", " + say("problems only: {1} of {2} groups",
                            {std::to_string(shown_.size()), std::to_string(rows_.size())});
    lines.push_back({order});

    std::vector<std::string> out;
    for (const std::vector<std::string>& pieces : lines) {
        std::string line;
        for (const std::string& piece : pieces) {
            if (!line.empty() && displayWidth(line) + 2 + displayWidth(piece) > width) {
                out.push_back(fitText(line, width, true));
                line.clear();
            }
            line += (line.empty() ? "" : "  ") + piece;
        }
        out.push_back(fitText(line, width, true));
    }
    return out;
}

LiveLayout LiveTable::layout(std::size_t width) const
{
    // The width each column wants: its widest text, or its head.
    std::array<std::size_t, kColumns.size()> wants{};
    for (const ColumnLayout& layout : kColumns) {
        std::size_t w = layout.width;
        if (layout.column == LiveColumn::Group)
            w = groupWidth_;
        else if (layout.column == LiveColumn::Sender)
            w = senderWidth_;
        else if (layout.column == LiveColumn::State)
            for (const LiveState s : {LiveState::Flowing, LiveState::Losing, LiveState::Silent})
                w = std::max(w, displayWidth(tr(stateWord(s))));
        wants[static_cast<std::size_t>(layout.column)] = std::max(w, displayWidth(tr(layout.head)));
    }
    // The group always, cut to half the width when it is longer; then each
    // column by need while it fits.
    std::array<bool, kColumns.size()> taken{};
    std::size_t& group = wants[static_cast<std::size_t>(LiveColumn::Group)];
    group = std::min(group, std::max<std::size_t>(width / 2, 5));
    std::size_t used = group;
    taken[static_cast<std::size_t>(LiveColumn::Group)] = true;
    for (const LiveColumn column : kByNeed) {
        const auto k = static_cast<std::size_t>(column);
        if (!taken[k] && used + 1 + wants[k] <= width) {
            taken[k] = true;
            used += 1 + wants[k];
        }
    }
    LiveLayout l;
    for (const ColumnLayout& layout : kColumns) {
        const auto k = static_cast<std::size_t>(layout.column);
        if (taken[k])
            l.columns.push_back({layout.column, wants[k]});
    }
    return l;
}

std::string LiveTable::headText(const LiveLayout& layout) const
{
    std::string text;
    for (const LiveLayout::Column& c : layout.columns) {
        if (!text.empty())
            text += ' ';
        text += fitText(tr(layoutOf(c.column).head), c.width, layoutOf(c.column).left);
    }
    return text;
}

std::string LiveTable::rowText(const LiveRow& row, const LiveLayout& layout) const
{
    std::string text;
    for (const LiveLayout::Column& c : layout.columns) {
        if (!text.empty())
            text += ' ';
        text += fitText(cell(row, c.column), c.width, layoutOf(c.column).left,
                        c.column == LiveColumn::Group || c.column == LiveColumn::Sender);
    }
    return text;
}

std::string LiveTable::cell(const LiveRow& row, LiveColumn column) const
{
    const GroupFigures& g = *row.figures;
    const bool heard = g.total.datagrams > 0;
    // Nothing expected in the interval: no share to give.
    const bool nothing = g.interval.datagrams == 0 && g.interval.lost == 0;
    switch (column) {
    case LiveColumn::Group: return row.group;
    case LiveColumn::Sender: return row.sender.empty() ? "-" : row.sender;
    case LiveColumn::State: return tr(stateWord(row.state));
    case LiveColumn::Rate: return shortRate(row.kbps);
    case LiveColumn::Datagrams: return std::to_string(g.interval.datagrams);
    case LiveColumn::Lost: return std::to_string(g.interval.lost);
    case LiveColumn::Loss: return nothing ? "-" : fixedText(g.interval.lossPercent(), 2);
    case LiveColumn::Total: return std::to_string(g.total.datagrams);
    case LiveColumn::TotalLost: return std::to_string(g.total.lost);
    case LiveColumn::TotalLoss: return heard ? fixedText(g.total.lossPercent(), 2) : "-";
    case LiveColumn::Late: return std::to_string(g.total.late);
    case LiveColumn::Heard: return heard ? agoText(row.heardAgoMs) : "-";
    case LiveColumn::Outages: return std::to_string(g.outages);
    case LiveColumn::Ttl: return row.ttl < 0 ? "-" : std::to_string(row.ttl);
    }
    return {};
}

std::size_t displayWidth(std::string_view text)
{
    std::size_t width = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
        char32_t code = length == 1 ? lead : lead & (0x3f >> (length - 1));
        for (std::size_t k = 1; k < length && at + k < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3f);
        const bool wide =
            (code >= 0x1100 && code <= 0x115f) || (code >= 0x2e80 && code <= 0xa4cf) ||
            (code >= 0xac00 && code <= 0xd7a3) || (code >= 0xf900 && code <= 0xfaff) ||
            (code >= 0xfe30 && code <= 0xfe4f) || (code >= 0xff00 && code <= 0xff60) ||
            (code >= 0xffe0 && code <= 0xffe6) || code >= 0x20000;
        // A continuation byte alone counts as nothing.
        if ((lead & 0xc0) != 0x80)
            width += wide ? 2 : 1;
        at += (lead & 0xc0) == 0x80 ? 1 : length;
    }
    return width;
}

std::string fitText(std::string_view text, std::size_t width, bool left, bool keepEnd)
{
    std::size_t have = displayWidth(text);
    std::string out(text);
    if (have > width) {
        // Cut whole characters until the rest and the ellipsis fit.
        const std::string_view ellipsis = "\u2026";
        const std::size_t room = width == 0 ? 0 : width - 1;
        auto characterAt = [&](std::size_t at) {
            std::size_t end = at + 1;
            while (end < out.size() && (static_cast<unsigned char>(out[end]) & 0xc0) == 0x80)
                ++end;
            return end - at;
        };
        std::string kept;
        if (!keepEnd) {
            for (std::size_t at = 0; at < out.size();) {
                const std::size_t n = characterAt(at);
                if (displayWidth(kept + out.substr(at, n)) > room)
                    break;
                kept += out.substr(at, n);
                at += n;
            }
            kept += width == 0 ? "" : std::string(ellipsis);
        } else {
            std::size_t at = 0;
            while (at < out.size() && displayWidth(std::string_view(out).substr(at)) > room)
                at += characterAt(at);
            kept = (width == 0 ? std::string() : std::string(ellipsis)) + out.substr(at);
        }
        out = std::move(kept);
        have = displayWidth(out);
    }
    const std::string pad(width > have ? width - have : 0, ' ');
    return left ? out + pad : pad + out;
}

std::string shortRate(double kbps)
{
    if (!(kbps > 0))
        return "0";
    constexpr std::array<const char*, 3> kUnits{"k", "M", "G"};
    double value = kbps;
    std::size_t unit = 0;
    // 999.95 would read 1000 with one decimal: the next unit then.
    while (value >= 999.5 && unit + 1 < kUnits.size()) {
        value /= 1000;
        ++unit;
    }
    const int decimals = value < 9.995 ? 2 : (value < 99.95 ? 1 : 0);
    return fixedText(value, decimals) + kUnits[unit];
}

std::string agoText(std::uint64_t ms)
{
    if (ms < 9950)
        return fixedText(static_cast<double>(ms) / 1000, 1) + "s";
    const std::uint64_t s = (ms + 500) / 1000;
    if (s < 100)
        return std::to_string(s) + "s";
    if (s < 100ULL * 60)
        return std::to_string(s / 60) + "m";
    if (s < 100ULL * 3600)
        return std::to_string(s / 3600) + "h";
    return std::to_string(s / 86400) + "d";
}
