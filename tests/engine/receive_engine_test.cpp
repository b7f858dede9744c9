#include "engine/receive_engine.h"

#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/group_list.h"
#include "core/receive_format.h"
#include "engine/recording_sink.h"
#include "file/capture_file.h"
#include "platform/steady_clock.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/netns_lab.h"
#include "tests/support/scripted_clock.h"
#include "tests/support/scripted_receiver.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr const char* kGroup = "239.1.2.3";
constexpr int kPort = 9000;
constexpr auto kNoData = ReceiveStatus::NoData;
constexpr auto kSaveError = ReceiveStatus::SaveFailed;
const ReceiveSettings kSettings{*parseIpAddress(kGroup), kPort};

using Datagram = std::vector<unsigned char>;

// One crafted datagram and the bytes the receiver should save of it.
struct Crafted {
    Datagram wire;
    Datagram saved;
};

Crafted tagged(std::int32_t seq, int payloadSize)
{
    Datagram wire(TestDatagram::kHeaderSize + payloadSize);
    TestDatagram::encodeHeader(wire.data(), static_cast<std::uint32_t>(seq));
    for (int i = 0; i < payloadSize; ++i)
        wire[TestDatagram::kHeaderSize + i] = static_cast<unsigned char>(seq * 7 + i);
    return {wire, Datagram(wire.begin() + TestDatagram::kHeaderSize, wire.end())};
}

Crafted whole(const Datagram& wire)
{
    return {wire, wire};
}

std::string contents(const std::string& name)
{
    return TempDir::contents(name);
}

// A receiver run on lab host 1; crafted traffic comes from host 0.
class ReceiveEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NETNS_LAB_OR_SKIP(lab_);
        ASSERT_TRUE(dir_.ok());
    }

    void TearDown() override
    {
        stop();
        capture_.close();
    }

    // Starts the run and waits until its channel is built (the first
    // running check comes right after the build phase).
    void start()
    {
        worker_ = lab_.start(1, [this] { engine_.run(); });
        ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.runningChecks > 0; }));
    }

    void stop()
    {
        sink_.release();
        sink_.setRunning(false);
        if (worker_.joinable())
            worker_.join();
    }

    // Sends from a socket of its own in the host (host 0 unless told) to the
    // port at to (the group unless told), a datagram every everyMs, or else
    // pausing every few datagrams so that the receiver's socket buffer never
    // overflows. Host 1 is the receiver's: its datagrams to the group loop
    // back.
    void send(const std::vector<Crafted>& crafted, int host = 0, const std::string& to = kGroup,
              int everyMs = 0)
    {
        lab_.start(host,
                   [&] {
                       const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
                       const int on = 1;
                       EXPECT_EQ(::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
                       // Bound to the host's address, which also takes a
                       // broadcast out of its cable.
                       sockaddr_in at{};
                       at.sin_family = AF_INET;
                       at.sin_port = htons(kPort + 1);
                       at.sin_addr.s_addr = ::inet_addr(lab_.hostAddress(host).c_str());
                       EXPECT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
                       sockaddr_in group = at;
                       group.sin_port = htons(kPort);
                       group.sin_addr.s_addr = ::inet_addr(to.c_str());
                       for (std::size_t i = 0; i < crafted.size(); ++i) {
                           const Datagram& wire = crafted[i].wire;
                           EXPECT_EQ(::sendto(s, wire.data(), wire.size(), 0,
                                              reinterpret_cast<const sockaddr*>(&group),
                                              sizeof group),
                                     static_cast<ssize_t>(wire.size()));
                           if (everyMs > 0)
                               std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
                           else if (i % 10 == 9)
                               std::this_thread::sleep_for(std::chrono::milliseconds(2));
                       }
                       ::close(s);
                   })
            .join();
    }

    // Sends while the engine waits in the sink: everything then arrives at
    // once, as one batch (when the socket has room for it).
    void sendAtOnce(const std::vector<std::pair<int, std::vector<Crafted>>>& parts)
    {
        sink_.hold();
        ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.held; }));
        for (const auto& [host, crafted] : parts)
            send(crafted, host);
        sink_.release();
    }

    // Waits until everything sent has been taken in: two no-data reports
    // after the sending ended mean 20 receive time-outs in a row.
    void settle()
    {
        const int before = sink_.events().statusCount(kNoData);
        ASSERT_TRUE(
            sink_.waitUntil([&](const auto& e) { return e.statusCount(kNoData) >= before + 2; }));
    }

    void waitForStatistics(std::size_t reports)
    {
        ASSERT_TRUE(sink_.waitUntil([&](const auto& e) { return e.statistics.size() >= reports; }))
            << "only " << sink_.events().statistics.size() << " statistics reports";
    }

    std::string path(const char* name) const { return dir_.file(name); }

    NetnsLab lab_{2};
    DcPool pool_;
    CaptureFile capture_;
    RecordingSink sink_;
    ScriptedClock clock_{{1000}, 0, true};
    ReceiveEngine engine_{sink_, capture_, clock_, pool_, kSettings};
    std::thread worker_;
    TempDir dir_;
};

