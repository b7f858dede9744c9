#include "report/run_plot.h"

#include "report/figure_text.h"
#include "report/xml_text.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <map>
#include <set>
#include <string_view>

namespace {

// The picture's frame, in pixels.
constexpr double kWidth = 1200;
constexpr double kHeight = 700;
constexpr double kLeft = 90;
constexpr double kRight = kWidth - 44;
constexpr double kRateTop = 112;
constexpr double kRateBottom = 410;
// With delays the rate panel ends higher, and the delay panel takes the rest.
constexpr double kRateBottomWithDelay = 330;
constexpr double kDelayTop = 352;
constexpr double kDelayBottom = 420;
constexpr double kLostTop = 442;
constexpr double kLostBottom = 578;
constexpr double kTimeLabels = 598;

constexpr const char* kRateColour = "#1f5fa8";
constexpr const char* kBandColour = "#a9c8ec";
constexpr const char* kLostColour = "#c0392b";
constexpr const char* kOutageColour = "#e8900c";
constexpr const char* kDelayColour = "#2e7d32";
constexpr const char* kDelayBandColour = "#c8e6c9";
constexpr const char* kJitterColour = "#81c784";
constexpr const char* kGridColour = "#e3e3e3";
constexpr const char* kAxisColour = "#555555";
constexpr const char* kTextColour = "#222222";

// Longest texts from the title, in characters.
constexpr std::size_t kGroupChars = 60;
constexpr std::size_t kSenderChars = 128;
constexpr std::size_t kClockChars = 40;
constexpr std::size_t kGroupsLineChars = 150;

// A pixel position, to a tenth of a pixel.
std::string px(double value)
{
    return fixedText(value, 1);
}

// A length of time for people: "12.3 s", "5 min 03 s", "2 h 05 min".
std::string durationText(double seconds)
{
    if (seconds < 60)
        return fixedText(seconds, 1) + " s";
    const auto whole = static_cast<long long>(std::llround(seconds));
    const auto two = [](long long n) { return (n < 10 ? "0" : "") + std::to_string(n); };
    if (whole < 3600)
        return std::to_string(whole / 60) + " min " + two(whole % 60) + " s";
    return std::to_string(whole / 3600) + " h " + two(whole / 60 % 60) + " min";
}

// A step of 1, 2 or 5 times a power of ten of at least raw.
double niceStep(double raw)
{
    if (!(raw > 0))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0})
        if (factor * power >= raw * (1 - 1e-9))
            return factor * power;
    return 10 * power;
}

// Decimals that show every multiple of step exactly.
int decimalsFor(double step)
{
    return step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
}

// A vertical axis: 0 up to top, ticks every step, labels with decimals.
struct ValueAxis {
    double top = 1;
    double step = 1;
    int decimals = 0;
};

ValueAxis valueAxis(double highest, bool whole, int ticks)
{
    ValueAxis axis;
    if (!(highest > 0))
        highest = 1;
    axis.step = niceStep(highest / ticks);
    if (whole)
        axis.step = std::max(axis.step, 1.0);
    axis.top = std::ceil(highest / axis.step - 1e-9) * axis.step;
    axis.decimals = decimalsFor(axis.step);
    return axis;
}

// The time axis: its unit (seconds, minutes or hours by the run's length)
// and a tick step of at most ten ticks.
struct TimeAxis {
    double span = 1;   // seconds shown, from 0
    double unit = 1;   // seconds per unit
    const char* unitName = "s";
    double step = 1;   // in units
};

TimeAxis timeAxis(double span)
{
    TimeAxis axis;
    axis.span = std::max(span, 1.0);
    std::vector<double> steps;
    if (axis.span <= 180) {
        steps = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 20, 30};
    } else if (axis.span <= 3 * 3600) {
        axis.unit = 60;
        axis.unitName = "min";
        steps = {1, 2, 5, 10, 15, 20, 30};
    } else {
        axis.unit = 3600;
        axis.unitName = "h";
        steps = {1, 2, 3, 4, 6, 12, 24, 48, 72, 168};
    }
    const double units = axis.span / axis.unit;
    axis.step = steps.back();
    for (const double step : steps) {
        if (units / step <= 10) {
            axis.step = step;
            break;
        }
    }
    while (units / axis.step > 10)
        axis.step *= 2;
    return axis;
}

// One drawn column: one interval, or the intervals of one stretch of time.
struct Column {
    double from = 0;   // seconds since the start
    double to = 0;
    double mean = 0;   // kbit/s
    double low = 0;
    double high = 0;
    std::uint64_t lost = 0;
    // The delays, ms, once stamped.
    bool stamped = false;
    double delayLow = 0;
    double delayMean = 0;
    double delayHigh = 0;
    double jitter = 0;
};

