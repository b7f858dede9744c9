#include "engine/receive_engine.h"

#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "file/capture_file.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/netns_lab.h"
#include "tests/support/recording_sink.h"
#include "tests/support/scripted_clock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kGroup = "239.1.2.3";
constexpr int kPort = 9000;
constexpr auto kNoData = ReceiveStatus::NoData;
constexpr auto kSaveError = ReceiveStatus::SaveFailed;
const ReceiveSettings kSettings{kGroup, kPort};

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
        sink_.setRunning(false);
        if (worker_.joinable())
            worker_.join();
    }

    // Sends from host 0 through a multicast-send channel, pausing every few
    // datagrams so that the receiver's socket buffer never overflows.
    void send(const std::vector<Crafted>& crafted)
    {
        lab_.start(0,
                   [&] {
                       const int slot = peerPool_.acquire(MulticastSend, kGroup, kPort);
                       peerPool_.build(slot);
                       EXPECT_EQ(peerPool_.state(slot), 1);
                       for (std::size_t i = 0; i < crafted.size(); ++i) {
                           const Datagram& wire = crafted[i].wire;
                           const int length = static_cast<int>(wire.size());
                           EXPECT_EQ(peerPool_.send(slot, wire.data(), length, kGroup, kPort),
                                     length);
                           if (i % 10 == 9)
                               std::this_thread::sleep_for(std::chrono::milliseconds(2));
                       }
                       peerPool_.release(slot);
                   })
            .join();
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
    DcPool peerPool_;
    std::thread worker_;
    TempDir dir_;
};

TEST(ReceiveEngineNoSlot, SaysSoAndEndsAtOnce)
{
    DcPool pool;
    ASSERT_EQ(pool.init(1), 1);
    ASSERT_EQ(pool.acquire(MulticastReceive, kGroup, kPort), 0);

    RecordingSink sink;
    CaptureFile capture;
    ScriptedClock clock;
    ReceiveEngine engine(sink, capture, clock, pool, kSettings);
    engine.run();

    const auto e = sink.events();
    EXPECT_EQ(e.receiveStatuses, std::vector<ReceiveStatus>{{ReceiveStatus::NoSlot}});
    EXPECT_EQ(e.flashes, std::vector<Lamp>{Lamp::Error});
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
    traffic.push_back(tagged(13, 50));              // 10, 11, 12 missing
    traffic.push_back(tagged(13, 50));              // repeat
    traffic.push_back(tagged(5, 50));               // reorder: the new baseline
    traffic.push_back(tagged(7, 50));               // 6 missing
    traffic.push_back(whole(Datagram(60, 0x41)));   // untagged
    traffic.push_back(whole(Datagram{TestDatagram::kTag, 1, 2, 3, 4}));   // tagged but too short
    traffic.push_back(tagged(8, 50));
    traffic.push_back(tagged(9, 0));   // header only
    for (int seq = 10; seq <= 41; ++seq)
        traffic.push_back(tagged(seq, 80));
    ASSERT_EQ(traffic.size(), 50u);   // lost so far: 4

    traffic.push_back(tagged(0, 90));   // the sender restarted
    for (int seq = 1; seq <= 28; ++seq)
        traffic.push_back(tagged(seq, 90));
    for (int seq = 39; seq <= 59; ++seq)   // 29 ... 38 missing
        traffic.push_back(tagged(seq, 90));
    ASSERT_EQ(traffic.size(), 100u);   // lost so far: 14

    traffic.push_back(tagged(INT32_MIN, 20));   // step back to the bottom
    traffic.push_back(tagged(INT32_MAX, 20));   // 2^32 - 2 missing
    for (int i = 0; i < 48; ++i)                // wraps into INT32_MIN without loss
        traffic.push_back(tagged(INT32_MIN + i, 20));
    ASSERT_EQ(traffic.size(), 150u);

    start();
    send(traffic);
    waitForStatistics(3);
    stop();

    const std::int64_t lostAt[] = {4, 14, 14 + (std::int64_t{UINT32_MAX} - 1)};
    std::uint64_t bytes = 0;
    std::string saved;
    const auto e = sink_.events();
    ASSERT_EQ(e.statistics.size(), 3u);
    for (std::uint64_t report = 0; report < 3; ++report) {
        for (std::uint64_t i = report * 50; i < (report + 1) * 50; ++i) {
            bytes += traffic[i].wire.size();
            saved.append(traffic[i].saved.begin(), traffic[i].saved.end());
        }
        const std::uint64_t elapsed = 40 * (report + 1);
        SCOPED_TRACE(report);
        const ReceiveReport expected{lab_.hostAddress(0), (report + 1) * 50, bytes,
                                     bytes / elapsed * 8, lostAt[report]};
        EXPECT_EQ(e.statistics[report], expected);
    }
    EXPECT_EQ(e.defaultLamps, std::vector<Lamp>(3, Lamp::Active));
    // Only the no-data reports touched the status line.
    EXPECT_EQ(e.statusCount(kNoData), static_cast<int>(e.receiveStatuses.size()));
    EXPECT_EQ(contents(path("capture.bin")), saved);
    EXPECT_EQ(engine_.slot(), -1);
}