TEST(ReceiveEngineNoSlot, SaysSoAndEndsAtOnce)
{
    DcPool pool;
    ASSERT_EQ(pool.init(1), 1);
    ASSERT_EQ(pool.acquire(MulticastReceive, SocketAddress{*parseIpAddress(kGroup), kPort}), 0);

    RecordingSink sink;
    CaptureFile capture;
    ScriptedClock clock;
    ReceiveEngine engine(sink, capture, clock, pool, kSettings);
    engine.run();

    const auto e = sink.events();
    EXPECT_EQ(e.receiveStatuses, std::vector<ReceiveStatus>{{ReceiveStatus::NoSlot}});
    EXPECT_EQ(e.flashes, std::vector<Lamp>{Lamp::Error});
    EXPECT_EQ(e.restores, 1);
    EXPECT_EQ(e.runningChecks, 0u);
    EXPECT_EQ(engine.slot(), -1);
    EXPECT_EQ(pool.state(0), 0) << "the slot held by someone else stays theirs";
}

TEST_F(ReceiveEngineTest, CountsLossAndSavesPayloadsOverOneHundredFiftyDatagrams)
{
    clock_.setStep(40);   // 40 ms between the start and each report
    ASSERT_EQ(capture_.open(path("capture.bin")), 1);

    std::vector<Crafted> traffic;
    for (int seq = 0; seq < 10; ++seq)
        traffic.push_back(tagged(seq, 100 + seq));
    traffic.push_back(tagged(13, 50));                                    // 10, 11, 12 missing
    traffic.push_back(tagged(13, 50));                                    // repeat
    traffic.push_back(tagged(5, 50));                                     // an older repeat
    traffic.push_back(whole(Datagram(60, 0x41)));                         // untagged
    traffic.push_back(whole(Datagram{TestDatagram::kTag, 1, 2, 3, 4}));   // tagged but too short
    traffic.push_back(tagged(12, 50));                                    // late
    traffic.push_back(tagged(9, 0));                                      // header only
    traffic.push_back(whole(Datagram()));                                 // empty
    for (int seq = 14; seq <= 45; ++seq)
        traffic.push_back(tagged(seq, 80));
    ASSERT_EQ(traffic.size(), 50u);   // lost so far: 2

    traffic.push_back(tagged(0, 90));   // the sender restarted
    for (int seq = 1; seq <= 28; ++seq)
        traffic.push_back(tagged(seq, 90));
    for (int seq = 39; seq <= 59; ++seq)   // 29 ... 38 missing
        traffic.push_back(tagged(seq, 90));
    ASSERT_EQ(traffic.size(), 100u);   // lost so far: 14

    traffic.push_back(tagged(INT32_MAX - 2, 20));   // 2^31 - 63 missing, once the next
    traffic.push_back(tagged(INT32_MAX - 1, 20));   // follows it
    traffic.push_back(tagged(INT32_MIN, 20));       // across 2^31: INT32_MAX missing
    traffic.push_back(tagged(INT32_MAX, 20));       // late
    for (int i = 1; i < 47; ++i)
        traffic.push_back(tagged(INT32_MIN + i, 20));
    ASSERT_EQ(traffic.size(), 150u);

    start();
    send(traffic);
    ASSERT_TRUE(sink_.waitUntil([](const auto& e) {
        return !e.statistics.empty() && e.statistics.back().datagrams == 150;
    }));
    stop();

    std::vector<std::uint64_t> bytesAt{0};
    std::string saved;
    for (const Crafted& c : traffic) {
        bytesAt.push_back(bytesAt.back() + c.wire.size());
        saved.append(c.saved.begin(), c.saved.end());
    }
    // Every 50 datagrams, the last again at the end. The clock moves 40 ms a
    // reading and is read for each report (and for each receive that brought
    // nothing): each speed is the bytes over a later multiple of 40 ms than
    // the one before.
    const std::int64_t lostAt[] = {2, 12, 12 + (std::int64_t{INT32_MAX} - 62),
                                   12 + (std::int64_t{INT32_MAX} - 62)};
    const auto e = sink_.events();
    std::vector<std::int64_t> lost;
    std::uint64_t readings = 0;
    for (const ReceiveReport& r : e.statistics) {
        SCOPED_TRACE(r.datagrams);
        EXPECT_EQ(senderText(r.sender), lab_.hostAddress(0));
        EXPECT_EQ(r.bytes, bytesAt[r.datagrams]);
        std::uint64_t m = readings + 1;
        while (r.bytes / (40 * m) * 8 > r.kbps)
            ++m;
        EXPECT_EQ(r.kbps, r.bytes / (40 * m) * 8);
        readings = m;
        EXPECT_EQ(r.saved, r.datagrams) << "those without payload count as saved";
        if (r.datagrams % 50 == 0)
            lost.push_back(r.lost);
    }
    EXPECT_EQ(lost, std::vector<std::int64_t>(std::begin(lostAt), std::end(lostAt)));
    EXPECT_EQ(e.defaultLamps, std::vector<Lamp>(3, Lamp::Active));
    // Only the no-data reports touched the status line.
    EXPECT_EQ(e.statusCount(kNoData), static_cast<int>(e.receiveStatuses.size()));
    EXPECT_EQ(contents(path("capture.bin")), saved);
    EXPECT_EQ(engine_.slot(), -1);
}