Column columnOf(const PlotPoint& point)
{
    const double mean = point.seconds > 0 ? point.weighted / point.seconds
                                          : point.plain / static_cast<double>(point.count);
    Column column{point.from, point.to, mean, point.low, point.high, point.lost};
    if (point.stamped != 0) {
        column.stamped = true;
        column.delayLow = point.delayLow;
        column.delayMean = point.delaySum / static_cast<double>(point.stamped);
        column.delayHigh = point.delayHigh;
        column.jitter = point.jitter;
    }
    return column;
}

// The columns to draw: each interval, or kPlotColumns stretches of
// span / kPlotColumns seconds each, those with any interval; the time per
// column in columnSeconds.
std::vector<Column> columnsOf(const PlotSeries& series, double span, double& columnSeconds)
{
    std::vector<Column> columns;
    if (series.intervals() <= static_cast<std::uint64_t>(kPlotColumns)) {
        columnSeconds = 0;
        for (const PlotPoint& point : series.points())
            columns.push_back(columnOf(point));
        return columns;
    }
    columnSeconds = span / kPlotColumns;
    std::vector<PlotPoint> buckets(kPlotColumns);
    for (const PlotPoint& point : series.points()) {
        const double middle = (point.from + point.to) / 2;
        const auto index =
            std::clamp(static_cast<int>(middle / columnSeconds), 0, kPlotColumns - 1);
        buckets[static_cast<std::size_t>(index)].merge(point);
    }
    for (const PlotPoint& bucket : buckets)
        if (bucket.count > 0)
            columns.push_back(columnOf(bucket));
    return columns;
}

// Outages as drawn: those that would touch on the picture become one shade.
struct Shade {
    double from = 0;   // seconds
    double to = 0;
    std::uint64_t count = 0;
    std::uint64_t lost = 0;
    double longest = 0;
    std::uint64_t mostSilent = 0;   // outages at one time at most: groups silent at once
};

// The most of the outages that overlap at one time, each silence counting
// as its own most.
std::uint64_t mostAtOnce(const std::vector<PlotSilence>& silences)
{
    // Ends before beginnings at the same time: outages that only touch do
    // not overlap.
    std::vector<std::pair<double, std::int64_t>> steps;
    steps.reserve(silences.size() * 2);
    std::uint64_t most = 0;
    for (const PlotSilence& silence : silences) {
        const auto silent = static_cast<std::int64_t>(silence.silent);
        steps.emplace_back(silence.from, silent);
        steps.emplace_back(silence.to, -silent);
        // An outage of no length still counts.
        most = std::max(most, silence.silent);
    }
    std::sort(steps.begin(), steps.end());
    std::int64_t now = 0;
    for (const auto& [at, step] : steps) {
        now += step;
        most = std::max(most, static_cast<std::uint64_t>(std::max<std::int64_t>(now, 0)));
    }
    return most;
}

// The senders by address, and by address and port where one address sends
// from several ports; in their order.
std::vector<std::string> senderNames(const std::vector<PlotSender>& senders)
{
    std::map<std::string, std::set<int>> ports;
    for (const PlotSender& sender : senders)
        ports[sender.address].insert(sender.port);
    std::vector<std::string> names;
    names.reserve(senders.size());
    for (const PlotSender& sender : senders) {
        if (ports[sender.address].size() < 2)
            names.push_back(sender.address);
        else if (sender.address.find(':') != std::string::npos)
            names.push_back("[" + sender.address + "]:" + std::to_string(sender.port));
        else
            names.push_back(sender.address + ":" + std::to_string(sender.port));
    }
    return names;
}

class Svg {
public:
    void line(double x1, double y1, double x2, double y2, const char* colour, double width = 1)
    {
        out_ += "<line x1=\"" + px(x1) + "\" y1=\"" + px(y1) + "\" x2=\"" + px(x2) + "\" y2=\"" +
                px(y2) + "\" stroke=\"" + colour + "\" stroke-width=\"" + px(width) + "\"/>\n";
    }

    // text is already escaped.
    void text(double x, double y, const std::string& text, const char* anchor = "start",
              int size = 12, const char* extra = "")
    {
        out_ += "<text x=\"" + px(x) + "\" y=\"" + px(y) + "\" font-size=\"" +
                std::to_string(size) + "\" text-anchor=\"" + anchor + "\"" + extra + ">" + text +
                "</text>\n";
    }

