#include "engine/send_engine.h"

#include "channel/dc_pool.h"
#include "core/group_list.h"
#include "engine/recording_sink.h"
#include "platform/executable_path.h"
#include "tests/support/netns_lab.h"
#include "tests/support/payload_stream.h"
#include "tests/support/recording_sender.h"
#include "tests/support/scripted_clock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const SendSettings kDefaults{*parseIpAddress("224.1.1.1"), 9000, 512, 1024};

SendSettings withPacketSize(int size)
{
    SendSettings settings = kDefaults;
    settings.packetSize = size;
    return settings;
}

std::vector<Lamp> lamps(std::size_t n, Lamp lamp)
{
    return std::vector<Lamp>(n, lamp);
}

// The pauses the engine took, in order: when its datagrams went out.
std::vector<int> pauses(const ScriptedClock& clock)
{
    std::vector<int> taken = clock.calls();
    std::erase(taken, ScriptedClock::kTickRead);
    return taken;
}

class SendEngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lab_ = std::make_unique<NetnsLab>(2); }
    static void TearDownTestSuite() { lab_.reset(); }
    void SetUp() override { NETNS_LAB_OR_SKIP(*lab_); }

    // Runs the engine on lab host 0; before is run there first (to occupy a
    // port, say) and after once the run has ended. With answer set, the
    // engine's attempts (the bytes of their datagrams) are recorded and
    // answered by it (given the attempt's index: the datagrams sent) instead
    // of going to the network.
    void run(const SendSettings& settings = kDefaults,
             const std::string& source = "/nonexistent/send.txt", std::function<void()> before = {},
             std::function<void()> after = {})
    {
        lab_->start(0,
                    [&] {
                        if (before)
                            before();
                        ScriptedEngine engine(*this, settings);
                        engine.setSourcePath(source);
                        engine.setAttemptLimit(attemptLimit);
                        engine.setIntervalMs(intervalMs);
                        engine.setPaceRestarts(paceRestarts);
                        engine.run();
                        if (after)
                            after();
                    })
            .join();
    }

    struct ScriptedEngine : SendEngine {
        ScriptedEngine(SendEngineTest& t, const SendSettings& settings)
            : SendEngine(t.sink, t.clock, t.pool, settings), test(t)
        {
        }
        int sendDatagrams(int slot, const unsigned char* first, int length, int count,
                          std::size_t group) override
        {
            if (!test.answer)
                return SendEngine::sendDatagrams(slot, first, length, count, group);
            test.attempts.emplace_back(reinterpret_cast<const char*>(first),
                                       static_cast<std::size_t>(length) * count);
            return test.answer(test.attempts.size() - 1);
        }
        SendEngineTest& test;
    };

    std::function<int(std::size_t)> answer;
    std::vector<std::string> attempts;
    int attemptLimit = SendEngine::kSendAttempts;
    std::uint64_t intervalMs = 1000;
    bool paceRestarts = false;
    static std::unique_ptr<NetnsLab> lab_;
    RecordingSink sink;
    ScriptedClock clock;
    DcPool pool;
    TempDir dir;
};

std::unique_ptr<NetnsLab> SendEngineTest::lab_;

int boundSocket(int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

}   // namespace

// No channel means no run: nothing is sent, so this needs no network.
TEST(SendEngineNoChannel, NoFreeSlotOrAGroupTheChannelRefusesEndsAtOnce)
{
    for (const char* group : {"224.1.1.1", "10.1.2.3"}) {
        SCOPED_TRACE(group);
        DcPool pool;
        pool.init(1);
        const bool full = std::string(group) == "224.1.1.1";
        if (full)
            pool.acquire(MulticastSend,
                         SocketAddress{*parseIpAddress(group), 9000});   // the only slot
        RecordingSink sink;
        ScriptedClock clock;
        SendSettings settings = kDefaults;
        // Not a group: the join fails here, before anything is sent.
        settings.group = *parseIpAddress(group);
        SendEngine(sink, clock, pool, settings).run();

        const auto e = sink.events();
        ASSERT_EQ(e.sendStatuses.size(), 1u);
        EXPECT_EQ(e.sendStatuses[0].kind, SendStatus::BuildFailed);
        EXPECT_EQ(e.flashes, lamps(1, Lamp::Error));
        EXPECT_EQ(e.restores, 1);
        EXPECT_TRUE(e.defaultLamps.empty()) << "nothing is sent";
        EXPECT_EQ(pool.state(0), full ? 0 : -1)
            << "a held slot stays its holder's; ours is released";
    }
}