TEST_F(ReceiveEngineTest, LargeReorderedAndRepeatedDatagramsAreCountedAndSavedWhole)
{
    clock_.setStep(1);
    ASSERT_EQ(capture_.open(path("capture.bin")), 1);
    std::vector<std::int32_t> seqs;
    auto append = [&seqs](std::int32_t first, std::int32_t last) {
        for (std::int32_t seq = first; seq <= last; ++seq)
            seqs.push_back(seq);
    };
    append(0, 19);
    append(21, 21);   // swapped with 20
    append(20, 20);
    append(22, 39);
    append(30, 30);   // a repeat
    append(40, 59);
    append(61, 100);    // 60 lost
    append(100, 119);   // 100 twice
    append(45, 45);     // an old repeat, no loss
    std::vector<Crafted> traffic;
    std::string saved;
    for (std::int32_t seq : seqs) {
        traffic.push_back(tagged(seq, 20000));
        saved.append(traffic.back().saved.begin(), traffic.back().saved.end());
    }
    const auto count = static_cast<std::uint64_t>(traffic.size());

    start();
    // Room for the whole stream, however late the receiver gets to it.
    const int room = 16 << 20;
    ASSERT_EQ(::setsockopt(pool_.socketOf(engine_.slot()), SOL_SOCKET, SO_RCVBUFFORCE, &room,
                           sizeof room),
              0);
    send(traffic);
    // The count is no multiple of 50: the last figures come with the pause.
    ASSERT_TRUE(sink_.waitUntil([count](const auto& e) {
        return !e.statistics.empty() && e.statistics.back().datagrams == count;
    }));
    stop();

    const ReceiveReport last = sink_.events().statistics.back();
    EXPECT_EQ(last.bytes, count * 20008);
    EXPECT_EQ(last.lost, 1);
    EXPECT_EQ(senderText(last.sender), lab_.hostAddress(0));
    EXPECT_TRUE(contents(path("capture.bin")) == saved) << "capture differs";
}

// The sender stops and starts again from the same port, its first datagram
// lost: 10 lost before, 5 after, none taken back.
TEST_F(ReceiveEngineTest, ARestartWithoutItsFirstDatagramOrAStaleZeroCountsOnlyRealLosses)
{
    struct Row {
        const char* what;
        std::vector<int> seqs;
        std::int64_t lost;
    };
    // 100-109 lost, then a restart from the same port whose 0 and 100-104
    // are lost: 15 in all, none taken back by the second run's numbers.
    Row restart{"a restart without its 0", {}, 15};
    for (int seq = 0; seq < 300; ++seq)
        if (seq < 100 || seq >= 110)
            restart.seqs.push_back(seq);
    for (int seq = 1; seq < 300; ++seq)
        if (seq < 100 || seq >= 105)
            restart.seqs.push_back(seq);
    // One stale 0 amid a stream restarts nothing and costs nothing.
    Row staleZero{"one stale 0", {}, 0};
    for (int seq = 0; seq <= 3100; ++seq) {
        staleZero.seqs.push_back(seq);
        if (seq == 3000)
            staleZero.seqs.push_back(0);
    }
    for (const Row& row : {restart, staleZero}) {
        SCOPED_TRACE(row.what);
        std::vector<Crafted> datagrams;
        for (int seq : row.seqs)
            datagrams.push_back(tagged(seq, 10));
        const auto count = static_cast<std::uint64_t>(datagrams.size());
        clock_.setStep(1);
        sink_.reset();
        start();
        send(datagrams);
        ASSERT_TRUE(sink_.waitUntil([count](const auto& e) {
            return !e.statistics.empty() && e.statistics.back().datagrams == count;
        }));
        stop();
        EXPECT_EQ(sink_.events().statistics.back().lost, row.lost);
        EXPECT_EQ(engine_.totals().lost, row.lost);
        EXPECT_EQ(engine_.totals().evicted, 0u);
    }
}