    void rect(double x, double y, double w, double h, const std::string& attributes)
    {
        out_ += "<rect x=\"" + px(x) + "\" y=\"" + px(y) + "\" width=\"" + px(w) + "\" height=\"" +
                px(h) + "\" " + attributes + "/>\n";
    }

    void raw(std::string_view text) { out_ += text; }

    std::string& out() { return out_; }

private:
    std::string out_;
};

class Picture {
public:
    explicit Picture(const RunPlot& run);
    std::string svg();

private:
    double x(double seconds) const { return kLeft + seconds / time_.span * (kRight - kLeft); }
    double rateY(double kbps) const
    {
        const double shown = std::clamp(kbps / rateUnit_ / rate_.top, 0.0, 1.0);
        return rateBottom_ - shown * (rateBottom_ - kRateTop);
    }
    double delayY(double ms) const
    {
        const double shown = std::clamp((ms - delayFloor_) / (delay_.top - delayFloor_), 0.0, 1.0);
        return kDelayBottom - shown * (kDelayBottom - kDelayTop);
    }
    double lostY(double lost) const
    {
        const double shown = std::clamp(lost / lost_.top, 0.0, 1.0);
        return kLostBottom - shown * (kLostBottom - kLostTop);
    }

    void title();
    void groupsWithLoss();
    void empty();
    void shades();
    void timeTicks();
    void rateTicks();
    void lostTicks();
    void rateBand();
    void rateLine();
    void lostBars();
    void delayPanel();
    void legend();

    const RunPlot& run_;
    const PlotSeries& intervals_;
    std::vector<Column> columns_;
    double columnSeconds_ = 0;
    std::vector<Shade> shades_;
    TimeAxis time_;
    ValueAxis rate_;
    double rateUnit_ = 1;   // kbit/s per unit shown
    const char* rateUnitName_ = "kbit/s";
    ValueAxis lost_;
    double rateBottom_ = kRateBottom;
    bool delays_ = false;   // a column has stamped datagrams
    ValueAxis delay_;
    double delayFloor_ = 0;   // ms at the panel's foot: 0, or below it when the clocks disagree
    Svg svg_;
};

Picture::Picture(const RunPlot& run) : run_(run), intervals_(run.intervals)
{
    double span = 0;
    for (const PlotPoint& point : intervals_.points())
        span = std::max(span, point.to);
    for (const PlotSilence& silence : run.outages.silences())
        span = std::max(span, silence.to);
    time_ = timeAxis(span);
    columns_ = columnsOf(intervals_, time_.span, columnSeconds_);

    double highest = 0;
    std::uint64_t mostLost = 0;
    for (const Column& column : columns_) {
        highest = std::max(highest, columnSeconds_ > 0 ? column.high : column.mean);
        mostLost = std::max(mostLost, column.lost);
    }
    if (highest >= 10000) {
        rateUnit_ = 1000;
        rateUnitName_ = "Mbit/s";
    }
    rate_ = valueAxis(highest / rateUnit_, false, 5);
    // Two or three labels are enough for the low panel.
    lost_ = valueAxis(static_cast<double>(mostLost), true, 3);

    double delayHighest = 0;
    double delayLowest = 0;
    for (const Column& column : columns_) {
        if (!column.stamped)
            continue;
        delays_ = true;
        delayHighest = std::max({delayHighest, column.delayHigh, column.delayMean + column.jitter});
        delayLowest = std::min({delayLowest, column.delayLow, column.delayMean - column.jitter});
    }
    if (delays_) {
        rateBottom_ = kRateBottomWithDelay;
        delay_ = valueAxis(delayHighest - delayLowest, false, 2);
        delayFloor_ =
            delayLowest < 0 ? -std::ceil(-delayLowest / delay_.step - 1e-9) * delay_.step : 0;
        delay_.top = delayFloor_ +
                     std::ceil((delayHighest - delayFloor_) / delay_.step - 1e-9) * delay_.step;
        if (delay_.top <= delayFloor_)
            delay_.top = delayFloor_ + delay_.step;
    }

    // Outages in time order, joined where less than two pixels apart.
    const double twoPixels = 2 * time_.span / (kRight - kLeft);
    std::vector<PlotSilence> shaded;   // those of the last shade
    for (const PlotSilence& silence : run.outages.silences()) {
        if (shades_.empty() || silence.from > shades_.back().to + twoPixels) {
            if (!shades_.empty())
                shades_.back().mostSilent = mostAtOnce(shaded);
            shaded.clear();
            shades_.push_back({silence.from, silence.to, 0, 0, 0, 0});
        }
        Shade& shade = shades_.back();
        shade.to = std::max(shade.to, silence.to);
        shade.count += silence.count;
        shade.lost += silence.lost;
        shade.longest = std::max(shade.longest, silence.longest);
        shaded.push_back(silence);
    }
    if (!shades_.empty())
        shades_.back().mostSilent = mostAtOnce(shaded);
}

