#include "report/metrics_text.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;   // unescaped
    std::string value;
};

// Takes the text of a quoted label value from at (just past the opening
// quote) up to its closing quote, undoing the three escapes; false on any
// other escape or a missing quote.
bool labelValue(const std::string& line, std::size_t& at, std::string& value)
{
    while (at < line.size()) {
        const char c = line[at++];
        if (c == '"')
            return true;
        if (c != '\\') {
            value += c;
            continue;
        }
        if (at == line.size())
            return false;
        const char escaped = line[at++];
        if (escaped == '\\' || escaped == '"')
            value += escaped;
        else if (escaped == 'n')
            value += '\n';
        else
            return false;
    }
    return false;
}

// Appends the samples of text, read by the exposition format's grammar (0.0.4); a
// line outside it, a family without HELP and TYPE before its samples, a family
// split in two or a missing last newline fails the test.
void parseExposition(const std::string& text, std::vector<Sample>& samples)
{
    static const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) ((?:[^\\\n]|\\[\\n])*))");
    static const std::regex type(
        R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped))");
    static const std::regex name(R"([a-zA-Z_:][a-zA-Z0-9_:]*)");
    static const std::regex labelName(R"([a-zA-Z_][a-zA-Z0-9_]*)");
    static const std::regex value(R"([-+]?(\d+(\.\d*)?|\.\d+)([eE][-+]?\d+)?|[-+]?Inf|NaN)");

    EXPECT_TRUE(!text.empty() && text.back() == '\n');
    std::set<std::string> helped, typed, finished;
    std::string current;
    std::istringstream lines(text);
    std::string line;
    std::smatch match;
    while (std::getline(lines, line)) {
        SCOPED_TRACE(line);
        if (std::regex_match(line, match, help)) {
            EXPECT_TRUE(helped.insert(match[1]).second) << "second HELP";
            continue;
        }
        if (std::regex_match(line, match, type)) {
            EXPECT_TRUE(typed.insert(match[1]).second) << "second TYPE";
            // A counter may never go down; what may is a gauge.
            EXPECT_EQ(match[2], std::string(match[1]).ends_with("_total") ? "counter" : "gauge");
            continue;
        }
        ASSERT_NE(line.rfind('#', 0), 0u) << "not a HELP or TYPE line";

        Sample sample;
        const std::size_t nameEnd = line.find_first_of("{ ");
        ASSERT_NE(nameEnd, std::string::npos);
        sample.name = line.substr(0, nameEnd);
        EXPECT_TRUE(std::regex_match(sample.name, name));
        std::size_t at = nameEnd;
        if (line[at] == '{') {
            ++at;
            while (at < line.size() && line[at] != '}') {
                const std::size_t equals = line.find('=', at);
                ASSERT_NE(equals, std::string::npos);
                const std::string label = line.substr(at, equals - at);
                EXPECT_TRUE(std::regex_match(label, labelName)) << label;
                ASSERT_TRUE(equals + 1 < line.size() && line[equals + 1] == '"');
                at = equals + 2;
                std::string unescaped;
                ASSERT_TRUE(labelValue(line, at, unescaped));
                EXPECT_TRUE(sample.labels.emplace(label, unescaped).second) << "second " << label;
                if (at < line.size() && line[at] == ',')
                    ++at;
            }
            ASSERT_LT(at, line.size());
            ++at;
        }
        ASSERT_TRUE(at < line.size() && line[at] == ' ');
        sample.value = line.substr(at + 1);
        EXPECT_TRUE(std::regex_match(sample.value, value)) << "value, and no time stamp";

        EXPECT_TRUE(helped.count(sample.name) && typed.count(sample.name)) << "HELP, TYPE first";
        if (sample.name != current) {
            EXPECT_TRUE(finished.insert(sample.name).second) << "family split";
            current = sample.name;
        }
        samples.push_back(sample);
    }
}

// "name sender" -> value, sender empty for samples without one.
std::map<std::string, std::string> valuesOf(const std::vector<Sample>& samples)
{
    std::map<std::string, std::string> values;
    for (const Sample& sample : samples) {
        const auto sender = sample.labels.find("sender");
        values[sample.name + " " + (sender == sample.labels.end() ? "" : sender->second)] =
            sample.value;
    }
    return values;
}