TEST_F(ReceiveEngineTest, ABatchReportsTheFiguresOfItsFiftiethDatagramAndTakesNoMoreThanTheLimit)
{
    // 64 at once: datagrams 41-50 from the receiver's own host, the others
    // from host 0, whose seq 40 goes missing.
    std::vector<Crafted> parts[3];
    std::vector<std::uint64_t> bytesAt{0};
    for (int k = 0; k < 64; ++k) {
        const int part = k < 40 ? 0 : k < 50 ? 1 : 2;
        parts[part].push_back(tagged(part == 1 ? k - 40 : part == 2 ? k - 9 : k, 10 + k));
        bytesAt.push_back(bytesAt.back() + parts[part].back().wire.size());
    }
    using Seen = std::tuple<std::uint64_t, std::uint64_t, std::string, std::int64_t>;
    for (const std::uint64_t limit : {0, 60}) {
        SCOPED_TRACE(limit);
        const std::uint64_t end = limit == 0 ? 64 : limit;   // at the pause, or at the limit
        clock_.setStep(10);
        sink_.reset();
        engine_.setDatagramLimit(limit);
        start();
        sendAtOnce({{0, parts[0]}, {1, parts[1]}, {0, parts[2]}});
        ASSERT_TRUE(sink_.waitUntil([&](const auto& e) {
            return !e.statistics.empty() && e.statistics.back().datagrams == end;
        }));
        stop();
        std::vector<Seen> seen;
        for (const ReceiveReport& r : sink_.events().statistics)
            seen.emplace_back(r.datagrams, r.bytes, senderText(r.sender), r.lost);
        // Without a limit the last figures come at the pause and again at the end.
        std::vector<Seen> expected{{50, bytesAt[50], lab_.hostAddress(1), 0},
                                   {end, bytesAt[end], lab_.hostAddress(0), 1}};
        if (limit == 0)
            expected.push_back(expected.back());
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(engine_.totals().datagrams, end);
    }
}

TEST_F(ReceiveEngineTest, OnlyDatagramsSentToTheGroupAreCountedAndSaved)
{
    clock_.setStep(10);
    ASSERT_EQ(capture_.open(path("capture.bin")), 1);
    // Another socket of the receiver's host joins another group.
    constexpr const char* kOtherGroup = "239.1.2.99";
    int member = -1;
    lab_.start(1,
               [&] {
                   member = ::socket(AF_INET, SOCK_DGRAM, 0);
                   ip_mreqn request{};
                   request.imr_multiaddr.s_addr = ::inet_addr(kOtherGroup);
                   EXPECT_EQ(::setsockopt(member, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request,
                                          sizeof request),
                             0);
               })
        .join();

    std::vector<Crafted> group;
    std::string saved;
    for (int seq = 0; seq < 10; ++seq) {
        group.push_back(tagged(seq, 30));
        saved.append(group.back().saved.begin(), group.back().saved.end());
    }
    // Far ahead of the group's numbers from the same sender: a loss if counted.
    const std::vector<Crafted> stray{tagged(1000, 30)};
    start();
    send({group.begin(), group.begin() + 5});
    send(stray, 0, lab_.hostAddress(1));   // unicast
    send(stray, 0, "255.255.255.255");     // broadcast
    send(stray, 0, kOtherGroup);           // kept away by the system
    send({group.begin() + 5, group.end()});
    send(stray, 1, lab_.hostAddress(1));   // from the receiver's own host, last
    settle();
    stop();
    ::close(member);

    const ReceiveReport& totals = engine_.totals();
    EXPECT_EQ(totals.datagrams, 10u);
    EXPECT_EQ(totals.bytes, 10u * group.front().wire.size());
    EXPECT_EQ(totals.lost, 0);
    EXPECT_EQ(senderText(totals.sender), lab_.hostAddress(0));
    EXPECT_EQ(totals.stray, 3u);
    EXPECT_EQ(contents(path("capture.bin")), saved);
}