std::string Picture::svg()
{
    const std::string width = fixedText(kWidth, 0);
    const std::string height = fixedText(kHeight, 0);
    svg_.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
             width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
             "\" font-family=\"sans-serif\" fill=\"" + kTextColour + "\">\n");
    svg_.rect(0, 0, kWidth, kHeight, "fill=\"#ffffff\"");
    title();
    if (intervals_.empty()) {
        empty();
    } else {
        shades();
        timeTicks();
        rateTicks();
        lostTicks();
        rateBand();
        rateLine();
        lostBars();
        delayPanel();
        legend();
    }
    svg_.raw("</svg>\n");
    return std::move(svg_.out());
}

void Picture::title()
{
    const PlotTitle& title = run_.title;
    const std::string groups = run_.groups.size() > 1
                                   ? std::to_string(run_.groups.size()) + " groups "
                                   : std::string("Group ");
    svg_.text(kLeft, 32,
              groups + xmlText(title.group, kGroupChars) + ", port " + std::to_string(title.port),
              "start", 20, " font-weight=\"bold\"");
    groupsWithLoss();

    // Whole addresses, as many as the line holds, then how many more there are.
    std::string senders;
    std::size_t shown = 0;
    for (const std::string& sender : senderNames(title.senders)) {
        if (shown > 0 && senders.size() + 2 + sender.size() > kSenderChars)
            break;
        senders += (shown++ > 0 ? ", " : "") + sender;
    }
    if (shown < title.senders.size())
        senders += " and " + std::to_string(title.senders.size() - shown) + " more";
    const char* label = title.senders.size() == 1 ? "Sender " : "Senders ";
    svg_.text(kLeft, 56,
              title.senders.empty() ? std::string("No sender")
                                    : label + xmlText(senders, kSenderChars + 20),
              "start", 14);

    std::string line =
        "From " + xmlText(title.start, kClockChars) + " to " + xmlText(title.end, kClockChars);
    if (!intervals_.empty()) {
        line += " (" + durationText(time_.span) + ")";
        double weighted = 0;
        double seconds = 0;
        std::uint64_t lost = 0;
        for (const PlotPoint& point : intervals_.points()) {
            weighted += point.weighted;
            seconds += point.seconds;
            lost += point.lost;
        }
        const double mean = seconds > 0 ? weighted / seconds : 0;
        line += "   \u00b7   mean " +
                (mean >= 10000 ? fixedText(mean / 1000, 2) + " Mbit/s"
                               : fixedText(mean, 1) + " kbit/s") +
                ", " + std::to_string(lost) + " lost";
        std::size_t outages = 0;
        for (const Shade& shade : shades_)
            outages += static_cast<std::size_t>(shade.count);
        line += ", " + std::to_string(outages) + (outages == 1 ? " outage" : " outages");
    }
    svg_.text(kLeft, 78, line, "start", 14, " fill=\"#444444\"");
}

void Picture::groupsWithLoss()
{
    if (run_.groups.size() < 2)
        return;
    // Whole entries, as many as the line holds, in the order given (worst first).
    std::size_t marked = 0;
    std::string named;
    std::size_t shown = 0;
    bool full = false;
    for (const PlotGroup& g : run_.groups) {
        if (g.lost == 0 && g.outages == 0)
            continue;
        ++marked;
        std::string entry = g.address + " " + std::to_string(g.lost) + " lost";
        if (g.outages > 0)
            entry += ", " + std::to_string(g.outages) + (g.outages == 1 ? " outage" : " outages");
        full = full || (shown > 0 && named.size() + 2 + entry.size() > kGroupsLineChars);
        if (full)
            continue;
        named += (shown++ > 0 ? "; " : "") + entry;
    }
    std::string line = marked == 0 ? std::string("No group lost datagrams or fell silent")
                                   : "Loss or outages in " + std::to_string(marked) + " of " +
                                         std::to_string(run_.groups.size()) +
                                         " groups: " + xmlText(named, kGroupsLineChars + 40);
    if (shown < marked)
        line += " and " + std::to_string(marked - shown) + " more";
    svg_.text(kLeft, 98, line, "start", 12,
              marked == 0 ? " fill=\"#444444\"" : " fill=\"#c0392b\"");
}

