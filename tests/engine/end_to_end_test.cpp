#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/group_list.h"
#include "core/receive_format.h"
#include "engine/receive_engine.h"
#include "engine/recording_sink.h"
#include "engine/send_engine.h"
#include "file/capture_file.h"
#include "platform/steady_clock.h"
#include "tests/support/netns_lab.h"
#include "tests/support/payload_stream.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kGroup = "239.1.2.4";
constexpr int kPort = 9100;
constexpr int kPacketSize = 200;
constexpr int kDatagramSize = kPacketSize + TestDatagram::kHeaderSize;

std::string contents(const std::string& name)
{
    return TempDir::contents(name);
}

// A sender on lab host 0 and a receiver on host 1, each with its own pool.
class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NETNS_LAB_OR_SKIP(lab_);
        ASSERT_TRUE(dir_.ok());
    }

    void TearDown() override
    {
        stopReceiver();
        capture_.close();
    }

    void startReceiver()
    {
        receiver_ = lab_.start(1, [this] { receiveEngine_.run(); });
        ASSERT_TRUE(receiverSink_.waitUntil([](const auto& e) { return e.runningChecks > 0; }));
    }

    void stopReceiver()
    {
        receiverSink_.setRunning(false);
        if (receiver_.joinable())
            receiver_.join();
    }

    // One sender run that stops after exactly n datagrams.
    void runSender(const std::string& sourcePath, int n)
    {
        RecordingSink sink;
        SteadyClock clock;
        // 100 bytes/ms: about 2 ms a datagram, or batches when the machine
        // lags behind the target.
        SendEngine engine(sink, clock, senderPool_,
                          SendSettings{*parseIpAddress(kGroup), kPort, 800, kPacketSize});
        engine.setSourcePath(sourcePath);
        engine.setDatagramLimit(static_cast<std::uint64_t>(n));
        lab_.start(0, [&] { engine.run(); }).join();

        const auto e = sink.events();
        EXPECT_EQ(e.restores, 1);
        EXPECT_EQ(e.flashCount(Lamp::Error), 0);
    }

    // The reports of every 50th datagram, without those of pauses in the
    // flow and the repeat at the end.
    static std::vector<ReceiveReport> everyFifty(const RecordingSink::Events& e)
    {
        std::vector<ReceiveReport> reports;
        for (const ReceiveReport& r : e.statistics)
            if (r.datagrams % 50 == 0 &&
                (reports.empty() || reports.back().datagrams != r.datagrams))
                reports.push_back(r);
        return reports;
    }

    void waitForStatistics(std::size_t reports)
    {
        ASSERT_TRUE(receiverSink_.waitUntil([&](const auto& e) {
            return everyFifty(e).size() >= reports;
        })) << "only "
            << everyFifty(receiverSink_.events()).size() << " statistics reports";
    }

    std::string path(const char* name) const { return dir_.file(name); }

    NetnsLab lab_{2};
    DcPool senderPool_;
    DcPool receiverPool_;
    CaptureFile capture_;
    RecordingSink receiverSink_;
    SteadyClock receiverClock_;
    ReceiveEngine receiveEngine_{receiverSink_, capture_, receiverClock_, receiverPool_,
                                 ReceiveSettings{*parseIpAddress(kGroup), kPort}};
    std::thread receiver_;
    TempDir dir_;
};

