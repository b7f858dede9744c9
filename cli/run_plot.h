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

struct RunPlot {
    PlotTitle title;
    std::vector<PlotInterval> intervals;   // in any order
    std::vector<PlotOutage> outages;
};

// Intervals beyond this many are gathered into as many columns of equal time.
constexpr int kPlotColumns = 1000;

// The run as a self-contained SVG picture: the rate per interval above,
// datagrams lost per interval below, outages shaded across both, over the
// time since the start. Long runs are drawn in at most kPlotColumns columns,
// each with its mean rate, the range of its intervals' rates and the sum of
// their losses, so a day's run stays a few hundred kilobytes. No script, no
// external file or font.
std::string runPlotSvg(const RunPlot& run);

// Replaces the file name with the picture whole. 0, or an errno value.
int writeRunPlot(const char* name, const RunPlot& run);