TEST(MetricsText, CountersPerSenderWithOwnDrops)
{
    const MetricsTotals two{
        "224.1.1.1",
        9000,
        {{"10.0.0.1", 123, 126936, 3, 1, 1, 64000, 0.25}, {"10.0.0.2", 50, 51600, 0, 0, 0, 0, 12}},
        7};
    std::vector<Sample> samples;
    ASSERT_NO_FATAL_FAILURE(parseExposition(metricsText(two), samples));
    ASSERT_EQ(samples.size(), 23u);
    for (const Sample& sample : samples) {
        EXPECT_EQ(sample.labels.at("group"), "224.1.1.1");
        EXPECT_EQ(sample.labels.at("port"), "9000");
        EXPECT_EQ(sample.labels.size(), sample.name == "kestil_own_drops_total" ? 2u : 3u);
    }
    const std::map<std::string, std::string> expected{
        {"kestil_datagrams_total 10.0.0.1", "123"},
        {"kestil_datagrams_total 10.0.0.2", "50"},
        {"kestil_bytes_total 10.0.0.1", "126936"},
        {"kestil_bytes_total 10.0.0.2", "51600"},
        {"kestil_missing_total 10.0.0.1", "3"},
        {"kestil_missing_total 10.0.0.2", "0"},
        {"kestil_recovered_total 10.0.0.1", "1"},
        {"kestil_recovered_total 10.0.0.2", "0"},
        {"kestil_lost 10.0.0.1", "2"},
        {"kestil_lost 10.0.0.2", "0"},
        {"kestil_outages_total 10.0.0.1", "1"},
        {"kestil_outages_total 10.0.0.2", "0"},
        {"kestil_rate_bytes_per_second 10.0.0.1", "64000.000"},
        {"kestil_rate_bytes_per_second 10.0.0.2", "0.000"},
        {"kestil_silence_seconds 10.0.0.1", "0.250"},
        {"kestil_silence_seconds 10.0.0.2", "12.000"},
        {"kestil_loss_bursts_total 10.0.0.1", "0"},
        {"kestil_loss_bursts_total 10.0.0.2", "0"},
        {"kestil_burst_lost_total 10.0.0.1", "0"},
        {"kestil_burst_lost_total 10.0.0.2", "0"},
        {"kestil_media_loss_rate 10.0.0.1", "0.000000"},
        {"kestil_media_loss_rate 10.0.0.2", "0.000000"},
        {"kestil_own_drops_total ", "7"},
    };
    EXPECT_EQ(valuesOf(samples), expected);
    EXPECT_NE(metricsText(two).find("kestil_datagrams_total{group=\"224.1.1.1\",port=\"9000\","
                                    "sender=\"10.0.0.1\"} 123\n"),
              std::string::npos);
}

// A flow's figures from the meter's counts: the counters since the start,
// the rate of the interval and the silence at its end.
TEST(MetricsText, AFlowsFiguresComeFromItsCounts)
{
    FlowCounts interval;
    interval.bytes = 5000;
    FlowCounts total;
    total.datagrams = 40;
    total.bytes = 41280;
    total.missing = 6;
    total.recovered = 2;
    total.lastMs = 9750;
    const MetricsFlow flow = metricsFlow("10.0.0.1", interval, total, 3, 9500, 10000);
    EXPECT_EQ(flow.datagrams, 40u);
    EXPECT_EQ(flow.missing, 6u);
    EXPECT_EQ(flow.recovered, 2u);
    EXPECT_EQ(flow.outages, 3u);
    EXPECT_DOUBLE_EQ(flow.bytesPerSecond, 10000);
    EXPECT_DOUBLE_EQ(flow.silentSeconds, 0.25);
    // Nothing yet: silent since the start.
    EXPECT_DOUBLE_EQ(metricsFlow("x", {}, {}, 0, 0, 4000).silentSeconds, 4);
}