TEST_F(ReceiveEngineTest, WhileTheGroupIsSilentItIsJoinedAgainEveryThreeSeconds)
{
    // Every receive that brings none of the group's datagrams reads the
    // clock, which moves 100 ms a reading: a join is due every 30 of them.
    // Something arrives every 20 or so; about 95 receives in all.
    struct Case {
        const char* arriving;
        std::string to;   // empty: nothing arrives
        std::uint64_t rejoins;
    };
    const Case cases[] = {
        {"nothing", "", 3},
        {"the group's datagrams", kGroup, 0},
        {"unicast datagrams", lab_.hostAddress(1), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arriving);
        clock_.restart({1000});
        clock_.setStep(100);
        sink_.reset();
        start();
        for (std::uint64_t i = 1; i <= 4; ++i) {
            ASSERT_TRUE(sink_.waitUntil([i](const auto& e) { return e.runningChecks >= 20 * i; }));
            if (!c.to.empty())
                send({tagged(static_cast<std::int32_t>(i), 10)}, 0, c.to);
        }
        ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.runningChecks >= 95; }));
        stop();
        EXPECT_EQ(engine_.rejoins(), c.rejoins);
    }
}

// A link deleted and made again leaves its memberships behind on the socket,
// where they would take the places of the new ones: one socket holds 20 at
// most here. Each group is received from again however often that happens.
TEST_F(ReceiveEngineTest, GroupsAreReceivedFromAgainAfterTheirLinkIsMadeAgainManyTimes)
{
    struct Case {
        const char* groups;
        int links;               // made again
        const char* interface;   // empty: the system's choice
        bool sourceSpecific;     // for host 0's datagrams only
    };
    const Case cases[] = {
        {kGroup, 21, "", false},
        {"239.1.2.3+19", 2, "", false},
        {"239.1.2.3+19", 2, "eth0", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.groups) + " " + c.interface);
        const std::vector<IpAddress> groups = parseGroupList({c.groups}, kMaxGroups).groups;
        MulticastOptions options;
        std::snprintf(options.interface, sizeof options.interface, "%s", c.interface);
        engine_.setMulticastOptions(options);
        engine_.setGroups(groups, c.sourceSpecific
                                      ? parseIpAddress(lab_.hostAddress(0)).value_or(IpAddress{})
                                      : IpAddress{});
        clock_.restart({1000});
        clock_.setStep(100);
        sink_.reset();
        start();
        for (int link = 0; link < c.links; ++link) {
            ASSERT_TRUE(lab_.replaceLink(1));
            // Two turns of every group, the second begun with the new link up.
            const std::uint64_t joined = engine_.rejoins() + 2 * groups.size();
            ASSERT_TRUE(sink_.waitUntil([&](const auto&) { return engine_.rejoins() >= joined; }))
                << "link " << link;
        }
        for (const IpAddress& group : groups)
            send({tagged(1, 10), tagged(2, 10)}, 0, group.text());
        settle();
        stop();
        EXPECT_EQ(engine_.totals().datagrams, 2 * groups.size());
    }
}

// Without a route for the group the system has no interface to join it on.
// That is said once per series of failures, with the system's reason; a
// join that works again ends the series.
TEST_F(ReceiveEngineTest, AJoinThatFailsIsReportedWithItsReasonOncePerSeries)
{
    clock_.setStep(100);
    start();
    auto turns = [this](std::uint64_t n) {
        const std::uint64_t joined = engine_.rejoins() + n;
        return sink_.waitUntil([&](const auto&) { return engine_.rejoins() >= joined; });
    };
    for (int series = 1; series <= 2; ++series) {
        SCOPED_TRACE(series);
        ASSERT_EQ(lab_.exec(1, "ip route del 224.0.0.0/4"), 0);
        ASSERT_TRUE(sink_.waitUntil([series](const auto& e) {
            return e.statusCount(ReceiveStatus::JoinFailed) >= series;
        }));
        ASSERT_TRUE(turns(2));
        EXPECT_EQ(sink_.events().statusCount(ReceiveStatus::JoinFailed), series);
        ASSERT_EQ(lab_.exec(1, "ip route add 224.0.0.0/4 dev eth0"), 0);
        ASSERT_TRUE(turns(2));
    }
    send({tagged(1, 10)});
    settle();
    stop();
    EXPECT_EQ(engine_.totals().datagrams, 1u);
    for (const ReceiveStatus& status : sink_.events().receiveStatuses) {
        if (status.kind != ReceiveStatus::JoinFailed)
            continue;
        EXPECT_EQ(status.error, ENODEV);
        EXPECT_EQ(status.group.text(), kGroup);
        EXPECT_EQ(status.groups, 1u);
    }
}

