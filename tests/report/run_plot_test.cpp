#include "report/run_plot.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// count one-second intervals at kbps, with lost datagrams in every
// lostEvery-th interval (none when 0).
RunPlot secondsOf(int count, double kbps, int lostEvery = 0)
{
    RunPlot run;
    run.title = {"224.1.1.1",
                 9000,
                 {{"10.0.0.1", 40001}, {"10.0.0.2", 40001}},
                 "2026-12-07 17:25:53",
                 "2026-12-07 17:26:03"};
    for (int i = 1; i <= count; ++i) {
        const auto lost = lostEvery > 0 && i % lostEvery == 0 ? 3u : 0u;
        run.intervals.add({static_cast<double>(i), 1.0, kbps + (i % 7) * 10, lost});
    }
    return run;
}

bool haveXmllint()
{
    return std::system("xmllint --version >/dev/null 2>&1") == 0;
}

// Whether xmllint finds the picture well-formed XML.
bool wellFormed(const std::string& svg)
{
    TempDir dir;
    const std::string path = dir.put("plot.svg", svg);
    return std::system(("xmllint --noout '" + path + "'").c_str()) == 0;
}

TEST(RunPlot, IsWellFormedSelfContainedAndSmall)
{
    if (!haveXmllint())
        GTEST_SKIP() << "xmllint is not installed (package libxml2-utils)";
    RunPlot tenSeconds = secondsOf(10, 512, 4);
    tenSeconds.outages.add({4.2, 2.5, 40});
    RunPlot day = secondsOf(86400, 40000, 97);
    for (int i = 0; i < 50; ++i)
        day.outages.add({1000.0 + i * 1700, 3.0 + i % 5, std::uint64_t{100} * i});
    RunPlot hostile = secondsOf(10, 512);
    hostile.title.group = "</text><script>alert(1)</script>&amp;\"'\x01\xff\xc3";
    hostile.title.senders = {{"<a href=\"http://x/\">", 1}, {"10.0.0.1", 2}};
    hostile.title.start = "]]><!-- ";
    // Worst first, as the receiver hands them over; the hostile one named.
    RunPlot groups = secondsOf(10, 512, 4);
    groups.groups = {{"<ff3e::1>", 12, 1}, {"239.1.1.2", 3, 0}};
    for (int i = 0; i < 998; ++i)
        groups.groups.push_back({"239.1.3." + std::to_string(i), i < 40 ? 1u : 0u, 0});
    // A day of stamped datagrams whose delays wander, below 0 at times (the
    // receiver's clock behind).
    RunPlot delays;
    for (int i = 1; i <= 86400; ++i) {
        const double mean = 20 + 30 * std::sin(i / 5000.0);
        delays.intervals.add({static_cast<double>(i), 1.0, 512, 0, 100, mean - 3, mean,
                              mean + 4 + i % 11, 0.5 + i % 3});
    }

    const struct {
        const char* what;
        RunPlot run;
    } cases[] = {
        {"10 s with an outage", tenSeconds},   {"24 h, a point a second", day},
        {"no datagrams", RunPlot{}},           {"hostile title texts", hostile},
        {"1000 groups, 42 with loss", groups}, {"24 h of delays", delays},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string svg = runPlotSvg(c.run);
        EXPECT_TRUE(wellFormed(svg));
        EXPECT_LT(svg.size(), 1'000'000u);
        EXPECT_EQ(svg.find("<script"), std::string::npos);
        EXPECT_EQ(svg.find("href=\""), std::string::npos);
        EXPECT_EQ(svg.find("url("), std::string::npos);
        EXPECT_EQ(svg.find("@import"), std::string::npos);
        EXPECT_EQ(svg.find("<image"), std::string::npos);
    }
    EXPECT_NE(runPlotSvg(RunPlot{}).find("No datagrams arrived"), std::string::npos);
    EXPECT_NE(runPlotSvg(hostile).find("&lt;/text&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;"
                                       "amp;&quot;&apos;"),
              std::string::npos);
    // The delay's panel only where datagrams carried their send time.
    const std::string delayed = runPlotSvg(delays);
    EXPECT_NE(delayed.find(">Delay, ms<"), std::string::npos);
    EXPECT_NE(delayed.find(">-50<"), std::string::npos) << "the axis below 0";
    EXPECT_EQ(runPlotSvg(tenSeconds).find(">Delay, ms<"), std::string::npos);
    const std::string marked = runPlotSvg(groups);
    EXPECT_NE(marked.find(">1000 groups 224.1.1.1, port 9000<"), std::string::npos);
    EXPECT_NE(marked.find(">Loss or outages in 42 of 1000 groups: &lt;ff3e::1&gt; 12 lost, 1 "
                          "outage; 239.1.1.2 3 lost; 239.1.3.0 1 lost;"),
              std::string::npos);
    EXPECT_NE(marked.find(" more</text>"), std::string::npos);
}

