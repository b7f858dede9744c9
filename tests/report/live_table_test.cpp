#include "report/live_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr SocketAddress kA{IpAddress::v4(0x0a000001), 9000};
constexpr SocketAddress kB{IpAddress::v4(0x0a000002), 9000};

// A group of 239.1.1.<n> whose interval (1 s, ending 60 s into the run)
// counted datagrams and lost, and whose run so far totalDatagrams and
// totalLost, the latest lastMs; heard from the sender when it sent any.
GroupFigures group(unsigned n, std::uint64_t datagrams, std::int64_t lost,
                   std::uint64_t totalDatagrams, std::int64_t totalLost, std::uint64_t lastMs,
                   std::uint64_t outages = 0, const SocketAddress& from = kA)
{
    GroupFigures g;
    g.group = IpAddress::v4(0xef010100 + n);
    for (FlowCounts* counts : {&g.interval, &g.total}) {
        const bool total = counts == &g.total;
        counts->datagrams = counts->numbered = total ? totalDatagrams : datagrams;
        counts->bytes = counts->datagrams * 1032;
        counts->lost = total ? totalLost : lost;
        counts->late = total ? 3 : 0;
        counts->lastMs = lastMs;
    }
    g.outages = outages;
    g.silent = totalDatagrams == 0 || 60'000 - lastMs > 1000;
    if (totalDatagrams > 0)
        g.from = from;
    return g;
}