TEST_F(ReceiveEngineTest, DatagramsItsOwnSocketDroppedAreReportedApartFromLoss)
{
    clock_.setStep(10);
    start();
    const int room = 4096;   // a few datagrams only
    ASSERT_EQ(
        ::setsockopt(pool_.socketOf(engine_.slot()), SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
    std::vector<ReceiveStatus> expected;
    for (int round = 0; round < 2; ++round) {
        std::vector<Crafted> traffic;
        for (int seq = round * 100; seq < round * 100 + 100; ++seq)
            traffic.push_back(tagged(seq, 1000));
        sendAtOnce({{0, traffic}});
        ASSERT_TRUE(sink_.waitUntil([round](const auto& e) {
            return !e.statistics.empty() &&
                   e.statistics.back().datagrams + e.statistics.back().overflowed ==
                       static_cast<std::uint64_t>(round + 1) * 100;
        }));
        expected.push_back(
            {ReceiveStatus::Overflow, 0, sink_.events().statistics.back().overflowed});
    }
    stop();

    // The total since the start, once per report that found it grown.
    const auto e = sink_.events();
    std::vector<ReceiveStatus> statuses;
    std::copy_if(e.receiveStatuses.begin(), e.receiveStatuses.end(), std::back_inserter(statuses),
                 [](const ReceiveStatus& s) { return s.kind != kNoData; });
    EXPECT_EQ(statuses, expected);
    EXPECT_GT(expected[0].overflowed, 0u);
    EXPECT_EQ(e.flashCount(Lamp::Error), 2 + e.statusCount(kNoData));
    // The first round's dropped tail became a gap once the second round came.
    EXPECT_EQ(e.statistics.back().lost, static_cast<std::int64_t>(expected[0].overflowed));
}

TEST_F(ReceiveEngineTest, FiguresEveryFiftyDatagramsOnceAtAPauseAndAtTheEnd)
{
    // A flow at the default speed: a datagram every 16 ms, so that most
    // receives between two of them time out once. Only ten time-outs in a
    // row are a pause. The clock is the real one.
    const std::vector<std::pair<int, std::vector<std::uint64_t>>> cases = {
        {120, {50, 100, 120, 120}},
        {30, {30, 30}},
    };
    for (const auto& [count, expected] : cases) {
        SCOPED_TRACE(count);
        sink_.reset();
        SteadyClock clock;
        ReceiveEngine engine(sink_, capture_, clock, pool_, kSettings);
        worker_ = lab_.start(1, [&engine] { engine.run(); });
        ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.runningChecks > 0; }));
        std::vector<Crafted> traffic;
        for (int seq = 0; seq < count; ++seq)
            traffic.push_back(tagged(seq, 10));
        send(traffic, 0, kGroup, 16);
        settle();
        // A silent group ends the run within the series of time-outs in progress.
        const int reportsAtStop = sink_.events().statusCount(kNoData);
        stop();

        const auto e = sink_.events();
        std::vector<std::uint64_t> seen;
        for (const ReceiveReport& r : e.statistics)
            seen.push_back(r.datagrams);
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(e.defaultLamps.size(), static_cast<std::size_t>(count / 50));
        EXPECT_LE(e.statusCount(kNoData), reportsAtStop + 1);
        EXPECT_EQ(e.flashCount(Lamp::Error), e.statusCount(kNoData));
        EXPECT_EQ(pool_.state(0), -1) << "slot released";
    }
}