TEST_F(EndToEndTest, CaptureHoldsExactlyThePayloadStreamAcrossASenderRestart)
{
    // Three and a half packets: whole chunks, a short one, then the rewind.
    std::string source(kPacketSize * 7 / 2, '\0');
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>('A' + i % 23 + i / kPacketSize);
    const std::string sourcePath = path("send.txt");
    std::ofstream(sourcePath, std::ios::binary) << source;
    ASSERT_EQ(capture_.open(path("Recv.txt")), 1);

    startReceiver();
    runSender(sourcePath, 100);
    runSender(sourcePath, 100);   // starts again at sequence 0
    waitForStatistics(4);
    stopReceiver();

    const auto e = receiverSink_.events();
    const auto statistics = everyFifty(e);
    ASSERT_EQ(statistics.size(), 4u);
    for (int report = 0; report < 4; ++report) {
        const auto& s = statistics[report];
        SCOPED_TRACE(report);
        EXPECT_EQ(senderText(s.sender), lab_.hostAddress(0));
        EXPECT_EQ(s.bytes, (report + 1) * 50u * kDatagramSize);
        EXPECT_EQ(s.datagrams, (report + 1) * 50u);
        EXPECT_EQ(s.lost, 0);
        EXPECT_GT(s.kbps, 0u);
    }
    EXPECT_EQ(e.defaultLamps, std::vector<Lamp>(4, Lamp::Active));
    const std::string expected =
        payloadStream(source, kPacketSize, 100) + payloadStream(source, kPacketSize, 100);
    const std::string saved = contents(path("Recv.txt"));
    ASSERT_EQ(saved.size(), expected.size());
    EXPECT_TRUE(saved == expected) << "capture differs from the payloads sent";
}

TEST_F(EndToEndTest, CaptureAtFullSpeedHoldsEveryPayloadInOrder)
{
    // Unpaced: the sender hands the kernel whole runs, which the receiver
    // takes coalesced, and the capture's writer must keep up. Every payload
    // is a chunk of its own that starts with its number, so that the file
    // can be checked also when the receiver's socket dropped some.
    constexpr int kSize = 1024;
    constexpr int kCount = 20000;
    std::string source(std::size_t{kSize} * kCount, '\0');
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(i % kSize < 4 ? (i / kSize) >> (8 * (i % kSize)) : i * 7 / 3);
    const std::string sourcePath = path("fast.bin");
    std::ofstream(sourcePath, std::ios::binary) << source;
    ASSERT_EQ(capture_.open(path("fast-capture.bin")), 1);
    startReceiver();

    RecordingSink sink;
    SteadyClock clock;
    SendEngine engine(sink, clock, senderPool_,
                      SendSettings{*parseIpAddress(kGroup), kPort, 100000000, kSize});
    engine.setSourcePath(sourcePath);
    engine.setDatagramLimit(kCount);
    lab_.start(0, [&] { engine.run(); }).join();
    // Unpaced, some may be lost on the way (the lab's links queue only so
    // many): the receiver has all it will get once it finds a pause.
    const int pauses = receiverSink_.events().statusCount(ReceiveStatus::NoData);
    ASSERT_TRUE(receiverSink_.waitUntil(
        [pauses](const auto& e) { return e.statusCount(ReceiveStatus::NoData) > pauses; }));
    stopReceiver();

    const ReceiveReport& totals = receiveEngine_.totals();
    EXPECT_EQ(totals.saved, totals.datagrams);
    const std::string saved = contents(path("fast-capture.bin"));
    ASSERT_EQ(saved.size(), std::size_t{kSize} * totals.datagrams);
    std::int64_t previous = -1;
    for (std::size_t at = 0; at < saved.size(); at += kSize) {
        std::uint32_t number = 0;
        std::memcpy(&number, saved.data() + at, sizeof number);
        ASSERT_LT(number, static_cast<std::uint32_t>(kCount));
        ASSERT_GT(static_cast<std::int64_t>(number), previous) << "out of order at " << at;
        ASSERT_TRUE(saved.compare(at, kSize, source, std::size_t{number} * kSize, kSize) == 0)
            << "payload " << number << " differs";
        previous = number;
    }
    EXPECT_GT(totals.datagrams, static_cast<std::uint64_t>(kCount) / 2);
    std::printf("%llu of %d arrived, %llu dropped by the receiver's socket\n",
                static_cast<unsigned long long>(totals.datagrams), kCount,
                static_cast<unsigned long long>(totals.overflowed));
}