// Six groups, one of each kind, in the run's order 1 to 6.
ReceiveInterval sixGroups()
{
    ReceiveInterval i;
    i.startMs = 59'000;
    i.endMs = 60'000;
    i.groups = {
        group(1, 100, 0, 6000, 0, 59'990),           // flowing
        group(2, 90, 10, 5900, 10, 59'990, 0, kB),   // losing 10 %
        group(3, 0, 0, 0, 0, 0),                     // never heard
        group(4, 0, 0, 4000, 0, 40'000, 1),          // silent for 20 s
        group(5, 100, 0, 5800, 200, 59'990, 2),      // lost before
        group(6, 50, 50, 3000, 3000, 59'990),        // losing 50 %
    };
    for (GroupFigures& g : i.groups) {
        i.interval.datagrams += g.interval.datagrams;
        i.total.datagrams += g.total.datagrams;
    }
    i.senders.resize(2);
    i.senders[0].sender = kA;
    i.senders[0].totalQuality.hops.latest = 19;
    i.senders[1].sender = kB;
    return i;
}

// The shown rows' groups by their last number: "4 6 2 3 5 1".
std::string order(const LiveTable& table)
{
    std::string text;
    for (const LiveRow* row : table.shown())
        text += (text.empty() ? "" : " ") + row->group.substr(8);
    return text;
}

TEST(LiveTableTest, SortsWorstFirstOrByAColumnAndFiltersToTheProblems)
{
    struct Case {
        std::vector<LiveSort> keys;   // pressed in turn
        bool problems;
        const char* order;
    };
    const Case cases[] = {
        // Gone silent, then losing most, then never heard, then lost before.
        {{}, false, "4 6 2 3 5 1"},
        {{LiveSort::Group}, false, "1 2 3 4 5 6"},
        {{LiveSort::Group, LiveSort::Group}, false, "6 5 4 3 2 1"},
        {{LiveSort::Loss}, false, "6 2 1 3 4 5"},
        {{LiveSort::TotalLoss}, false, "6 5 2 1 3 4"},
        {{LiveSort::Heard}, false, "3 4 1 2 5 6"},
        {{LiveSort::Outages}, false, "5 4 1 2 3 6"},
        {{LiveSort::Sender}, false, "1 4 5 6 2 3"},
        {{LiveSort::Rate}, false, "1 5 2 6 3 4"},
        {{LiveSort::Rate, LiveSort::Worst}, false, "4 6 2 3 5 1"},
        {{}, true, "4 6 2 3 5"},
        {{LiveSort::Group}, true, "2 3 4 5 6"},
    };
    for (const Case& c : cases) {
        LiveTable table;
        table.update(sixGroups());
        for (const LiveSort key : c.keys)
            table.sortBy(key);
        if (c.problems)
            table.toggleProblems();
        EXPECT_EQ(order(table), c.order) << c.order;
    }
}

// At 80 columns the columns that tell a problem stay and the rest drop;
// at 200 all are there; every line takes exactly the width.
TEST(LiveTableTest, TheTextsFitTheWidthWithTheMostTellingColumns)
{
    LiveTable table;
    table.update(sixGroups());
    struct Case {
        std::size_t width;
        std::vector<std::string> lines;   // the head, then the first three rows
    };
    const Case cases[] = {
        {80,
         {"GROUP     SENDER   STATE    RATE   LOST  LOSS%    T.LOST T.LOSS% HEARD OUT TTL",
          "239.1.1.4 10.0.0.1 silent      0      0      -         0    0.00   20s   1  19",
          "239.1.1.6 10.0.0.1 losing   413k     50  50.00      3000   50.00  0.0s   0  19",
          "239.1.1.2 10.0.0.2 losing   743k     10  10.00        10    0.17  0.0s   0   -"}},
        {200,
         {"GROUP     SENDER   STATE    RATE DGRAMS   LOST  LOSS%     TOTAL    T.LOST T.LOSS%  "
          "LATE HEARD OUT TTL",
          "239.1.1.4 10.0.0.1 silent      0      0      0      -      4000         0    0.00     "
          "3   20s   1  19",
          "239.1.1.6 10.0.0.1 losing   413k     50     50  50.00      3000      3000   50.00     "
          "3  0.0s   0  19",
          "239.1.1.2 10.0.0.2 losing   743k     90     10  10.00      5900        10    0.17     "
          "3  0.0s   0   -"}},
        // Too narrow for more than the group, its state and loss.
        {24,
         {"GROUP     STATE    LOSS%", "239.1.1.4 silent       -", "239.1.1.6 losing   50.00",
          "239.1.1.2 losing   10.00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.width);
        const LiveLayout layout = table.layout(c.width);
        std::vector<std::string> got{table.headText(layout)};
        for (std::size_t k = 0; k < 3; ++k)
            got.push_back(table.rowText(*table.shown()[k], layout));
        EXPECT_EQ(got, c.lines);
        const std::vector<std::string> header =
            table.headerLines(c.width, {"querier 10.0.0.9 last heard 12 s ago"});
        for (const std::string& line : header)
            EXPECT_EQ(displayWidth(line), c.width) << line;
        EXPECT_EQ(header.front().substr(0, 23), "kestil-cli  up 0:01:00 ");
    }
    const std::vector<std::string> header = table.headerLines(200, {});
    EXPECT_NE(header.front().find("groups 6: 4 flowing, 2 losing, 2 silent"), std::string::npos);
}

TEST(LiveTableTest, ShortTextsOfRatesTimesAndCutCells)
{
    struct Case {
        std::string got;
        const char* want;
    };
    const Case cases[] = {
        {shortRate(0), "0"},
        {shortRate(8.4), "8.40k"},
        {shortRate(512), "512k"},
        {shortRate(999.7), "1.00M"},
        {shortRate(25'240), "25.2M"},
        {shortRate(2'520'000), "2.52G"},
        {agoText(420), "0.4s"},
        {agoText(9'960), "10s"},
        {agoText(42'000), "42s"},
        {agoText(17ULL * 60'000), "17m"},
        {agoText(5ULL * 3'600'000), "5h"},
        {agoText(300 * 3'600'000ULL), "12d"},
        {fitText("239.1.1.1", 12, true), "239.1.1.1   "},
        {fitText("42", 5, false), "   42"},
        {fitText("ff3e:1234:5678::1", 10, true, true), "\u20264:5678::1"},
        {fitText("sorted by group", 10, true), "sorted by\u2026"},
        // Two columns each for the wide characters.
        {fitText("\u6d41\u52a8\u4e2d", 8, true), "\u6d41\u52a8\u4e2d  "},
        {fitText("\u6d41\u52a8\u4e2d", 5, true), "\u6d41\u52a8\u2026"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want);
}

}   // namespace