void Picture::empty()
{
    svg_.rect(kLeft, kRateTop, kRight - kLeft, kLostBottom - kRateTop,
              "fill=\"#f7f7f7\" stroke=\"#cccccc\"");
    svg_.text((kLeft + kRight) / 2, (kRateTop + kLostBottom) / 2, "No datagrams arrived.", "middle",
              22, " fill=\"#666666\"");
}

void Picture::shades()
{
    // In a run of several groups an outage is one group's silence: the
    // shade is as dark as the share of the groups silent at once, the whole
    // run's silence as dark as one group's own.
    const std::size_t groups = std::max<std::size_t>(run_.groups.size(), 1);
    for (const Shade& shade : shades_) {
        double left = x(shade.from);
        double width = std::max(x(shade.to) - left, 3.0);
        left = std::min(left, kRight - width);
        const double share =
            std::min(static_cast<double>(shade.mostSilent) / static_cast<double>(groups), 1.0);
        std::string note;
        if (shade.count == 1)
            note = "Outage at " + durationText(shade.from) + ", " + durationText(shade.longest) +
                   " long, " + std::to_string(shade.lost) + " lost";
        else
            note = std::to_string(shade.count) + " outages from " + durationText(shade.from) +
                   " to " + durationText(shade.to) + ", longest " + durationText(shade.longest) +
                   ", " + std::to_string(shade.lost) + " lost";
        if (groups > 1)
            note += "; at most " + std::to_string(shade.mostSilent) + " of " +
                    std::to_string(groups) + " groups silent at once";
        svg_.raw("<g fill=\"");
        svg_.raw(kOutageColour);
        svg_.raw("\" fill-opacity=\"" + fixedText(0.3 * share, 3) + "\"><title>" + note +
                 "</title>\n");
        svg_.rect(left, kRateTop, width, rateBottom_ - kRateTop, "");
        svg_.rect(left, kLostTop, width, kLostBottom - kLostTop, "");
        // A mark above the panel, so that a short outage in a long run is
        // seen too: solid when all are silent, never fainter than a third.
        svg_.rect(left, kRateTop - 7, width, 6,
                  "fill-opacity=\"" + fixedText(0.35 + 0.65 * share, 3) + "\"");
        svg_.raw("</g>\n");
    }
}

void Picture::timeTicks()
{
    const double stepSeconds = time_.step * time_.unit;
    const int decimals = decimalsFor(time_.step);
    const auto count = static_cast<int>(std::floor(time_.span / stepSeconds + 1e-9));
    for (int i = 0; i <= count; ++i) {
        const double at = x(i * stepSeconds);
        svg_.line(at, kRateTop, at, rateBottom_, kGridColour);
        svg_.line(at, kLostTop, at, kLostBottom, kGridColour);
        if (delays_)
            svg_.line(at, kDelayTop, at, kDelayBottom, kGridColour);
        svg_.line(at, kLostBottom, at, kLostBottom + 5, kAxisColour);
        svg_.text(at, kTimeLabels, fixedText(i * time_.step, decimals) + " " + time_.unitName,
                  "middle");
    }
    svg_.line(kLeft, rateBottom_, kRight, rateBottom_, kAxisColour);
    svg_.line(kLeft, kLostBottom, kRight, kLostBottom, kAxisColour);
    svg_.text((kLeft + kRight) / 2, kTimeLabels + 24, "Time since start", "middle", 13);
}

void Picture::rateTicks()
{
    const auto count = static_cast<int>(std::lround(rate_.top / rate_.step));
    for (int i = 0; i <= count; ++i) {
        const double y = rateY(i * rate_.step * rateUnit_);
        if (i > 0)
            svg_.line(kLeft, y, kRight, y, kGridColour);
        svg_.line(kLeft - 5, y, kLeft, y, kAxisColour);
        svg_.text(kLeft - 8, y + 4, fixedText(i * rate_.step, rate_.decimals), "end");
    }
    svg_.line(kLeft, kRateTop, kLeft, rateBottom_, kAxisColour);
    const double middle = (kRateTop + rateBottom_) / 2;
    svg_.text(24, middle, std::string("Rate, ") + rateUnitName_, "middle", 13,
              (" transform=\"rotate(-90 24 " + px(middle) + ")\"").c_str());
}