TEST_F(ReceiveEngineTest, IntervalsCoverTheRunAndASilentSenderHasOneOutage)
{
    // 0 ... 59 every 10 ms, 1.5 s of silence with a unicast datagram from
    // the same sender in its middle, then 70 ... 129: ten lost across it.
    // The clock is the real one.
    constexpr std::uint64_t kIntervalMs = 500;
    constexpr int kPauseMs = 1500;
    SteadyClock clock;
    ReceiveEngine engine(sink_, capture_, clock, pool_, kSettings);
    engine.setIntervals(kIntervalMs, 1000);
    worker_ = lab_.start(1, [&engine] { engine.run(); });
    ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.runningChecks > 0; }));
    const std::uint64_t started = clock.tickCount();   // after the run's start
    std::vector<Crafted> before;
    std::vector<Crafted> after;
    for (int seq = 0; seq < 60; ++seq)
        before.push_back(tagged(seq, 20));
    for (int seq = 70; seq < 130; ++seq)
        after.push_back(tagged(seq, 20));
    send(before, 0, kGroup, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs / 2));
    send({tagged(1000, 20)}, 0, lab_.hostAddress(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs / 2));
    send(after, 0, kGroup, 10);
    settle();
    const std::uint64_t stopping = clock.tickCount();   // before the run's end
    stop();

    const auto e = sink_.events();
    ASSERT_EQ(e.senderOutages.size(), 1u);
    const Outage& outage = e.senderOutages[0];
    EXPECT_EQ(outage.lost, 10);
    // As the receiver's clock saw the two datagrams around the silence.
    EXPECT_GT(outage.lastedMs, std::uint64_t{kPauseMs} - 100);
    EXPECT_LT(outage.lastedMs, std::uint64_t{kPauseMs} + 500);
    EXPECT_EQ(engine.outages().count, 1u);
    EXPECT_EQ(engine.outages().longestMs, outage.lastedMs);

    ASSERT_FALSE(e.intervals.empty());
    const std::uint64_t datagramBytes = before.front().wire.size();
    std::uint64_t datagrams = 0;
    std::int64_t lost = 0;
    int silent = 0;
    std::uint64_t startMs = 0;
    for (const ReceiveInterval& i : e.intervals) {
        SCOPED_TRACE(i.endMs);
        EXPECT_EQ(i.startMs, startMs) << "each interval starts where the one before ended";
        EXPECT_LE(i.endMs - i.startMs, kIntervalMs + 250) << "closed about on time";
        EXPECT_EQ(i.interval.bytes, i.interval.datagrams * datagramBytes);
        startMs = i.endMs;
        datagrams += i.interval.datagrams;
        lost += i.interval.lost;
        silent += i.interval.datagrams == 0 && i.total.datagrams == 60 ? 1 : 0;
    }
    EXPECT_GE(silent, 2) << "the silence shows as intervals without datagrams";
    // The unicast datagram is in none of the figures.
    const ReceiveInterval& last = engine.lastInterval();
    EXPECT_EQ(last.endMs, e.intervals.back().endMs);
    EXPECT_GE(last.endMs, stopping - started) << "the last interval ends the run";
    EXPECT_EQ(datagrams, 120u);
    EXPECT_EQ(last.total.datagrams, 120u);
    EXPECT_EQ(last.total.bytes, 120u * datagramBytes);
    EXPECT_EQ(lost, 10);
    EXPECT_EQ(last.total.lost, 10);
    ASSERT_EQ(last.senders.size(), 1u);
    EXPECT_EQ(last.senders[0].total.datagrams, 120u);
    EXPECT_EQ(engine.totals().stray, 1u);
}