TEST_F(SendEngineTest, BuildFailsWhenThePortIsHeld)
{
    int holder = -1;
    run(
        kDefaults, "/nonexistent/send.txt", [&] { holder = boundSocket(9000); },
        [&] { ::close(holder); });
    const auto e = sink.events();
    ASSERT_EQ(e.sendStatuses.size(), 1u);
    EXPECT_EQ(e.sendStatuses[0].kind, SendStatus::BuildFailed);
    EXPECT_EQ(e.sendStatuses[0].error, EADDRINUSE);
    EXPECT_EQ(e.flashes, lamps(1, Lamp::Error));
    EXPECT_EQ(e.restores, 1);
    EXPECT_EQ(pool.state(0), -1);   // released
    EXPECT_EQ(pool.channel(0)->port(), 9000);
}

TEST_F(SendEngineTest, PacesWithTheScriptedClockAndStopsWhenAsked)
{
    sink.stopAfterChecks(95);
    // t0, then the readings at datagrams 30 (no time passed), 60 and 90.
    clock.restart({1000, 1000, 1100, 3000});
    run();

    // A pause after every datagram, changed at every 30th by what the
    // clock read then. The first pause is what 64 bytes/ms allows for 1032
    // bytes; at 60 the average of 619 bytes/ms is too fast, at 90 46
    // bytes/ms is too slow. The stop comes after the 95th datagram.
    std::vector<int> expected;
    for (const int ms : {16, 16, 17})
        expected.insert(expected.end(), 30, ms);
    expected.insert(expected.end(), 5, 15);
    EXPECT_EQ(pauses(clock), expected);
    const auto e = sink.events();
    EXPECT_EQ(e.reports, (std::vector<SendReport>{{61920, 4952, 60}, {92880, 368, 90}}));
    EXPECT_TRUE(e.sendStatuses.empty());
    EXPECT_EQ(e.flashes, lamps(2, Lamp::Active));
    EXPECT_EQ(e.defaultLamps, lamps(95, Lamp::Idle));
    EXPECT_EQ(e.restores, 1);
    EXPECT_EQ(pool.state(0), -1);
}

TEST_F(SendEngineTest, TargetIsTheSpeedOverEightTruncated)
{
    // 30 datagrams of 850 bytes in 200 ms: 127.5 bytes/ms. A target of 126
    // allows 127.26 and slows down; 130 allows 131.3 and speeds up. Both
    // start at 850 / 126 or 130 = 6 ms; 1000 bytes/ms starts at 1 ms and
    // goes down to no pause at all.
    struct Case {
        int speed;
        int sleepAfter;
    };
    const Case cases[] = {{1015, 7}, {1040, 4}, {8000, 0}};
    for (const Case& c : cases) {
        sink.reset();
        sink.stopAfterChecks(31);
        clock.restart({0, 200});
        SendSettings settings = withPacketSize(842);
        settings.speedKbps = c.speed;
        run(settings);
        const std::vector<int> taken = pauses(clock);
        ASSERT_GE(taken.size(), 30u) << c.speed;
        const int after = taken.size() == 31 ? taken.back() : 0;
        EXPECT_EQ(after, c.sleepAfter) << c.speed;
    }
}

