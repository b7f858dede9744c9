#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One interval of a receiver's run.
struct PlotInterval {
    double endSeconds = 0;      // seconds since the start, when the interval ended
    double lengthSeconds = 0;   // how long it lasted
    double kbps = 0;            // rate over the interval, kbit/s
    std::uint64_t lost = 0;     // datagrams lost in the interval
};

// A time the senders fell silent for longer than the outage threshold.
struct PlotOutage {
    double startSeconds = 0;   // seconds since the start
    double lengthSeconds = 0;
    std::uint64_t lost = 0;   // datagrams lost across it
};

// What the picture's title says about the run; any text, escaped as needed.
struct PlotTitle {
    std::string group;
    int port = 0;
    std::vector<std::string> senders;   // addresses
    std::string start;                  // wall clock, as text
    std::string end;
};

// A group of a run of several, since the start.
struct PlotGroup {
    std::string address;
    std::uint64_t lost = 0;
    std::uint64_t outages = 0;
};

struct RunPlot {
    PlotTitle title;
    std::vector<PlotInterval> intervals;   // in any order
    std::vector<PlotOutage> outages;
    // Every group of a run of several, worst first; empty for one group.
    std::vector<PlotGroup> groups;
};

// Intervals beyond this many are gathered into as many columns of equal time.
constexpr int kPlotColumns = 1000;

// The run as a self-contained SVG picture: the rate per interval above,
// datagrams lost per interval below, outages shaded across both, over the
// time since the start; all groups together, those with loss or outages
// named under the title. Long runs are drawn in at most kPlotColumns columns,
// each with its mean rate, the range of its intervals' rates and the sum of
// their losses, so a day's run stays a few hundred kilobytes. No script, no
// external file or font.
std::string runPlotSvg(const RunPlot& run);

// Replaces the file name with the picture whole. 0, or an errno value.
int writeRunPlot(const char* name, const RunPlot& run);