TEST_F(ReceiveEngineTest, StatisticsWaitForTheFiftiethDatagramAndStopEndsWithinASeries)
{
    // The clock never moves: the fiftieth datagram finds no elapsed time,
    // so it shows no figures but still sets the active lamp.
    std::vector<Crafted> traffic;
    for (int seq = 0; seq < 49; ++seq)
        traffic.push_back(tagged(seq, 10));

    start();
    send(traffic);
    settle();
    auto e = sink_.events();
    EXPECT_TRUE(e.statistics.empty());
    EXPECT_TRUE(e.defaultLamps.empty());

    send({tagged(49, 10)});
    settle();
    e = sink_.events();
    EXPECT_TRUE(e.statistics.empty());
    EXPECT_EQ(e.defaultLamps, std::vector<Lamp>{Lamp::Active});

    // Silent group: the run ends at the end of the series in progress.
    const int reportsAtStop = e.statusCount(kNoData);
    stop();
    e = sink_.events();
    EXPECT_LE(e.statusCount(kNoData), reportsAtStop + 1);
    EXPECT_EQ(e.flashCount(Lamp::Error), e.statusCount(kNoData));
    EXPECT_EQ(engine_.slot(), -1);
    EXPECT_EQ(pool_.state(0), -1) << "slot released";
    EXPECT_EQ(clock_.sleeps(), 0) << "a working channel waits in the socket, not the clock";
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
    auto waitForDatagrams = [this](std::uint64_t n) {
        ASSERT_TRUE(sink_.waitUntil([n](const auto& e) {
            return !e.statistics.empty() && e.statistics.back().datagrams == n;
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
    waitForDatagrams(50);
    EXPECT_EQ(sink_.events().statusCount(kSaveError), 0);
    send(batch(50));
    waitForDatagrams(100);
    EXPECT_EQ(sink_.events().statusCount(kSaveError), 1);

    ASSERT_EQ(capture_.open(path("good.bin")), 1);
    send(batch(100));
    waitForDatagrams(150);
    EXPECT_EQ(sink_.events().statusCount(kSaveError), 1);

    ASSERT_EQ(capture_.open(path("full.bin")), 1);   // a new series of failures
    send(batch(150));
    waitForDatagrams(200);
    stop();

    const auto e = sink_.events();
    EXPECT_EQ(e.statusCount(kSaveError), 2);
    EXPECT_EQ(e.flashCount(Lamp::Error), 2 + e.statusCount(kNoData));
    EXPECT_EQ(e.statistics.back().lost, 0);
    EXPECT_EQ(contents(path("good.bin")).size(), 50u * 16);
    EXPECT_EQ(contents(path("full.bin")), full);
}

TEST_F(ReceiveEngineTest, PortAlreadyHeldFailsEveryBuildThenReportsNoDataWithoutSpinning)
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

    start();
    ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.statusCount(kNoData) >= 3; }));
    stop();
    ::close(holder);

    const auto e = sink_.events();
    ASSERT_GE(e.receiveStatuses.size(), 100u);
    for (int attempt = 1; attempt <= 100; ++attempt) {
        const ReceiveStatus expected{ReceiveStatus::BuildFailed, attempt};
        EXPECT_EQ(e.receiveStatuses[attempt - 1], expected);
    }
    const int reports = e.statusCount(kNoData);
    EXPECT_EQ(static_cast<int>(e.receiveStatuses.size()), 100 + reports);
    EXPECT_EQ(e.flashCount(Lamp::Error), 100 + reports);
    // The fake clock stands still, so every miss on the dead channel had to
    // wait out its 10 ms through the clock: one sleep per miss, ten per report.
    EXPECT_EQ(clock_.sleeps(), 10 * reports);
    EXPECT_EQ(clock_.sleptMs(), 100u * reports);
    EXPECT_EQ(engine_.slot(), -1);
}

}   // namespace