TEST_F(SendEngineTest, IntervalsCloseOnTheGridFromTheStartAndAddUpToTheRun)
{
    // The clock moves on by each pause, and by a step at each reading: on
    // the paced path a datagram every 16 ms or so for 3.2 s; at 1000
    // bytes/ms 30 paced datagrams, then batches of 30 about 8 ms apart.
    // Each interval closes at the first reading at or past its grid point;
    // the run then stops within one, whose shorter rest comes at the end.
    struct Case {
        const char* path;
        int speed;
        int packetSize;
        std::uint64_t intervalMs;
        std::uint64_t stepMs;
        std::uint64_t checks;      // one per datagram paced, one per batch
        std::uint64_t datagrams;   // sent in all
        std::uint64_t slackMs;     // the most between two readings
        std::size_t intervals;
    };
    const Case cases[] = {
        {"paced", 512, 1024, 1000, 0, 200, 200, 17, 4},
        {"batches", 8000, 4, 200, 7, 130, 30 + 100 * 30, 8, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto length = static_cast<std::uint64_t>(c.packetSize) + 8;
        sink.reset();
        sink.stopAfterChecks(c.checks);
        attempts.clear();
        answer = [&](std::size_t at) { return static_cast<int>(attempts[at].size() / length); };
        clock.restart({5000});
        clock.setStep(c.stepMs);
        clock.setFollowsSleeps(true);
        intervalMs = c.intervalMs;
        SendSettings settings = withPacketSize(c.packetSize);
        settings.speedKbps = c.speed;
        run(settings);

        const std::vector<SendInterval> intervals = sink.events().sendIntervals;
        ASSERT_EQ(intervals.size(), c.intervals);
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < intervals.size(); ++i) {
            SCOPED_TRACE(i);
            const SendInterval& interval = intervals[i];
            EXPECT_EQ(interval.startMs, i == 0 ? 5000 : intervals[i - 1].endMs);
            sum += interval.datagrams;
            EXPECT_EQ(interval.bytes, interval.datagrams * length);
            EXPECT_EQ(interval.totalDatagrams, sum);
            EXPECT_EQ(interval.totalBytes, sum * length);
            if (i + 1 < intervals.size()) {
                const std::uint64_t grid = 5000 + (i + 1) * c.intervalMs;
                EXPECT_GE(interval.endMs, grid);
                EXPECT_LT(interval.endMs, grid + c.slackMs);
            }
        }
        EXPECT_EQ(sum, c.datagrams);
        const SendInterval& last = intervals.back();
        EXPECT_GT(last.datagrams, 0u);
        EXPECT_LT(last.endMs - last.startMs, c.intervalMs);
    }
}

TEST_F(SendEngineTest, GivesUpAfterOneHundredFailedAttemptsTenMillisecondsApart)
{
    run(withPacketSize(70000));   // beyond any UDP datagram
    const auto e = sink.events();
    ASSERT_EQ(e.sendStatuses.size(), 100u);
    for (int attempt = 1; attempt <= 100; ++attempt) {
        EXPECT_EQ(e.sendStatuses[attempt - 1].kind, SendStatus::SendFailed);
        EXPECT_EQ(e.sendStatuses[attempt - 1].attempt, attempt);
    }
    EXPECT_EQ(e.flashes, lamps(100, Lamp::Error));
    EXPECT_EQ(e.outages, (std::vector<SendOutage>{{SendOutage::Down, EMSGSIZE}}));
    EXPECT_EQ(pauses(clock), std::vector<int>(99, SendEngine::kRetrySpacingMs));
    EXPECT_EQ(e.restores, 1);
    EXPECT_EQ(pool.state(0), -1);
}