TEST(RunPlot, TimeAndRateAxesFollowTheRun)
{
    const struct {
        int seconds;
        double kbps;
        std::vector<const char*> labels;   // each shown as a text
        const char* absent;
    } cases[] = {
        {10, 512, {">0 s<", ">1 s<", ">10 s<", ">Rate, kbit/s<"}, ">11 s<"},
        {1800, 512, {">0 min<", ">5 min<", ">30 min<"}, ">35 min<"},
        {86400, 512, {">0 h<", ">3 h<", ">24 h<"}, ">27 h<"},
        {60, 45000, {">Rate, Mbit/s<", ">50<"}, ">Rate, kbit/s<"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        const std::string svg = runPlotSvg(secondsOf(c.seconds, c.kbps));
        for (const char* label : c.labels)
            EXPECT_NE(svg.find(label), std::string::npos) << label;
        EXPECT_EQ(svg.find(c.absent), std::string::npos) << c.absent;
    }
}

TEST(RunPlot, LongRunsAreDrawnInAtMostTheColumnsAllowed)
{
    const struct {
        int seconds;
        std::size_t steps;
    } cases[] = {{600, 600}, {86400, kPlotColumns}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        const std::string svg = runPlotSvg(secondsOf(c.seconds, 512, 10));
        // Found by hand: std::regex recurses per character and a day's path
        // is longer than its stack allows.
        const std::size_t element = svg.find("stroke-width=\"1.6\"");
        ASSERT_NE(element, std::string::npos);
        const std::size_t start = svg.find(" d=\"", element);
        ASSERT_LT(start, svg.find('>', element));
        const std::size_t end = svg.find('"', start + 4);
        const std::string path = svg.substr(start + 4, end - start - 4);
        EXPECT_EQ(static_cast<std::size_t>(std::count(path.begin(), path.end(), 'H')), c.steps);
        // One unbroken line: every interval follows the previous one.
        EXPECT_EQ(std::count(path.begin(), path.end(), 'M'), 1);
        // Every lost datagram is counted in the title, bucketed or not.
        EXPECT_NE(svg.find(", " + std::to_string(c.seconds / 10 * 3) + " lost,"),
                  std::string::npos);
    }
}

// The d attribute of the first element after marker.
std::string pathAfter(const std::string& svg, const std::string& marker)
{
    const std::size_t element = svg.find(marker);
    if (element == std::string::npos)
        return {};
    const std::size_t start = svg.find(" d=\"", element);
    return svg.substr(start + 4, svg.find('"', start + 4) - start - 4);
}

TEST(RunPlot, AMillionIntervalsAreKeptInBoundedPointsAndDrawnAsTheyWere)
{
    // 0.1 s each, 27.8 h in all; datagrams lost in three of them, and one
    // far faster than the rest.
    const int count = 1'000'000;
    const int lostAt[] = {123'457, 500'555, 876'543};
    RunPlot run;
    run.title = {"224.1.1.1", 9000, {{"10.0.0.1", 40001}}, "start", "end"};
    double kbpsSum = 0;
    std::size_t mostPoints = 0;
    for (int i = 1; i <= count; ++i) {
        const double kbps = i == 654'321 ? 9000 : 1000 + (i % 13) * 10;
        const bool lost = std::find(std::begin(lostAt), std::end(lostAt), i) != std::end(lostAt);
        run.intervals.add({i * 0.1, 0.1, kbps, lost ? 7u : 0u});
        kbpsSum += kbps;
        mostPoints = std::max(mostPoints, run.intervals.points().size());
    }
    run.outages.add({80'000, 3, 0});
    run.outages.add({20'000, 5, 40});
    EXPECT_LE(mostPoints, kPlotPoints);
    EXPECT_EQ(run.intervals.intervals(), static_cast<std::uint64_t>(count));

    const std::string svg = runPlotSvg(run);
    // The totals are sums over every interval, merged or not.
    EXPECT_NE(svg.find("mean " + std::to_string(std::lround(kbpsSum / count)) + ".0 kbit/s"),
              std::string::npos);
    EXPECT_NE(svg.find(", 21 lost, 2 outages<"), std::string::npos);
    EXPECT_NE(svg.find("<title>Outage at 5 h 33 min, 5.0 s long, 40 lost</title>"),
              std::string::npos);
    // The fastest interval still reaches the top of the band.
    EXPECT_NE(svg.find(">10000</text>"), std::string::npos);
    const std::string rate = pathAfter(svg, "stroke-width=\"1.6\"");
    EXPECT_EQ(std::count(rate.begin(), rate.end(), 'H'), kPlotColumns);
    // Each loss stands in the column of its interval, as unmerged intervals
    // would draw it, within half a pixel: a column is 100 s, 1.07 pixels.
    const std::string bars = pathAfter(svg, "fill=\"#c0392b\" d=");
    std::vector<double> lefts;
    for (std::size_t at = bars.find('M'); at != std::string::npos; at = bars.find('M', at + 1))
        lefts.push_back(std::stod(bars.substr(at + 1)));
    ASSERT_EQ(lefts.size(), std::size(lostAt));
    for (std::size_t i = 0; i < lefts.size(); ++i)
        EXPECT_NEAR(lefts[i], 90 + std::floor(lostAt[i] * 0.1 / 100) * 100 / 1e5 * (1156 - 90), 0.5)
            << i;
}

TEST(RunPlot, OutagesAreShadedByTheShareOfGroupsSilentAtOnce)
{
    RunPlot four = secondsOf(20, 512);
    for (int i = 0; i < 4; ++i)
        four.groups.push_back({"239.1.1." + std::to_string(i), 0, 1});
    // One group alone, then all four together, one after another.
    for (const PlotOutage& outage :
         std::vector<PlotOutage>{{2, 2, 0}, {10, 3, 0}, {10, 3, 0}, {10.5, 2, 0}, {10.5, 2.5, 0}})
        four.outages.add(outage);
    RunPlot one = secondsOf(20, 512);
    one.outages.add({5, 2, 0});
    const struct {
        const char* what;
        RunPlot run;
        std::vector<std::string> shown;
    } cases[] = {
        {"one of four, then four of four",
         four,
         {"fill-opacity=\"0.075\"><title>Outage at 2.0 s, 2.0 s long, 0 lost; at most 1 of 4 "
          "groups silent at once</title>",
          "fill-opacity=\"0.300\"><title>4 outages from 10.0 s to 13.0 s, longest 3.0 s, 0 "
          "lost; at most 4 of 4 groups silent at once</title>"}},
        {"one group", one, {"fill-opacity=\"0.300\"><title>Outage at 5.0 s, 2.0 s long"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string svg = runPlotSvg(c.run);
        for (const std::string& shown : c.shown)
            EXPECT_NE(svg.find(shown), std::string::npos) << shown;
    }
}

TEST(RunPlot, ManyOutagesAreKeptInBoundedPointsAndStillShadedByTheShareSilent)
{
    // One of 100 groups silent for a second every 10 s over the first
    // 100000 s, then all of them for 500 s.
    RunPlot run = secondsOf(200'000, 512);
    for (int i = 0; i < 100; ++i)
        run.groups.push_back({"239.1.1." + std::to_string(i), 0, 1});
    std::size_t most = 0;
    for (int i = 0; i < 10'000; ++i) {
        run.outages.add({i * 10.0, 1, 1});
        most = std::max(most, run.outages.silences().size());
    }
    for (int i = 0; i < 100; ++i)
        run.outages.add({150'000 + i * 0.001, 500, 0});
    EXPECT_LE(most, kPlotPoints);

    const std::string svg = runPlotSvg(run);
    EXPECT_NE(svg.find(" lost, 10100 outages</text>"), std::string::npos);
    EXPECT_NE(svg.find("fill-opacity=\"0.003\"><title>10000 outages from 0.0 s to 27 h 46 min, "
                       "longest 1.0 s, 10000 lost; at most 1 of 100 groups silent at once"),
              std::string::npos);
    EXPECT_NE(svg.find("fill-opacity=\"0.300\"><title>100 outages from 41 h 40 min to 41 h 48 "
                       "min, longest 8 min 20 s, 0 lost; at most 100 of 100 groups silent at once"),
              std::string::npos);
}

TEST(RunPlot, SendersAreNamedWithTheirPortsWhereOneAddressHasSeveral)
{
    const struct {
        std::vector<PlotSender> senders;
        const char* line;
    } cases[] = {
        {{{"10.66.0.1", 40001}}, ">Sender 10.66.0.1<"},
        {{{"10.66.0.1", 40001}, {"10.66.0.1", 40002}},
         ">Senders 10.66.0.1:40001, 10.66.0.1:40002<"},
        {{{"10.66.0.1", 40001}, {"10.66.0.2", 40001}}, ">Senders 10.66.0.1, 10.66.0.2<"},
        {{{"10.0.0.9", 5}, {"10.66.0.1", 1}, {"10.66.0.1", 2}},
         ">Senders 10.0.0.9, 10.66.0.1:1, 10.66.0.1:2<"},
        {{{"fe80::1", 5}, {"fe80::1", 6}}, ">Senders [fe80::1]:5, [fe80::1]:6<"},
    };
    for (const auto& c : cases) {
        RunPlot run = secondsOf(5, 512);
        run.title.senders = c.senders;
        EXPECT_NE(runPlotSvg(run).find(c.line), std::string::npos) << c.line;
    }
}

}   // namespace
