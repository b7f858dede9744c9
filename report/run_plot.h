#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One interval of a receiver's run.
struct PlotInterval {
    double endSeconds = 0;      // seconds since the start, when the interval ended
    double lengthSeconds = 0;   // how long it lasted
    double kbps = 0;            // rate over the interval, kbit/s
    std::uint64_t lost = 0;     // datagrams lost in the interval
    // The one-way delay of the datagrams that carried their send time (none
    // when stamped is 0), in ms: the least, the mean and the most, and the
    // jitter at the interval's end.
    std::uint64_t stamped = 0;
    double delayMin = 0;
    double delayMean = 0;
    double delayMax = 0;
    double jitter = 0;
};

// A time the senders fell silent for longer than the outage threshold.
struct PlotOutage {
    double startSeconds = 0;   // seconds since the start
    double lengthSeconds = 0;
    std::uint64_t lost = 0;   // datagrams lost across it
};

// A sender as the title names it.
struct PlotSender {
    std::string address;
    int port = 0;
};

// What the picture's title says about the run; any text, escaped as needed.
struct PlotTitle {
    std::string group;
    int port = 0;
    // Named by address, and by address and port where one address sends
    // from several ports.
    std::vector<PlotSender> senders;
    std::string start;   // wall clock, as text
    std::string end;
};

// One interval, or neighbouring intervals merged: their time, the sums and
// the extremes the picture draws.
struct PlotPoint {
    double from = 0;   // seconds since the start
    double to = 0;
    double weighted = 0;   // kbit/s times seconds
    double seconds = 0;
    double plain = 0;          // kbit/s summed, for intervals without a length
    std::uint64_t count = 0;   // intervals
    double low = 0;            // kbit/s, of the slowest interval
    double high = 0;
    std::uint64_t lost = 0;
    std::int64_t slot = 0;   // of the series' current width
    // The delays, ms: of all its stamped datagrams the least, their sum and
    // the most, and the highest jitter.
    std::uint64_t stamped = 0;
    double delayLow = 0;
    double delaySum = 0;
    double delayHigh = 0;
    double jitter = 0;

    void merge(const PlotPoint& other);
    // Where it stands among the others, and the time its slot is taken at.
    double order() const { return to; }
    double place() const { return (from + to) / 2; }
};

// Long runs are drawn in kPlotColumns columns of equal time. A series keeps
// at most kPlotPoints points, each then spanning about a quarter of a
// column at most, well within a pixel.
constexpr int kPlotColumns = 1000;
constexpr std::size_t kPlotPoints = std::size_t{8} * kPlotColumns;

// Items of a run in the order of their time, kept in at most kPlotPoints
// however long the run: beyond that, time is cut into slots of equal width
// (a power of two of seconds) and the items within a slot are merged into
// one, the width doubling whenever the items would be more. An item says
// its order() and the place() its slot is taken at, and merges another.
template <typename Item>
class TimeSlots {
public:
    // Items come mostly in order; one that does not is put in its place.
    void add(Item item);
    const std::vector<Item>& items() const { return items_; }

private:
    void coarsen();

    std::vector<Item> items_;
    double slotSeconds_ = 0;   // 0 while every item stands alone
};

// A run's intervals in time order, as points in time slots. Intervals whose
// times or rates cannot be drawn are left out; a negative or unknown rate
// counts as 0.
class PlotSeries {
public:
    void add(PlotInterval interval);
    const std::vector<PlotPoint>& points() const { return points_.items(); }
    std::uint64_t intervals() const { return intervals_; }
    bool empty() const { return points().empty(); }

private:
    TimeSlots<PlotPoint> points_;
    std::uint64_t intervals_ = 0;
};

// A group of a run of several, since the start.
struct PlotGroup {
    std::string address;
    std::uint64_t lost = 0;
    std::uint64_t outages = 0;
};

// Outages: one, or neighbours in time merged.
struct PlotSilence {
    double from = 0;   // seconds since the start
    double to = 0;
    std::uint64_t count = 0;   // outages
    std::uint64_t lost = 0;
    double longest = 0;   // seconds, of one outage
    // The most outages at one time (groups silent at once); for merged ones
    // the sum of those that overlap, the most of those that do not.
    std::uint64_t silent = 0;
    std::int64_t slot = 0;   // of the current width

    void merge(const PlotSilence& other);
    double order() const { return from; }
    double place() const { return from; }
};

// A run's outages by their start, in time slots however many groups fall
// silent how often. Outages whose times are not finite are left out.
class PlotOutages {
public:
    void add(const PlotOutage& outage);
    const std::vector<PlotSilence>& silences() const { return silences_.items(); }

private:
    TimeSlots<PlotSilence> silences_;
};

struct RunPlot {
    PlotTitle title;
    PlotSeries intervals;
    PlotOutages outages;
    // Every group of a run of several, worst first; empty for one group.
    std::vector<PlotGroup> groups;
};

// The run as a self-contained SVG picture: the rate per interval above,
// datagrams lost per interval below, outages shaded across both, over the
// time since the start; where datagrams carried their send time, a narrow
// panel between the two with the one-way delay's range, its mean and the
// jitter about it; all groups together, those with loss or outages
// named under the title. Long runs are drawn in at most kPlotColumns columns,
// each with its mean rate, the range of its intervals' rates and the sum of
// their losses, so a day's run stays a few hundred kilobytes. No script, no
// external file or font.
std::string runPlotSvg(const RunPlot& run);