TEST_F(SendEngineTest, WithoutAnAttemptLimitAnOutageIsRiddenOutAndReportedAtBothEnds)
{
    // 250 failed calls in a row, well past the dialog's 100, first on the
    // paced path of one datagram per call, then on the batch path (from the
    // 31st datagram on at 1000 bytes/ms).
    struct Case {
        int speed;
        std::size_t firstFailure;
    };
    const Case cases[] = {{512, 0}, {8000, 30}};
    constexpr std::size_t kFailures = 250;
    constexpr int kDatagram = 12;
    constexpr std::uint64_t kDownMs = 2310;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.speed);
        sink.reset();
        sink.stopAfterChecks(kFailures + 40);   // each failed attempt asks too
        // The readings past the script, at the first failure and at the
        // send after the last, lie kDownMs apart.
        clock.restart({0, 200});
        clock.setStep(kDownMs);
        attempts.clear();
        attemptLimit = 0;
        answer = [&](std::size_t at) {
            if (at >= c.firstFailure && at < c.firstFailure + kFailures) {
                errno = ENETUNREACH;
                return -1;
            }
            return static_cast<int>(attempts[at].size() / kDatagram);
        };
        SendSettings settings = withPacketSize(4);
        settings.speedKbps = c.speed;
        run(settings);

        const auto e = sink.events();
        EXPECT_EQ(e.outages, (std::vector<SendOutage>{{SendOutage::Down, ENETUNREACH},
                                                      {SendOutage::Resumed, 0, kDownMs}}));
        ASSERT_EQ(e.sendStatuses.size(), kFailures);
        EXPECT_EQ(e.sendStatuses.back(),
                  (SendStatus{SendStatus::SendFailed, static_cast<int>(kFailures)}));
        // Every datagram went out once, in sequence.
        std::string sent;
        for (std::size_t i = 0; i < attempts.size(); ++i)
            if (i < c.firstFailure || i >= c.firstFailure + kFailures)
                sent += attempts[i];
        ASSERT_EQ(sent.size() % kDatagram, 0u);
        ASSERT_GE(sent.size() / kDatagram, 40u);
        for (std::size_t seq = 0; seq < sent.size() / kDatagram; ++seq) {
            std::uint32_t onWire = 0;
            for (int i = 3; i >= 0; --i)
                onWire = onWire << 8 | static_cast<unsigned char>(sent[seq * kDatagram + 4 + i]);
            EXPECT_EQ(onWire, seq);
        }
        EXPECT_EQ(e.restores, 1);
    }
}

TEST_F(SendEngineTest, AfterAnOutageOrAStopTheHeadlessPaceStartsAfreshWhileTheDialogCatchesUp)
{
    // 2 s at 512 kbit/s (64 bytes/ms), then 15 s in which nothing goes out:
    // the link is down (every attempt fails, 10 ms apart) or the process
    // stood still (the clock jumps between two sends). The clock moves on by
    // every pause and by 1 ms at every reading, as a real run's would. The
    // rule's pauses swing around the target, so that a second may hold up to
    // a tenth more. Over any second of the 4 s after the gap, the headless
    // pace is no busier than at the run's start; the dialog's makes up for
    // the gap many times over.
    struct Case {
        const char* gap;
        bool restarts;
        bool stopped;
    };
    const Case cases[] = {
        {"outage", true, false},
        {"stop", true, true},
        {"stop, the dialog's pace", false, true},
    };
    constexpr std::uint64_t kLength = 1032;
    constexpr std::uint64_t kGapFrom = 2000;
    constexpr std::uint64_t kGapMs = 15000;
    constexpr std::uint64_t kTargetPerSecond = 64'000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gap);
        sink.reset();
        attempts.clear();
        clock.restart({0});
        clock.setStep(1);
        clock.setFollowsSleeps(true);
        attemptLimit = 0;
        paceRestarts = c.restarts;
        bool jumped = false;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> sends;   // ms and bytes
        std::uint64_t resumedAt = 0;
        answer = [&](std::size_t at) {
            if (c.stopped && !jumped && clock.peek() >= kGapFrom) {
                clock.jump(kGapMs);
                jumped = true;
            }
            const std::uint64_t now = clock.peek();
            if (!c.stopped && now >= kGapFrom && now < kGapFrom + kGapMs) {
                errno = ENETUNREACH;
                return -1;
            }
            if (now >= kGapFrom + kGapMs && resumedAt == 0)
                resumedAt = now;
            if (resumedAt != 0 && now >= resumedAt + 5000)
                sink.setRunning(false);
            const std::uint64_t bytes = attempts[at].size();
            sends.emplace_back(now, bytes);
            return static_cast<int>(bytes / kLength);
        };
        run();

        // The most bytes sent in a second that starts with a send in [from, to).
        auto busiest = [&sends](std::uint64_t from, std::uint64_t to) {
            std::uint64_t bytes = 0;
            std::uint64_t most = 0;
            for (std::size_t first = 0, end = 0; first < sends.size(); ++first) {
                if (sends[first].first >= to)
                    break;
                for (; end < sends.size() && sends[end].first < sends[first].first + 1000; ++end)
                    bytes += sends[end].second;
                if (sends[first].first >= from)
                    most = std::max(most, bytes);
                bytes -= sends[first].second;
            }
            return most;
        };
        ASSERT_NE(resumedAt, 0u);
        const std::uint64_t atStart = busiest(0, kGapFrom - 1000);
        const std::uint64_t afterGap = busiest(resumedAt, resumedAt + 4000);
        EXPECT_LE(atStart, kTargetPerSecond * 11 / 10);
        if (c.restarts) {
            EXPECT_LE(afterGap, atStart);
        } else {
            EXPECT_GT(afterGap, 4 * kTargetPerSecond);
        }
        EXPECT_EQ(sink.events().outages.size(), c.stopped ? 0u : 2u);
    }
}

