#include "cli/receive_lines.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(intervalLine(interval),
              "senders 2  speed 64.000  datagrams 64 (lost 2, 3.12%)  total bytes 16000  "
              "datagrams 128 (lost 4, 3.12%)  overflowed 3");
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
        EXPECT_EQ(line.ends_with("overflowed 0  evicted 7"), evicted != 0) << line;
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
        std::string lineEnd;   // after the totals' "overflowed 0"
        std::vector<std::string> keys;
        std::vector<std::string> worstFirst;   // since the start
    };
    std::vector<Case> cases = {
        {"one group: the line as before, one object",
         {groupOf(1, 62, 2)},
         "overflowed 0",
         {"\"239.1.1.1\""},
         {"239.1.1.1"}},
        {"three groups: the silent one first, then loss with an outage",
         {groupOf(1, 60), groupOf(2, 58, 2, 1), groupOf(3, 0)},
         "overflowed 0  groups 3: 239.1.1.3 silent, 239.1.1.2 lost 2, outage",
         {"\"239.1.1.1\"", "\"239.1.1.2\"", "\"239.1.1.3\"", "\"all\""},
         {"239.1.1.3", "239.1.1.2", "239.1.1.1"}},
        {"all well in two groups",
         {groupOf(1, 60), groupOf(2, 60)},
         "overflowed 0  groups 2",
         {"\"239.1.1.1\"", "\"239.1.1.2\"", "\"all\""},
         {"239.1.1.1", "239.1.1.2"}},
    };
    Case many{"twelve silent groups: the first eight named", {}, "", {}, {}};
    for (std::uint32_t k = 1; k <= 12; ++k)
        many.groups.push_back(groupOf(k, 0));
    many.lineEnd = "groups 12: 239.1.1.1 silent, 239.1.1.2 silent, 239.1.1.3 silent, 239.1.1.4 "
                   "silent, 239.1.1.5 silent, 239.1.1.6 silent, 239.1.1.7 silent, 239.1.1.8 "
                   "silent and 4 more";
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

}   // namespace