void Picture::lostTicks()
{
    const ValueAxis& axis = lost_;
    const auto count = static_cast<int>(std::floor(axis.top / axis.step + 1e-9));
    for (int i = 0; i <= count; ++i) {
        const double y = lostY(i * axis.step);
        if (i > 0)
            svg_.line(kLeft, y, kRight, y, kGridColour);
        svg_.line(kLeft - 5, y, kLeft, y, kAxisColour);
        svg_.text(kLeft - 8, y + 4, fixedText(i * axis.step, 0), "end");
    }
    svg_.line(kLeft, kLostTop, kLeft, kLostBottom, kAxisColour);
    const double middle = (kLostTop + kLostBottom) / 2;
    svg_.text(24, middle, "Lost", "middle", 13,
              (" transform=\"rotate(-90 24 " + px(middle) + ")\"").c_str());
}

void Picture::rateBand()
{
    if (columnSeconds_ <= 0)
        return;
    // One closed shape per stretch without a gap: the highs left to right,
    // then the lows back.
    std::string path;
    std::size_t first = 0;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const bool last =
            i + 1 == columns_.size() || columns_[i + 1].from > columns_[i].to + columnSeconds_ / 2;
        if (!last)
            continue;
        for (std::size_t k = first; k <= i; ++k) {
            path += (k == first ? "M" : "L") + px(x(columns_[k].from)) + " " +
                    px(rateY(columns_[k].high)) + "H" + px(x(columns_[k].to));
        }
        for (std::size_t k = i + 1; k-- > first;)
            path += "L" + px(x(columns_[k].to)) + " " + px(rateY(columns_[k].low)) + "H" +
                    px(x(columns_[k].from));
        path += "Z";
        first = i + 1;
    }
    svg_.raw("<path fill=\"");
    svg_.raw(kBandColour);
    svg_.raw("\" fill-opacity=\"0.6\" d=\"" + path + "\"/>\n");
}

void Picture::rateLine()
{
    // Steps: each column's mean across its time, broken where no interval was.
    std::string path;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const Column& column = columns_[i];
        const double tolerance =
            columnSeconds_ > 0 ? columnSeconds_ / 2 : std::max(column.to - column.from, 0.0) / 2;
        const bool gap = i == 0 || column.from > columns_[i - 1].to + tolerance;
        path += (gap ? "M" : "L") + px(x(column.from)) + " " + px(rateY(column.mean)) + "H" +
                px(x(column.to));
    }
    svg_.raw("<path fill=\"none\" stroke=\"");
    svg_.raw(kRateColour);
    svg_.raw("\" stroke-width=\"1.6\" stroke-linejoin=\"round\" d=\"" + path + "\"/>\n");
    if (rate_.top <= 1 &&
        std::all_of(columns_.begin(), columns_.end(), [](const Column& c) { return c.high <= 0; }))
        svg_.text((kLeft + kRight) / 2, (kRateTop + rateBottom_) / 2, "No datagrams arrived.",
                  "middle", 22, " fill=\"#666666\"");
}

void Picture::lostBars()
{
    std::string path;
    for (const Column& column : columns_) {
        if (column.lost == 0)
            continue;
        double left = x(column.from);
        double right = x(column.to);
        // A little space between wide bars; at least a pixel for narrow ones.
        if (right - left > 4) {
            const double inset = (right - left) * 0.12;
            left += inset;
            right -= inset;
        }
        right = std::max(right, left + 1);
        const double top = std::min(lostY(static_cast<double>(column.lost)), kLostBottom - 1.5);
        path += "M" + px(left) + " " + px(kLostBottom) + "V" + px(top) + "H" + px(right) + "V" +
                px(kLostBottom) + "Z";
    }
    if (path.empty()) {
        svg_.text((kLeft + kRight) / 2, (kLostTop + kLostBottom) / 2 + 5, "No datagrams lost",
                  "middle", 13, " fill=\"#777777\"");
        return;
    }
    svg_.raw("<path fill=\"");
    svg_.raw(kLostColour);
    svg_.raw("\" d=\"" + path + "\"/>\n");
}