TEST_F(SendEngineTest, ARetrySendsTheSameDatagramAndAStopEndsTheRetries)
{
    // Two failed attempts, then the link is back; a stop during the next
    // series of failures ends it after the attempt in progress.
    answer = [](std::size_t at) {
        errno = ENOBUFS;
        return at == 2 ? 1 : -1;
    };
    sink.stopAfterChecks(5);
    run(withPacketSize(4), dir.put("send.txt", "abcdefgh"));
    const std::string first("\xFE\0\0\0\0\0\0\0abcd", 12);
    const std::string second("\xFE\0\0\0\1\0\0\0efgh", 12);
    EXPECT_EQ(attempts, (std::vector<std::string>{first, first, first, second, second}));
    const std::vector<int> failures{1, 2, 1, 2};
    const auto e = sink.events();
    ASSERT_EQ(e.sendStatuses.size(), failures.size());
    for (std::size_t i = 0; i < failures.size(); ++i)
        EXPECT_EQ(e.sendStatuses[i], (SendStatus{SendStatus::SendFailed, failures[i]}));
    EXPECT_EQ(e.outages, (std::vector<SendOutage>{{SendOutage::Down, ENOBUFS},
                                                  {SendOutage::Resumed},
                                                  {SendOutage::Down, ENOBUFS}}));
    // The retries 10 ms apart, the pace's pause between the two datagrams.
    constexpr int kGap = SendEngine::kRetrySpacingMs;
    EXPECT_EQ(pauses(clock), (std::vector<int>{kGap, kGap, 1, kGap}));
}

