#include "report/receive_lines.h"

#include "core/group_list.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

TEST(ReceiveLines, AnIntervalOfTwoSendersInBothForms)
{
    ReceiveInterval interval;
    interval.startMs = 1000;
    interval.endMs = 2000;
    interval.interval = {64, 8000, 2, 1, 1, 62, 1000, 125, 1990};
    interval.total = {128, 16000, 4, 1, 1, 124, 10, 125, 1990};
    interval.overflowedTotal = 3;
    interval.senders = {{{IpAddress::v4(0x0a000001), 9000}, interval.interval, interval.total},
                        {{IpAddress::v4(0x0a000002), 9000}, {}, {}}};
    EXPECT_EQ(intervalLine(interval), "64.0 kbit/s  lost 2  total 128, lost 4 (3.12%)");
    std::string json;
    for (const JsonField& f : intervalFields(interval))
        json += std::string(f.key) + "=" + f.value + ";";
    EXPECT_NE(json.find("interval=1.000;kbps=64.000;datagrams=64;bytes=8000;lost=2;loss_pct=3.125;"
                        "late=1;repeated=1;overflowed=0;total_kbps=64.141;total_datagrams=128;"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("senders=[{\"from\":\"10.0.0.1\",\"kbps\":64.000,\"datagrams\":64,"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"from\":\"10.0.0.2\",\"kbps\":0.000,\"datagrams\":0,"),
              std::string::npos)
        << json;
}

// Streams evicted from the sequence tracker are named once there are any,
// for a loss of 0 says nothing of them.
TEST(ReceiveLines, EvictedStreamsShowOnceThereAreAny)
{
    for (std::uint64_t evicted : {0U, 7U}) {
        SCOPED_TRACE(evicted);
        ReceiveInterval interval;
        interval.endMs = 1000;
        interval.evicted = evicted / 7;
        interval.evictedTotal = evicted;
        const std::string line = intervalLine(interval);
        EXPECT_EQ(line.ends_with("(0.00%)  evicted 7"), evicted != 0) << line;
        std::string json;
        for (const JsonField& f : intervalFields(interval))
            json += std::string(f.key) + "=" + f.value + ";";
        EXPECT_EQ(json.find("evicted=1;total_evicted=7;") != std::string::npos, evicted != 0)
            << json;
        EXPECT_EQ(json.find("evicted") != std::string::npos, evicted != 0) << json;
    }
}

// The group keys of the interval's objects, in order.
std::vector<std::string> groupKeys(const ReceiveInterval& interval)
{
    std::vector<std::string> keys;
    for (const std::vector<JsonField>& object : intervalObjects(interval))
        for (const JsonField& f : object)
            if (f.key == "group")
                keys.push_back(f.value);
    return keys;
}

GroupFigures groupOf(std::uint32_t last, std::uint64_t datagrams, std::int64_t lost = 0,
                     std::uint64_t outages = 0)
{
    GroupFigures g{IpAddress::v4(0xef010100 + last), {}, {}, outages, outages, datagrams == 0};
    g.interval.datagrams = g.total.datagrams = datagrams;
    g.interval.numbered = g.total.numbered = datagrams;
    g.interval.lost = g.total.lost = lost;
    return g;
}

TEST(ReceiveLines, EachGroupInTheObjectsTheWorstNamedInTheLine)
{
    struct Case {
        std::string what;
        std::vector<GroupFigures> groups;
        std::string lineEnd;   // of the interval's lines
        std::vector<std::string> keys;
        std::vector<std::string> worstFirst;   // since the start
    };
    std::vector<Case> cases = {
        {"one group: the line as before, one object",
         {groupOf(1, 62, 2)},
         "lost 0 (0.00%)",
         {"\"239.1.1.1\""},
         {"239.1.1.1"}},
        {"three groups: the silent one first, then loss with an outage",
         {groupOf(1, 60), groupOf(2, 58, 2, 1), groupOf(3, 0)},
         "lost 0 (0.00%)\ngroups 3: 239.1.1.3 silent; 239.1.1.2 lost 2, outage",
         {"\"239.1.1.1\"", "\"239.1.1.2\"", "\"239.1.1.3\"", "\"all\""},
         {"239.1.1.3", "239.1.1.2", "239.1.1.1"}},
        {"all well in two groups",
         {groupOf(1, 60), groupOf(2, 60)},
         "lost 0 (0.00%)",
         {"\"239.1.1.1\"", "\"239.1.1.2\"", "\"all\""},
         {"239.1.1.1", "239.1.1.2"}},
    };
    Case many{"twelve silent groups: the first eight named", {}, "", {}, {}};
    for (std::uint32_t k = 1; k <= 12; ++k)
        many.groups.push_back(groupOf(k, 0));
    many.lineEnd = "groups 12: 239.1.1.1 silent; 239.1.1.2 silent; 239.1.1.3 silent;\n"
                   "  239.1.1.4 silent; 239.1.1.5 silent; 239.1.1.6 silent;\n"
                   "  239.1.1.7 silent; 239.1.1.8 silent and 4 more";
    cases.push_back(many);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReceiveInterval interval;
        interval.startMs = 1000;
        interval.endMs = 2000;
        interval.groups = c.groups;
        const std::string line = intervalLine(interval);
        EXPECT_TRUE(line.ends_with(c.lineEnd)) << line;
        if (!c.keys.empty()) {
            EXPECT_EQ(groupKeys(interval), c.keys);
        }
        std::vector<std::string> order;
        for (const GroupFigures* g : worstFirst(interval.groups, false))
            order.push_back(g->group.text());
        if (!c.worstFirst.empty()) {
            EXPECT_EQ(order, c.worstFirst);
        }
    }
}