// Where the monitoring system's own checker is installed, it finds nothing
// to complain of in a run of several groups.
TEST(MetricsText, TheMonitoringSystemsCheckerTakesIt)
{
    if (std::system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool is not installed (Debian's prometheus package has it)";
    MetricsTotals run{
        "all",
        9000,
        {{"10.0.0.1", 300, 30000, 5, 5, 0, 100, 0}},
        2,
        {{"239.1.1.1", 100, 10000, 0, 0, 0, 50, 0.5}, {"239.1.1.2", 200, 20000, 5, 5, 1, 50, 0}}};
    // With every figure of how a sender's datagrams arrived.
    run.senders.push_back({"10.0.0.2", 10, 100,  0,     0,     0,     0,    0,    1,    19,  2,
                           7,          10, 0.02, 0.021, 0.025, 0.001, true, 0.03, true, 0.05});
    TempDir dir;
    const std::string name = dir.file("run.prom");
    std::ofstream(name) << metricsText(run);
    const std::string out = dir.file("check.txt");
    EXPECT_EQ(std::system(("promtool check metrics < " + name + " > " + out + " 2>&1").c_str()), 0)
        << TempDir::contents(out);
    EXPECT_EQ(TempDir::contents(out), "") << "lint findings";
}

TEST(MetricsText, ARunOfSeveralGroupsCountsEachGroupAndItsOutages)
{
    const MetricsTotals run{"all",
                            9000,
                            {{"10.0.0.1", 300, 30000, 5, 0, 0}},
                            2,
                            {{"239.1.1.1", 100, 10000, 0, 0, 0},
                             {"239.1.1.2", 100, 10000, 5, 0, 1},
                             {"239.1.1.3", 100, 10000, 0, 0, 0}}};
    std::vector<Sample> samples;
    ASSERT_NO_FATAL_FAILURE(parseExposition(metricsText(run), samples));
    std::map<std::string, std::string> groups;   // "name group" -> value
    for (const Sample& sample : samples) {
        // The sender's own outages would always read 0: the groups' count.
        EXPECT_NE(sample.name, "kestil_outages_total");
        if (!sample.name.starts_with("kestil_group_"))
            continue;
        EXPECT_EQ(sample.labels.size(), 2u);
        EXPECT_EQ(sample.labels.at("port"), "9000");
        groups[sample.name + " " + sample.labels.at("group")] = sample.value;
    }
    EXPECT_EQ(groups.size(), 24u);
    EXPECT_EQ(groups["kestil_group_datagrams_total 239.1.1.3"], "100");
    EXPECT_EQ(groups["kestil_group_missing_total 239.1.1.2"], "5");
    EXPECT_EQ(groups["kestil_group_lost 239.1.1.2"], "5");
    EXPECT_EQ(groups["kestil_group_outages_total 239.1.1.2"], "1");
    EXPECT_EQ(groups["kestil_group_outages_total 239.1.1.1"], "0");
}

TEST(MetricsText, StaysReadableForAnyInput)
{
    const struct {
        const char* what;
        MetricsTotals totals;
        std::map<std::string, std::string> values;
    } cases[] = {
        {"no sender yet", {"224.1.1.1", 9000, {}, 3}, {{"kestil_own_drops_total ", "3"}}},
        {"a sender named twice",
         {"224.1.1.1",
          9000,
          {{"10.0.0.1", 1, 10, 0, 0, 0, 10, 5}, {"10.0.0.1", 2, 20, 1, 3, 1, 20, 1}},
          0},
         {{"kestil_datagrams_total 10.0.0.1", "3"},
          {"kestil_bytes_total 10.0.0.1", "30"},
          {"kestil_missing_total 10.0.0.1", "1"},
          {"kestil_recovered_total 10.0.0.1", "3"},
          {"kestil_lost 10.0.0.1", "-2"},
          {"kestil_outages_total 10.0.0.1", "1"},
          {"kestil_rate_bytes_per_second 10.0.0.1", "30.000"},
          {"kestil_silence_seconds 10.0.0.1", "1.000"},
          {"kestil_loss_bursts_total 10.0.0.1", "0"},
          {"kestil_burst_lost_total 10.0.0.1", "0"},
          {"kestil_media_loss_rate 10.0.0.1", "0.000000"},
          {"kestil_own_drops_total ", "0"}}},
        {"texts to escape",
         {"a\"b\\c\nd}", 1, {{"x\\\"\n,y=\"z", 18446744073709551615u}}, 0},
         {{"kestil_datagrams_total x\\\"\n,y=\"z", "18446744073709551615"},
          {"kestil_bytes_total x\\\"\n,y=\"z", "0"},
          {"kestil_missing_total x\\\"\n,y=\"z", "0"},
          {"kestil_recovered_total x\\\"\n,y=\"z", "0"},
          {"kestil_lost x\\\"\n,y=\"z", "0"},
          {"kestil_outages_total x\\\"\n,y=\"z", "0"},
          {"kestil_rate_bytes_per_second x\\\"\n,y=\"z", "0.000"},
          {"kestil_silence_seconds x\\\"\n,y=\"z", "0.000"},
          {"kestil_loss_bursts_total x\\\"\n,y=\"z", "0"},
          {"kestil_burst_lost_total x\\\"\n,y=\"z", "0"},
          {"kestil_media_loss_rate x\\\"\n,y=\"z", "0.000000"},
          {"kestil_own_drops_total ", "0"}}},
        {"the links watched",
         {"224.1.1.1", 9000, {}, 0, {}, true, 1796745600.25, 42},
         {{"kestil_own_drops_total ", "0"},
          {"kestil_querier_last_heard_timestamp_seconds ", "1796745600.250"},
          {"kestil_link_unreceived_total ", "42"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Sample> samples;
        ASSERT_NO_FATAL_FAILURE(parseExposition(metricsText(c.totals), samples));
        EXPECT_EQ(valuesOf(samples), c.values);
        for (const Sample& sample : samples)
            EXPECT_EQ(sample.labels.at("group"), c.totals.group);
    }
}

}   // namespace

namespace {

// The route changes and the latest hop limit, only of the senders whose
// datagrams said it; a sender named twice counts its changes together.
TEST(MetricsText, HopLimitsOfTheSendersThatSaidThem)
{
    const MetricsTotals totals{"224.1.1.1",
                               9000,
                               {{"10.0.0.1", 10, 100, 0, 0, 0, 0, 0, 2, 18},
                                {"10.0.0.2", 5, 50, 0, 0, 0, 0, 0, 0, -1},
                                {"10.0.0.1", 1, 10, 0, 0, 0, 0, 0, 1, -1}},
                               0};
    const std::string text = metricsText(totals);
    std::vector<Sample> samples;
    ASSERT_NO_FATAL_FAILURE(parseExposition(text, samples));
    const std::map<std::string, std::string> values = valuesOf(samples);
    EXPECT_EQ(values.at("kestil_route_changes_total 10.0.0.1"), "3");
    EXPECT_EQ(values.at("kestil_ttl 10.0.0.1"), "18");
    EXPECT_EQ(values.count("kestil_ttl 10.0.0.2"), 0u);
    EXPECT_EQ(values.count("kestil_route_changes_total 10.0.0.2"), 0u);
    EXPECT_NE(text.find("# TYPE kestil_ttl gauge\n"), std::string::npos) << text;
}

}   // namespace

namespace {

// Delays, jitter, delay factor and gaps only of the senders that have them
// in the interval, in seconds, and the loss pattern's gauges only of those
// that lost or reordered; bursts and loss rate of every sender; a sender named twice
// with its least and most delays, their mean by datagrams, the higher of
// the rest.
TEST(MetricsText, HowTheSendersDatagramsArrived)
{
    const MetricsTotals totals{
        "224.1.1.1",
        9000,
        {{"10.0.0.1", 10,    100,  0,     0,    0,     0,    0,    0, 19,  1,    3, 3,
          0.020,      0.022, 0.03, 0.001, true, 0.015, true, 0.04, 5, 0.5, 0.01, 0, 2.5},
         {"10.0.0.2", 5, 50, 0, 0, 0, 0, 0, 0, -1},
         {"10.0.0.1", 1,     10,    0,     0,     0, 0,    0,   0, -1,   2,    4, 1,
          0.010,      0.010, 0.010, 0.002, false, 0, true, 0.5, 2, 0.25, 0.02, 7, 1.5}},
        0};
    std::vector<Sample> samples;
    ASSERT_NO_FATAL_FAILURE(parseExposition(metricsText(totals), samples));
    std::map<std::string, std::string> values = valuesOf(samples);
    const std::map<std::string, std::string> expected{
        {"kestil_loss_bursts_total 10.0.0.1", "3"},
        {"kestil_loss_bursts_total 10.0.0.2", "0"},
        {"kestil_burst_lost_total 10.0.0.1", "7"},
        {"kestil_burst_lost_total 10.0.0.2", "0"},
        {"kestil_delay_min_seconds 10.0.0.1", "0.010000"},
        {"kestil_delay_mean_seconds 10.0.0.1", "0.019000"},
        {"kestil_delay_max_seconds 10.0.0.1", "0.030000"},
        {"kestil_jitter_seconds 10.0.0.1", "0.002000"},
        {"kestil_delay_factor_seconds 10.0.0.1", "0.015000"},
        {"kestil_largest_gap_seconds 10.0.0.1", "0.500000"},
        {"kestil_burst_longest 10.0.0.1", "5"},
        {"kestil_burst_density_ratio 10.0.0.1", "0.500000"},
        {"kestil_gap_density_ratio 10.0.0.1", "0.020000"},
        {"kestil_reorder_extent 10.0.0.1", "7"},
        {"kestil_media_loss_rate 10.0.0.1", "4.000000"},
        {"kestil_media_loss_rate 10.0.0.2", "0.000000"},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(values[name], value) << name;
    for (const char* none :
         {"kestil_delay_min_seconds 10.0.0.2", "kestil_jitter_seconds 10.0.0.2",
          "kestil_delay_factor_seconds 10.0.0.2", "kestil_largest_gap_seconds 10.0.0.2",
          "kestil_burst_longest 10.0.0.2", "kestil_reorder_extent 10.0.0.2"})
        EXPECT_EQ(values.count(none), 0u) << none;
}

}   // namespace