TEST_F(SendEngineTest, BatchesWithoutAPauseKeepTheStreamAndCountAttemptsPerDatagram)
{
    // 1000 bytes/ms: 1 ms pauses up to the first check, then none. From the
    // 31st datagram on the run goes in one call; it sends ten, the next
    // two calls fail, the fourth sends the other twenty.
    answer = [](std::size_t at) {
        if (at == 30)
            return 10;
        if (at == 31 || at == 32) {
            errno = ENOBUFS;
            return -1;
        }
        return at == 33 ? 20 : 1;
    };
    sink.stopAfterChecks(33);
    clock.restart({0, 200});
    SendSettings settings = withPacketSize(4);
    settings.speedKbps = 8000;
    const std::string source = "abcdefghij";   // a short chunk every third datagram
    run(settings, dir.put("send.txt", source));

    ASSERT_EQ(attempts.size(), 34u);
    EXPECT_EQ(attempts[30].size(), 30u * 12);
    EXPECT_EQ(attempts[31], attempts[33]);
    // What went out: every datagram once, in sequence, the payloads as one
    // read per datagram gives them.
    std::string sent;
    for (std::size_t i = 0; i < attempts.size(); ++i) {
        if (i == 30)
            sent += attempts[i].substr(0, std::size_t{10} * 12);
        else if (i != 31 && i != 32)
            sent += attempts[i];
    }
    ASSERT_EQ(sent.size(), 60u * 12);
    const std::string payloads = payloadStream(source, 4, 60);
    for (std::size_t seq = 0; seq < 60; ++seq) {
        const std::string datagram = sent.substr(seq * 12, 12);
        EXPECT_EQ(datagram.substr(0, 8),
                  std::string("\xFE\0\0\0", 4) + char(seq) + std::string(3, '\0'));
        EXPECT_EQ(datagram.substr(8), payloads.substr(seq * 4, 4)) << seq;
    }
    EXPECT_EQ(sink.events().sendStatuses,
              (std::vector<SendStatus>{{SendStatus::SendFailed, 1}, {SendStatus::SendFailed, 2}}));
    // 1 ms after each paced datagram, then no pause but the retries'.
    std::vector<int> expected(30, 1);
    expected.insert(expected.end(), 2, SendEngine::kRetrySpacingMs);
    EXPECT_EQ(pauses(clock), expected);
    // The checks at 30 and 60 report; the failed batch is one outage.
    EXPECT_EQ(sink.events().reports, (std::vector<SendReport>{{360, 8, 30}, {720, 24, 60}}));
    EXPECT_EQ(sink.events().outages,
              (std::vector<SendOutage>{{SendOutage::Down, ENOBUFS}, {SendOutage::Resumed}}));
}

// Unreadable sources are refused before any channel is made: see the data
// file's and the dialog's tests.
TEST_F(SendEngineTest, AnEmptySourceEndsTheRunInTheStatusLine)
{
    for (const bool emptiedDuringTheRun : {false, true}) {
        const std::string source = dir.put("send.txt", emptiedDuringTheRun ? "abcd" : "");
        sink.reset();
        attempts.clear();
        answer = [&](std::size_t) { return ::truncate(source.c_str(), 0) == 0 ? 1 : -1; };
        run(withPacketSize(4), source);
        const auto e = sink.events();
        EXPECT_EQ(attempts.size(), emptiedDuringTheRun ? 1u : 0u);
        EXPECT_EQ(e.sendStatuses, (std::vector<SendStatus>{{SendStatus::EmptySource}}));
        EXPECT_EQ(e.flashes, lamps(1, Lamp::Error));
        EXPECT_EQ(e.restores, 1);
        EXPECT_EQ(pool.state(0), -1);
    }

    // A packet size of 0 takes nothing from the file: header-only datagrams.
    sink.reset();
    sink.stopAfterChecks(2);
    attempts.clear();
    answer = [](std::size_t) { return 1; };
    run(withPacketSize(0), dir.put("send.txt", ""));
    EXPECT_EQ(attempts.size(), 2u);
    EXPECT_TRUE(sink.events().sendStatuses.empty());
}