void Picture::delayPanel()
{
    if (!delays_)
        return;
    const int decimals = delay_.decimals;
    const auto count = static_cast<int>(std::lround((delay_.top - delayFloor_) / delay_.step));
    for (int i = 0; i <= count; ++i) {
        const double ms = delayFloor_ + i * delay_.step;
        const double y = delayY(ms);
        if (i > 0)
            svg_.line(kLeft, y, kRight, y, kGridColour);
        svg_.line(kLeft - 5, y, kLeft, y, kAxisColour);
        svg_.text(kLeft - 8, y + 4, fixedText(ms, decimals), "end", 11);
    }
    svg_.line(kLeft, kDelayTop, kLeft, kDelayBottom, kAxisColour);
    svg_.line(kLeft, kDelayBottom, kRight, kDelayBottom, kAxisColour);
    const double middle = (kDelayTop + kDelayBottom) / 2;
    svg_.text(24, middle, "Delay, ms", "middle", 12,
              (" transform=\"rotate(-90 24 " + px(middle) + ")\"").c_str());
    // Per column: the least to the most delay, the jitter about the mean
    // darker, and the mean as a line broken where no datagram was stamped.
    std::string range;
    std::string jitter;
    std::string mean;
    bool joined = false;
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const Column& c = columns_[i];
        if (!c.stamped) {
            joined = false;
            continue;
        }
        const double left = x(c.from);
        const double width = std::max(x(c.to) - left, 1.0);
        const auto box = [&](std::string& path, double low, double high) {
            const double top = delayY(high);
            const double height = std::max(delayY(low) - top, 1.0);
            path += "M" + px(left) + " " + px(top) + "h" + px(width) + "v" + px(height) + "h" +
                    px(-width) + "Z";
        };
        box(range, c.delayLow, c.delayHigh);
        box(jitter, c.delayMean - c.jitter, c.delayMean + c.jitter);
        mean += (joined ? "L" : "M") + px(left) + " " + px(delayY(c.delayMean)) + "H" +
                px(left + width);
        joined = true;
    }
    svg_.raw(std::string("<path fill=\"") + kDelayBandColour + "\" d=\"" + range + "\"/>\n");
    svg_.raw(std::string("<path fill=\"") + kJitterColour + "\" d=\"" + jitter + "\"/>\n");
    svg_.raw(std::string("<path fill=\"none\" stroke=\"") + kDelayColour +
             "\" stroke-width=\"1.2\" d=\"" + mean + "\"/>\n");
}

void Picture::legend()
{
    constexpr double y = 662;
    double at = kLeft;
    const auto item = [&](const std::string& swatch, const std::string& text) {
        svg_.raw(swatch);
        svg_.text(at + 26, y + 4, text);
        at += 26 + 7.0 * static_cast<double>(text.size()) + 30;
    };
    const std::string per = columnSeconds_ > 0 ? "per " + durationText(columnSeconds_) : "";
    item("<line x1=\"" + px(at) + "\" y1=\"" + px(y) + "\" x2=\"" + px(at + 20) + "\" y2=\"" +
             px(y) + "\" stroke=\"" + kRateColour + "\" stroke-width=\"2\"/>\n",
         columnSeconds_ > 0 ? "Mean rate " + per : std::string("Rate per interval"));
    if (columnSeconds_ > 0)
        item("<rect x=\"" + px(at) + "\" y=\"" + px(y - 6) +
                 "\" width=\"20\" height=\"12\" fill=\"" + kBandColour + "\"/>\n",
             "Lowest to highest interval");
    item("<rect x=\"" + px(at + 6) + "\" y=\"" + px(y - 6) +
             "\" width=\"8\" height=\"12\" fill=\"" + kLostColour + "\"/>\n",
         columnSeconds_ > 0 ? "Datagrams lost " + per : std::string("Datagrams lost per interval"));
    if (!shades_.empty())
        item("<rect x=\"" + px(at) + "\" y=\"" + px(y - 6) +
                 "\" width=\"20\" height=\"12\" fill-opacity=\"0.3\" fill=\"" + kOutageColour +
                 "\"/>\n",
             run_.groups.size() > 1 ? "Outage: groups silent, darker for more groups"
                                    : "Outage: no datagrams for longer than the threshold");
    if (!delays_)
        return;
    // The delay's keys on a line of their own.
    at = kLeft;
    constexpr double below = 684;
    const auto swatch = [&](const char* colour) {
        return "<rect x=\"" + px(at) + "\" y=\"" + px(below - 6) +
               "\" width=\"20\" height=\"12\" fill=\"" + colour + "\"/>\n";
    };
    const auto delayItem = [&](const std::string& mark, const std::string& text) {
        svg_.raw(mark);
        svg_.text(at + 26, below + 4, text);
        at += 26 + 7.0 * static_cast<double>(text.size()) + 30;
    };
    delayItem("<line x1=\"" + px(at) + "\" y1=\"" + px(below) + "\" x2=\"" + px(at + 20) +
                  "\" y2=\"" + px(below) + "\" stroke=\"" + kDelayColour +
                  "\" stroke-width=\"2\"/>\n",
              "Mean one-way delay");
    delayItem(swatch(kJitterColour), "Jitter about the mean");
    delayItem(swatch(kDelayBandColour), "Least to most delay");
}

}   // namespace