TEST_F(EndToEndTest, PeerThatSkipsSequenceNumbersProducesExactlyThatLoss)
{
    const std::set<int> skipped = {5, 17, 18, 19, 60, 61, 62, 63, 64};
    std::vector<int> sequence;
    for (int seq = 0; sequence.size() < 100; ++seq)
        if (!skipped.count(seq))
            sequence.push_back(seq);

    startReceiver();
    lab_.start(0,
               [&] {
                   const int slot = senderPool_.acquire(
                       MulticastSend, SocketAddress{*parseIpAddress(kGroup), kPort});
                   ASSERT_EQ(slot, 0);
                   senderPool_.build(slot);
                   ASSERT_EQ(senderPool_.state(slot), 1);
                   unsigned char datagram[TestDatagram::kHeaderSize + 16] = {};
                   for (std::size_t i = 0; i < sequence.size(); ++i) {
                       TestDatagram::encodeHeader(datagram,
                                                  static_cast<std::uint32_t>(sequence[i]));
                       EXPECT_EQ(senderPool_.send(slot, datagram, sizeof datagram,
                                                  senderPool_.channel(slot)->endpoint()),
                                 static_cast<int>(sizeof datagram));
                       if (i % 10 == 9)
                           std::this_thread::sleep_for(std::chrono::milliseconds(2));
                   }
                   senderPool_.release(slot);
               })
        .join();
    waitForStatistics(2);
    stopReceiver();

    const auto statistics = everyFifty(receiverSink_.events());
    ASSERT_EQ(statistics.size(), 2u);
    EXPECT_EQ(statistics[0].lost, 4);
    EXPECT_EQ(statistics[1].lost, 9);
    EXPECT_EQ(statistics[1].datagrams, 100u);
    EXPECT_EQ(statistics[1].bytes, 100u * (TestDatagram::kHeaderSize + 16));
    // The intervals add up to the run.
    std::uint64_t datagrams = 0;
    std::int64_t lost = 0;
    for (const ReceiveInterval& i : receiverSink_.events().intervals) {
        datagrams += i.interval.datagrams;
        lost += i.interval.lost;
    }
    EXPECT_EQ(datagrams, 100u);
    EXPECT_EQ(lost, 9);
    EXPECT_EQ(receiveEngine_.lastInterval().total.datagrams, 100u);
}

TEST_F(EndToEndTest, AReceiverWhoseLinkIsMadeAgainJoinsAgainAndCountsOn)
{
    // Joined on the interface by name, as an adapter plugged back in keeps
    // its name but not its index.
    MulticastOptions options;
    std::snprintf(options.interface, sizeof options.interface, "eth0");
    receiveEngine_.setMulticastOptions(options);
    startReceiver();

    RecordingSink senderSink;
    SteadyClock senderClock;
    SendEngine sendEngine(senderSink, senderClock, senderPool_,
                          SendSettings{*parseIpAddress(kGroup), kPort, 800, kPacketSize});
    std::thread sender = lab_.start(0, [&] { sendEngine.run(); });
    auto counted = [this] {
        const auto e = receiverSink_.events();
        return e.statistics.empty() ? std::uint64_t{0} : e.statistics.back().datagrams;
    };
    auto countedPast = [this](std::uint64_t n) {
        return receiverSink_.waitUntil(
            [n](const auto& e) {
                return !e.statistics.empty() && e.statistics.back().datagrams >= n;
            },
            std::chrono::seconds(20));
    };
    EXPECT_TRUE(countedPast(100));

    ASSERT_TRUE(lab_.replaceLink(1));
    const std::uint64_t before = counted();
    // The new link has no membership until the receiver joins again, after
    // a few seconds without datagrams.
    EXPECT_TRUE(countedPast(before + 200)) << "counted " << counted() << " of " << before << "+";
    senderSink.setRunning(false);
    sender.join();
    stopReceiver();
    EXPECT_GE(receiveEngine_.rejoins(), 1u);
}

}   // namespace