// Two datagrams of one sender read in one batch, which the system took in
// 1.5 s apart: the silence between them is an outage of 1.5 s, whenever
// the receiver read them. A third's send time is far out of any clock's
// range: it counts, without a delay.
TEST_F(ReceiveEngineTest, EachDatagramIsTimedByItsOwnArrival)
{
    ScriptedClock clock({1000, 5000});   // the run starts at 1000, reads at 5000
    ReceiveEngine engine(sink_, capture_, clock, pool_, kSettings);
    engine.setIntervals(10'000, 1000);
    const std::int64_t nowNs = clock.wallNs();
    ScriptedReceiver::Call batch;
    for (const auto& [seq, agoMs] : {std::pair{0, 1600}, std::pair{1, 100}, std::pair{2, 50}}) {
        ScriptedReceiver::Message m;
        m.bytes = tagged(seq, 20).wire;
        // The last carries a send time no clock gives: it counts, unstamped.
        if (seq == 2)
            SendStamp::encode(m.bytes.data() + TestDatagram::kHeaderSize, INT64_MIN);
        m.sender = {*parseIpAddress("10.1.1.1"), 7};
        m.destination = *parseIpAddress(kGroup);
        m.arrivalNs = nowNs - std::int64_t{agoMs} * 1'000'000;
        batch.push_back(m);
    }
    engine.setReceiverFactory([&] {
        return std::make_unique<ScriptedReceiver>(std::deque{batch},
                                                  [this] { sink_.setRunning(false); });
    });
    worker_ = lab_.start(1, [&engine] { engine.run(); });
    worker_.join();

    const auto e = sink_.events();
    ASSERT_EQ(e.senderOutages.size(), 1u);
    EXPECT_EQ(e.senderOutages[0].lastedMs, 1500u);
    EXPECT_LE(e.senderOutages[0].beganMs, 4000u - 1600);
    EXPECT_GT(e.senderOutages[0].beganMs, 4000u - 2600);
    EXPECT_EQ(engine.totals().datagrams, 3u);
    EXPECT_EQ(engine.lastInterval().totalDelay.stamped, 0u);
}

TEST_F(ReceiveEngineTest, FailedSavesAreReportedOncePerSeriesWhileCountingGoesOn)
{
    // Files of this process cannot grow past 1000 bytes: 62 whole 16-byte
    // records and the torn start of the 63rd, which is cut off again.
    FileSizeLimit limit(1000);
    clock_.setStep(10);
    auto batch = [](int first) {
        std::vector<Crafted> traffic;
        for (int seq = first; seq < first + 50; ++seq)
            traffic.push_back(tagged(seq, 16));
        return traffic;
    };
    // The file's writer finds a failure after the figures counted the
    // records: they are taken back by the next figures at the latest.
    auto waitForDatagrams = [this](std::uint64_t n, std::uint64_t saved) {
        ASSERT_TRUE(sink_.waitUntil([n, saved](const auto& e) {
            return !e.statistics.empty() && e.statistics.back().datagrams == n &&
                   e.statistics.back().saved == saved;
        }));
    };
    std::string full;
    for (const auto& traffic : {batch(0), batch(50)})
        for (const Crafted& c : traffic)
            full.append(c.saved.begin(), c.saved.end());
    full.resize(std::size_t{62} * 16);

    ASSERT_EQ(capture_.open(path("full.bin")), 1);
    start();
    send(batch(0));
    waitForDatagrams(50, 50);
    EXPECT_EQ(sink_.events().statusCount(kSaveError), 0);
    EXPECT_FALSE(capture_.failed());
    send(batch(50));
    waitForDatagrams(100, 62);
    EXPECT_EQ(sink_.events().statusCount(kSaveError), 1);
    EXPECT_TRUE(capture_.failed());
    EXPECT_EQ(capture_.lost(), 38u);

    ASSERT_EQ(capture_.open(path("good.bin")), 1);
    send(batch(100));
    waitForDatagrams(150, 112);
    EXPECT_EQ(sink_.events().statusCount(kSaveError), 1);
    EXPECT_FALSE(capture_.failed());

    ASSERT_EQ(capture_.open(path("full.bin")), 1);   // a new series of failures
    send(batch(150));
    waitForDatagrams(200, 112);
    stop();
    EXPECT_TRUE(capture_.failed());
    EXPECT_EQ(engine_.totals().saved, 112u);

    const auto e = sink_.events();
    EXPECT_EQ(e.statusCount(kSaveError), 2);
    EXPECT_EQ(e.flashCount(Lamp::Error), 2 + e.statusCount(kNoData));
    EXPECT_EQ(e.statistics.back().lost, 0);
    EXPECT_EQ(contents(path("good.bin")).size(), 50u * 16);
    EXPECT_EQ(contents(path("full.bin")), full);
}

TEST_F(ReceiveEngineTest, ACaptureFileDeletedWhileSavingIsReportedAndSavingStops)
{
    clock_.setStep(10);
    std::vector<Crafted> traffic;
    for (int seq = 0; seq < 10; ++seq)
        traffic.push_back(tagged(seq, 16));
    const std::string name = path("capture.bin");
    ASSERT_EQ(capture_.open(name), 1);
    start();
    send(traffic);
    ASSERT_TRUE(sink_.waitUntil([](const auto& e) {
        return !e.statistics.empty() && e.statistics.back().datagrams == 10;
    }));
    EXPECT_EQ(sink_.events().statusCount(ReceiveStatus::CaptureGone), 0);

    ASSERT_EQ(::unlink(name.c_str()), 0);
    send(traffic);
    ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.statistics.back().datagrams == 20; }));
    stop();
    EXPECT_EQ(sink_.events().statusCount(ReceiveStatus::CaptureGone), 1);
    EXPECT_FALSE(capture_.isOpen());
    EXPECT_TRUE(capture_.failed());
    EXPECT_EQ(engine_.totals().saved, 10u);
}

TEST_F(ReceiveEngineTest, PortAlreadyHeldFailsEveryBuildThenTheRunEnds)
{
    // Another socket in the receiver's host holds the port.
    int holder = -1;
    lab_.start(1,
               [&] {
                   holder = ::socket(AF_INET, SOCK_DGRAM, 0);
                   sockaddr_in at{};
                   at.sin_family = AF_INET;
                   at.sin_port = htons(kPort);
                   if (::bind(holder, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
                       ::close(holder);
                       holder = -1;
                   }
               })
        .join();
    ASSERT_GE(holder, 0);

    // The run ends by itself, with the last failure left to show.
    lab_.start(1, [this] { engine_.run(); }).join();
    ::close(holder);

    const auto e = sink_.events();
    std::vector<ReceiveStatus> expected;
    for (int attempt = 1; attempt <= 100; ++attempt)
        expected.push_back({ReceiveStatus::BuildFailed, attempt, 0, EADDRINUSE});
    EXPECT_EQ(e.receiveStatuses, expected);
    EXPECT_EQ(e.flashes, std::vector<Lamp>(100, Lamp::Error));
    EXPECT_EQ(e.restores, 1);
    EXPECT_EQ(e.runningChecks, 0u);
    EXPECT_EQ(engine_.slot(), -1);
    EXPECT_EQ(pool_.state(0), -1) << "slot released";
}

}   // namespace