void PlotPoint::merge(const PlotPoint& other)
{
    if (other.count == 0)
        return;
    if (count == 0) {
        *this = other;
        return;
    }
    from = std::min(from, other.from);
    to = std::max(to, other.to);
    weighted += other.weighted;
    seconds += other.seconds;
    plain += other.plain;
    count += other.count;
    low = std::min(low, other.low);
    high = std::max(high, other.high);
    lost += other.lost;
    if (other.stamped != 0) {
        delayLow = stamped != 0 ? std::min(delayLow, other.delayLow) : other.delayLow;
        delayHigh = stamped != 0 ? std::max(delayHigh, other.delayHigh) : other.delayHigh;
        jitter = std::max(jitter, other.jitter);
        delaySum += other.delaySum;
        stamped += other.stamped;
    }
}

template <typename Item>
void TimeSlots<Item>::add(Item item)
{
    if (slotSeconds_ > 0)
        item.slot = static_cast<std::int64_t>(item.place() / slotSeconds_);
    auto at = items_.end();
    while (at != items_.begin() && std::prev(at)->order() > item.order())
        --at;
    if (slotSeconds_ > 0 && at != items_.begin() && std::prev(at)->slot == item.slot) {
        std::prev(at)->merge(item);
        return;
    }
    items_.insert(at, item);
    if (items_.size() > kPlotPoints)
        coarsen();
}

template <typename Item>
void TimeSlots<Item>::coarsen()
{
    if (slotSeconds_ == 0) {
        // The first time: slots that halve the items at least.
        const double span = std::max(items_.back().order(), 1e-9);
        slotSeconds_ = std::exp2(std::ceil(std::log2(2 * span / static_cast<double>(kPlotPoints))));
        for (Item& item : items_)
            item.slot = static_cast<std::int64_t>(item.place() / slotSeconds_);
    } else {
        slotSeconds_ *= 2;
        for (Item& item : items_)
            item.slot /= 2;
    }
    // Neighbours in one slot become one item.
    std::vector<Item> merged;
    merged.reserve(items_.size() / 2 + 1);
    for (const Item& item : items_) {
        if (!merged.empty() && merged.back().slot == item.slot)
            merged.back().merge(item);
        else
            merged.push_back(item);
    }
    items_ = std::move(merged);
    if (items_.size() > kPlotPoints / 2)
        coarsen();
}

template class TimeSlots<PlotPoint>;
template class TimeSlots<PlotSilence>;

void PlotSeries::add(PlotInterval interval)
{
    if (!std::isfinite(interval.endSeconds) || !std::isfinite(interval.lengthSeconds) ||
        interval.endSeconds < 0)
        return;
    if (!std::isfinite(interval.kbps) || interval.kbps < 0)
        interval.kbps = 0;
    interval.lengthSeconds = std::clamp(interval.lengthSeconds, 0.0, interval.endSeconds);
    ++intervals_;
    PlotPoint point{interval.endSeconds - interval.lengthSeconds,
                    interval.endSeconds,
                    interval.kbps * interval.lengthSeconds,
                    interval.lengthSeconds,
                    interval.kbps,
                    1,
                    interval.kbps,
                    interval.kbps,
                    interval.lost,
                    0};
    const bool delays = interval.stamped != 0 && std::isfinite(interval.delayMin) &&
                        std::isfinite(interval.delayMean) && std::isfinite(interval.delayMax) &&
                        std::isfinite(interval.jitter);
    if (delays) {
        point.stamped = interval.stamped;
        point.delayLow = interval.delayMin;
        point.delaySum = interval.delayMean * static_cast<double>(interval.stamped);
        point.delayHigh = interval.delayMax;
        point.jitter = std::max(interval.jitter, 0.0);
    }
    points_.add(point);
}

void PlotSilence::merge(const PlotSilence& other)
{
    if (other.count == 0)
        return;
    if (count == 0) {
        *this = other;
        return;
    }
    const bool overlap = other.from < to && from < other.to;
    silent = overlap ? silent + other.silent : std::max(silent, other.silent);
    from = std::min(from, other.from);
    to = std::max(to, other.to);
    count += other.count;
    lost += other.lost;
    longest = std::max(longest, other.longest);
}

void PlotOutages::add(const PlotOutage& outage)
{
    if (!std::isfinite(outage.startSeconds) || !std::isfinite(outage.lengthSeconds))
        return;
    const double length = std::max(outage.lengthSeconds, 0.0);
    const double from = std::max(outage.startSeconds, 0.0);
    // An outage is told when it ends, so a long one comes after shorter ones
    // that began later.
    silences_.add(
        {from, std::max(from, outage.startSeconds + length), 1, outage.lost, length, 1, 0});
}

std::string runPlotSvg(const RunPlot& run)
{
    return Picture(run).svg();
}
