#pragma once

#include "core/interval_figures.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// kestil-cli's live view as a table, without a terminal: a row per group
// made from each interval's figures, sorted and filtered as asked, and the
// texts of the header, the column heads and each row at a given width. The
// front end draws these texts and turns keys into the calls below; the
// figures come only from the intervals, once each.

// What a group does at an interval's end.
enum class LiveState {
    Flowing,   // datagrams arrive, none lost in the interval
    Losing,    // datagrams arrive, some lost in the interval
    Silent,    // none for longer than the outage threshold, or none yet
};

// The orders the rows can be sorted in; each but Worst by one column, the
// most telling first (most lost, longest silent), Group and Sender as listed.
enum class LiveSort { Worst, Group, Sender, Rate, Loss, TotalLoss, Heard, Outages };

struct LiveRow {
    const GroupFigures* figures = nullptr;   // in the table's latest interval
    std::size_t order = 0;                   // its place in the run's group list
    LiveState state = LiveState::Flowing;
    std::string group;
    std::string sender;             // of its newest numbered datagram; empty while none came
    int ttl = -1;                   // that sender's latest hop limit; -1: not known
    double kbps = 0;                // over the interval
    std::uint64_t heardAgoMs = 0;   // since its latest datagram, once one came
};

// The header's counts of groups.
struct LiveCounts {
    std::size_t groups = 0;
    std::size_t flowing = 0;   // not silent (losing ones too)
    std::size_t losing = 0;
    std::size_t silent = 0;
};

// The columns, in the order they are drawn.
enum class LiveColumn {
    Group,
    Sender,
    State,
    Rate,
    Datagrams,
    Lost,
    Loss,
    Total,
    TotalLost,
    TotalLoss,
    Late,
    Heard,
    Outages,
    Ttl,
};

// The columns that fit a width, each with its width; one space between two.
struct LiveLayout {
    struct Column {
        LiveColumn column;
        std::size_t width;
    };
    std::vector<Column> columns;
};

class LiveTable {
public:
    // Takes the figures of an interval just closed; the rows follow them.
    void update(const ReceiveInterval& interval);

    // Sorts by the order given; asked for the order in force, reverses it.
    void sortBy(LiveSort sort);
    LiveSort sort() const { return sort_; }
    bool reversed() const { return reversed_; }
    // Shows only the groups with problems (silent, or losses or outages
    // since the start), or all again.
    void toggleProblems() { problemsOnly_ = !problemsOnly_, arrange(); }
    bool problemsOnly() const { return problemsOnly_; }

    // The rows shown, in their order.
    const std::vector<const LiveRow*>& shown() const { return shown_; }
    LiveCounts counts() const { return counts_; }
    bool empty() const { return rows_.empty(); }

    // The header's lines at the width: the run's time and the groups'
    // counts, the totals, the own drops, then each of notes (the querier, an
    // event), then how the rows are sorted; words wrap between figures.
    std::vector<std::string> headerLines(std::size_t width,
                                         const std::vector<std::string>& notes) const;
    // The columns that fit the width, the most telling first: the group, its
    // state and losses, when it was heard and from whom; the rest as room allows.
    LiveLayout layout(std::size_t width) const;
    std::string headText(const LiveLayout& layout) const;
    std::string rowText(const LiveRow& row, const LiveLayout& layout) const;

private:
    void arrange();
    bool before(const LiveRow& a, const LiveRow& b) const;
    std::string cell(const LiveRow& row, LiveColumn column) const;

    ReceiveInterval interval_;
    std::vector<LiveRow> rows_;
    std::vector<const LiveRow*> shown_;
    LiveCounts counts_;
    LiveSort sort_ = LiveSort::Worst;
    bool reversed_ = false;
    bool problemsOnly_ = false;
    std::size_t groupWidth_ = 0;   // of the longest group's text
    std::size_t senderWidth_ = 0;
};

// The columns a text takes on a terminal: two for each wide (East Asian)
// character, one for any other.
std::size_t displayWidth(std::string_view text);
// The text in exactly width columns: padded with spaces on the right (left
// true) or left; one too long is cut, an ellipsis marking the cut, at its
// end, or at its start with keepEnd (an address's end tells most).
std::string fitText(std::string_view text, std::size_t width, bool left, bool keepEnd = false);
// A speed in kbit/s in a few characters: "512k", "25.2M", "2.52G", "0".
std::string shortRate(double kbps);
// A time gone by: "0.4s", "42s", "17m", "5h", "3d".
std::string agoText(std::uint64_t ms);