TEST_F(SendEngineTest, PeerReceivesNumberedChunksOfSendTxt)
{
    // send.txt beside the executable: 2500 bytes sent as 1000-byte payloads.
    std::string bytes(2500, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    const std::string path = executableDirectory() + "send.txt";
    std::ofstream(path, std::ios::binary) << bytes;

    int peer = -1;
    lab_->start(1,
                [&] {
                    peer = boundSocket(9000);
                    ip_mreq join{};
                    join.imr_multiaddr.s_addr = inet_addr("224.1.1.1");
                    ASSERT_EQ(::setsockopt(peer, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join),
                              0);
                    const timeval wait{5, 0};
                    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
                })
        .join();
    sink.stopAfterChecks(5);
    run(withPacketSize(1000), "");
    std::remove(path.c_str());

    // The short third chunk keeps the tail of the second behind it; the
    // fourth datagram begins again at the start of the file.
    const std::string payloads[] = {bytes.substr(0, 1000), bytes.substr(1000, 1000),
                                    bytes.substr(2000) + bytes.substr(1500, 500),
                                    bytes.substr(0, 1000), bytes.substr(1000, 1000)};
    for (unsigned char seq = 0; seq < 5; ++seq) {
        std::string datagram(2000, '\0');
        ASSERT_EQ(::recv(peer, datagram.data(), datagram.size(), 0), 1008) << int(seq);
        EXPECT_EQ(datagram.substr(0, 8),
                  std::string("\xFE\0\0\0", 4) + char(seq) + std::string(3, '\0'));
        EXPECT_EQ(datagram.substr(8, 1000), payloads[seq]) << int(seq);
    }
    ::close(peer);
}

// Each group of a run is a stream of its own from 0 at the given speed, the
// groups taking the datagrams in turn: the run goes groups times as fast as
// one group's, and every group's interval figures add up to its stream.
TEST_F(SendEngineTest, SeveralGroupsTakeTheDatagramsInTurnEachNumberedFromZeroAtTheSpeed)
{
    struct Case {
        const char* group;
        std::size_t groups;
        int speedKbps;
        std::uint64_t perGroup;
        bool batched;
    };
    const Case cases[] = {
        {"239.1.1.1", 3, 512, 200, false},
        {"ff3e::8000:1", 2, 512, 200, false},
        {"239.2.0.0", 1000, 64, 3, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group);
        const std::vector<IpAddress> groups =
            parseGroupList({c.group + std::string("+") + std::to_string(c.groups - 1)}, kMaxGroups)
                .groups;
        ASSERT_EQ(groups.size(), c.groups);
        sink.reset();
        clock.restart({5000});
        clock.setStep(0);
        clock.setFollowsSleeps(true);
        SendSettings settings = withPacketSize(1024);
        settings.speedKbps = c.speedKbps;
        std::vector<RecordingSender::Datagram> datagrams;
        std::vector<int> calls;
        lab_->start(0,
                    [&] {
                        RecordingSender engine(sink, clock, pool, settings);
                        engine.setSourcePath("");
                        engine.setGroups(groups);
                        engine.setDatagramLimit(c.perGroup * c.groups);
                        engine.setIntervalMs(100);
                        engine.run();
                        datagrams = engine.datagrams;
                        calls = engine.calls;
                    })
            .join();

        ASSERT_EQ(datagrams.size(), c.perGroup * c.groups);
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            const RecordingSender::Datagram expected{i % c.groups,
                                                     static_cast<std::uint32_t>(i / c.groups)};
            ASSERT_EQ(datagrams[i], expected) << "datagram " << i;
        }
        EXPECT_EQ(*std::max_element(calls.begin(), calls.end()) > 1, c.batched);

        const std::vector<SendInterval> intervals = sink.events().sendIntervals;
        ASSERT_FALSE(intervals.empty());
        std::vector<std::uint64_t> sum(c.groups, 0);
        for (const SendInterval& interval : intervals) {
            ASSERT_EQ(interval.groups.size(), c.groups);
            for (std::size_t g = 0; g < c.groups; ++g) {
                sum[g] += interval.groups[g].datagrams;
                EXPECT_EQ(interval.groups[g].totalDatagrams, sum[g]);
                EXPECT_EQ(interval.groups[g].bytes, interval.groups[g].datagrams * 1032);
            }
        }
        EXPECT_EQ(sum, std::vector<std::uint64_t>(c.groups, c.perGroup));
        // The pace: the groups times the speed, within the rule's allowance.
        const SendInterval& last = intervals.back();
        const double kbps = static_cast<double>(last.totalBytes) * 8 /
                            static_cast<double>(last.endMs - intervals.front().startMs);
        const double target = static_cast<double>(c.groups) * c.speedKbps;
        EXPECT_GT(kbps, 0.9 * target);
        EXPECT_LT(kbps, 1.1 * target);
    }
}