TEST(ReceiveLines, SpeedsInTheUnitThatFitsThem)
{
    const struct {
        double kbps;
        const char* text;
    } rows[] = {
        {0, "0.00 kbit/s"},          {8, "8.00 kbit/s"},         {9.996, "10.0 kbit/s"},
        {512, "512.0 kbit/s"},       {999.96, "1.00 Mbit/s"},    {25190, "25.2 Mbit/s"},
        {999949, "999.9 Mbit/s"},    {2518942.6, "2.52 Gbit/s"}, {1e7, "10.0 Gbit/s"},
        {123456789, "123.5 Gbit/s"}, {-1, "0.00 kbit/s"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(speedText(r.kbps), r.text) << r.kbps;
}

// The counts of a flow that received datagrams and lost some of them.
FlowCounts countsOf(std::uint64_t datagrams, std::int64_t lost, std::uint64_t bytes)
{
    FlowCounts c;
    c.datagrams = c.numbered = datagrams;
    c.lost = lost;
    c.bytes = bytes;
    return c;
}

TEST(ReceiveLines, IntervalAndOutageLinesFitEightyColumnsWithLargeFigures)
{
    // A second of 10 Gbit/s after a billion datagrams, from a sender whose
    // first datagram came in it (so that it is named), one group or two,
    // with streams evicted.
    const auto sender = [](const char* text) {
        return SocketAddress{*parseIpAddress(text), 40000};
    };
    const auto group = [](const char* text, std::uint64_t datagrams, std::int64_t lost,
                          bool silent) {
        GroupFigures g{*parseIpAddress(text),
                       countsOf(datagrams, lost, datagrams * 1032),
                       countsOf(datagrams * 1000, lost * 100, datagrams * 1032'000),
                       3,
                       1,
                       silent};
        return g;
    };
    struct Case {
        const char* what;
        SocketAddress from;
        std::vector<GroupFigures> groups;
        std::string expected;   // the interval's lines, when given
    };
    const Case cases[] = {
        {"IPv4",
         sender("192.168.100.200"),
         {},
         "from 192.168.100.200\n"
         "10.0 Gbit/s  lost 123456  total 1000000000, lost 12345678 (1.22%)"},
        {"IPv6", sender("2001:db8:100::25"), {}, ""},
        {"two IPv6 groups",
         sender("2001:db8:100::25"),
         {group("ff3e::8000:1", 1211240, 123456, false), group("ff3e::8000:2", 0, 0, true)},
         ""},
        {"two IPv4 groups both losing",
         sender("10.0.0.1"),
         {group("239.100.100.101", 605620, 123456, false),
          group("239.100.100.102", 605620, 123457, false)},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReceiveInterval interval;
        interval.startMs = 3'600'000;
        interval.endMs = 3'601'000;
        interval.interval = countsOf(1'211'240, 123'456, 1'250'000'000);
        interval.total = countsOf(1'000'000'000, 12'345'678, 1'032'000'000'000);
        interval.senders = {{c.from, interval.interval, interval.interval}};
        interval.groups = c.groups;
        interval.evictedTotal = 16384;
        const IpAddress silent = c.groups.empty() ? IpAddress{} : c.groups.front().group;
        const Outage outage{c.from, 3'590'000, 3'012, 3'600'000, silent};
        const std::string text =
            intervalLine(interval) + "\n" +
            outageLine(outage, std::chrono::system_clock::now(), !c.groups.empty());
        if (!c.expected.empty()) {
            EXPECT_TRUE(text.starts_with(c.expected + "\n")) << text;
        }
        EXPECT_NE(text.find(speedText(interval.kbps())), std::string::npos) << text;
        EXPECT_NE(text.find("evicted 16384"), std::string::npos) << text;
        for (std::size_t at = 0, end = 0; end != std::string::npos; at = end + 1) {
            end = text.find('\n', at);
            const std::string line = text.substr(at, end - at);
            EXPECT_LE(line.size(), kTextWidth) << line;
        }
        // Every group that went wrong is named, however the lines wrap.
        for (const GroupFigures& g : c.groups)
            EXPECT_NE(text.find(g.group.text() + (g.silent ? " silent" : " lost")),
                      std::string::npos)
                << text;
    }
}

}   // namespace

namespace {

// --max-loss judges the totals and, in a run of several groups, each group:
// those above the limit are named worst first, eight at most.
TEST(ReceiveLines, TheLossLimitNamesEveryGroupThatBrokeIt)
{
    ReceiveInterval one;
    one.total = countsOf(99, 1, 0);   // 1.00 %
    one.groups = {groupOf(1, 99, 1)};
    EXPECT_EQ(lossAboveLimitText(one, 1.0), "");
    EXPECT_EQ(lossAboveLimitText(one, 0.5), "loss 1.00% is above --max-loss 0.50%");

    // Ten groups of 100 expected, lost 0 to 9; 45 of 1000 in all (4.50 %).
    ReceiveInterval many;
    many.total = countsOf(955, 45, 0);
    for (std::uint32_t g = 0; g < 10; ++g)
        many.groups.push_back(groupOf(g, 100 - g, g));
    EXPECT_EQ(lossAboveLimitText(many, 5.0),
              "4 groups lost more than --max-loss 5.00%: 239.1.1.9 9.00%, 239.1.1.8 8.00%, "
              "239.1.1.7 7.00%, 239.1.1.6 6.00%");
    EXPECT_EQ(lossAboveLimitText(many, 0.5),
              "loss 4.50% is above --max-loss 0.50%; 9 groups lost more than --max-loss 0.50%: "
              "239.1.1.9 9.00%, 239.1.1.8 8.00%, 239.1.1.7 7.00%, 239.1.1.6 6.00%, "
              "239.1.1.5 5.00%, 239.1.1.4 4.00%, 239.1.1.3 3.00%, 239.1.1.2 2.00% and 1 more");
    EXPECT_EQ(lossAboveLimitText(many, 9.0), "");
}

// The hop limits in words: the routers crossed from the default TTL where
// that can be so, a range and route changes where there were, nothing for a
// sender that never said; the route change line; and the JSON fields.
TEST(ReceiveLines, HopLimitsSayTheRoutersCrossedAndRouteChanges)
{
    ReceiveInterval interval;
    interval.endMs = 1000;
    auto sender = [](std::uint32_t host, HopCounts hops) {
        SenderFigures s{{IpAddress::v4(host), 9000}, {}, {}, {}, {}};
        s.intervalQuality.hops = hops;
        s.totalQuality.hops = hops;
        return s;
    };
    interval.senders = {sender(0x0a000001, {19, 19, 19, 0}),
                        sender(0x0a000002, {20, 20, 20, 0}),
                        sender(0x0a000003, {17, 17, 18, 1}),
                        sender(0x0a000004, {64, 64, 64, 0}),
                        sender(0x0a000005, {}),
                        sender(0x0a000006, {1, 1, 20, 3})};
    EXPECT_EQ(
        qualityLines(interval),
        (std::vector<std::string>{
            "10.0.0.1  ttl 19 (1 router from ttl 20)", "10.0.0.2  ttl 20 (0 routers from ttl 20)",
            "10.0.0.3  ttl 17-18 (3 routers from ttl 20), 1 route change", "10.0.0.4  ttl 64",
            "10.0.0.6  ttl 1-20 (19 routers from ttl 20), 3 route changes"}));

    const RouteChange change{{IpAddress::v4(0x0a000001), 9000}, 19, 18, IpAddress::v4(0xef010101)};
    EXPECT_EQ(routeLine(change), "route: 10.0.0.1 ttl 19 -> 18 (2 routers from ttl 20)");
    std::string json;
    for (const JsonField& f : routeFields(change))
        json += std::string(f.key) + "=" + f.value + ";";
    EXPECT_EQ(json, "type=\"route\";event=\"route\";group=\"239.1.1.1\";from=\"10.0.0.1\";"
                    "ttl_before=19;ttl=18;");

    json.clear();
    for (const JsonField& f : intervalFields(interval))
        json += std::string(f.key) + "=" + f.value + ";";
    EXPECT_NE(json.find("\"ttl\":17,\"ttl_min\":17,\"ttl_max\":18,\"route_changes\":1"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"ttl\":null,\"ttl_min\":null,\"ttl_max\":null,\"route_changes\":0"),
              std::string::npos)
        << json;
    const std::string summary = summaryText({}, interval, false, {});
    EXPECT_NE(summary.find("total  10.0.0.3  ttl 17-18 (3 routers from ttl 20), 1 route change"),
              std::string::npos)
        << summary;
}

}   // namespace

namespace {

// The loss pattern in words, after the hop limit while the line has room,
// and in the JSON of each sender, of the interval's totals and the summary.
TEST(ReceiveLines, LossPatternInWordsAndFields)
{
    ReceiveInterval interval;
    interval.endMs = 1000;
    SenderFigures s{{IpAddress::v4(0x0a000001), 9000}, {}, {}, {}, {}};
    s.intervalQuality.hops = {19, 19, 19, 0};
    s.intervalQuality.losses = {2, 10, 20, 24, 1, 1000, 3};
    s.totalQuality = s.intervalQuality;
    interval.senders = {s};
    interval.losses = s.intervalQuality.losses;
    interval.totalLosses = s.totalQuality.losses;
    EXPECT_EQ(
        qualityLines(interval),
        (std::vector<std::string>{"10.0.0.1  ttl 19 (1 router from ttl 20)",
                                  "  bursts 2, longest 10, density 83.33%, gap 0.10%  reorder 3"}));
    std::string json;
    for (const JsonField& f : intervalFields(interval))
        json += std::string(f.key) + "=" + f.value + ";";
    EXPECT_NE(json.find("bursts=2;burst_longest=10;burst_density=83.333;gap_density=0.102;"
                        "reorder_extent=3;total_bursts=2;"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"route_changes\":0,\"bursts\":2,\"burst_longest\":10,"),
              std::string::npos)
        << json;
    json.clear();
    for (const JsonField& f : summaryFields({}, interval, false, {}))
        json += std::string(f.key) + "=" + f.value + ";";
    EXPECT_NE(json.find("bursts=2;burst_longest=10;"), std::string::npos) << json;
    EXPECT_NE(summaryText({}, interval, false, {}).find("\ntotal    bursts 2, longest 10"),
              std::string::npos);
}

}   // namespace

namespace {

// The arrival times' figures: in words once known, each part only once it
// is; in JSON null until known, for each sender, the interval's senders
// together and the summary.
TEST(ReceiveLines, DelayFactorLossRateAndGapInWordsAndFields)
{
    const struct {
        const char* what;
        ArrivalCounts arrivals;
        std::vector<std::string> lines;
        const char* json;
    } cases[] = {
        {"nothing known yet",
         {},
         {},
         "\"delay_factor\":null,\"loss_rate\":0.000,\"largest_gap\":null"},
        {"one gap, no rate yet",
         {false, 0, 1, 1'500'000, 0},
         {"10.0.0.1  largest gap 1.50 ms"},
         "\"delay_factor\":null,\"loss_rate\":0.000,\"largest_gap\":1.500"},
        {"all of them",
         {true, 20'314'000, 99, 19'840'000, 4.5},
         {"10.0.0.1  df 20.31 ms, mlr 4.50/s, largest gap 19.84 ms"},
         "\"delay_factor\":20.314,\"loss_rate\":4.500,\"largest_gap\":19.840"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ReceiveInterval interval;
        interval.endMs = 1000;
        SenderFigures s{{IpAddress::v4(0x0a000001), 9000}, {}, {}, {}, {}};
        s.intervalQuality.arrivals = c.arrivals;
        s.totalQuality.arrivals = c.arrivals;
        interval.senders = {s};
        interval.arrivals = c.arrivals;
        interval.totalArrivals = c.arrivals;
        EXPECT_EQ(qualityLines(interval), c.lines);
        std::string json;
        for (const JsonField& f : intervalFields(interval))
            json += std::string(f.key) + "=" + f.value + ";";
        EXPECT_NE(json.find(c.json), std::string::npos) << json;
        const std::string totals =
            std::regex_replace(c.json, std::regex("\"([a-z_]+)\":"), "\"total_$1\":");
        EXPECT_NE(json.find(totals), std::string::npos) << json;
        json.clear();
        for (const JsonField& f : summaryFields({}, interval, false, {}))
            json += std::string(f.key) + "=" + f.value + ";";
        EXPECT_NE(
            json.find(std::string("delay_factor=") + (c.arrivals.rated ? "20.314;" : "null;")),
            std::string::npos)
            << json;
    }
}

}   // namespace
