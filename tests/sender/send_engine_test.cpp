#include "send_engine.h"

#include "clock.h"
#include "dc_pool.h"
#include "engine_view.h"
#include "executable_path.h"
#include "netns_lab.h"
#include "sender_ids.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace SenderIds;

namespace {

const std::string kBuildFailed = "建立组播推送器失败.";

class FakeView : public EngineView {
public:
    std::map<int, std::string> settings{{IDC_GROUP_ADDR, "224.1.1.1"}, {IDC_PORT, "9000"},
                                        {IDC_SPEED, "512"}, {IDC_PACKET_SIZE, "1024"}};
    int passes = 1 << 30;   // isRunning answers true this many times
    mutable int runningChecks = 0;
    std::vector<std::string> statuses;
    std::vector<int> flashes;
    std::vector<int> defaultLamps;
    int restores = 0;

    bool isRunning() const override { return runningChecks++ < passes; }
    std::string settingText(int id) const override { return settings.at(id); }
    void showStatus(std::string_view text) override { statuses.emplace_back(text); }
    void flashLamp(int id) override { flashes.push_back(id); }
    void setDefaultLamp(int id) override { defaultLamps.push_back(id); }
    void restoreButtons() override { ++restores; }
};

// Answers tickCount from a script (its last entry repeats) and records, in
// order, each sleep as its milliseconds and each tick reading as kTickRead.
class ScriptedClock : public Clock {
public:
    static constexpr int kTickRead = -1;
    std::vector<std::uint64_t> ticks{1000};
    std::size_t read = 0;
    std::vector<int> calls;

    std::uint64_t tickCount() override
    {
        calls.push_back(kTickRead);
        return ticks[std::min(read++, ticks.size() - 1)];
    }
    void sleepMs(int ms) override { calls.push_back(ms); }
    std::size_t sleeps() const { return calls.size() - read; }
};

class SendEngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lab_ = std::make_unique<NetnsLab>(2); }
    static void TearDownTestSuite() { lab_.reset(); }
    void SetUp() override { NETNS_LAB_OR_SKIP(*lab_); }

    // Runs the engine on lab host 0; before is run there first (to occupy a
    // port, say) and after once the run has ended.
    void run(const std::string& source = "/nonexistent/send.txt",
             std::function<void()> before = {}, std::function<void()> after = {})
    {
        lab_->start(0, [&] {
            if (before)
                before();
            SendEngine engine(view, clock, pool);
            engine.setSourcePath(source);
            engine.run();
            if (after)
                after();
        }).join();
    }

    std::string writeSource(const std::string& bytes)
    {
        char name[] = "/tmp/send_engine_XXXXXX";
        const int fd = ::mkstemp(name);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
        temporary_ = name;
        return name;
    }
    void TearDown() override
    {
        if (!temporary_.empty())
            std::remove(temporary_.c_str());
    }

    static std::unique_ptr<NetnsLab> lab_;
    FakeView view;
    ScriptedClock clock;
    DcPool pool;
    std::string temporary_;
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

}  // namespace

TEST_F(SendEngineTest, RefusesBadSettingsAndMissingChannelsWithoutARun)
{
    struct Case { int control; std::string text; std::string status; };
    const Case cases[] = {
        {IDC_PACKET_SIZE, "-1", "包尺寸无效."},
        {IDC_PACKET_SIZE, "16777217", "包尺寸无效."},
        {IDC_GROUP_ADDR, "224.100.100.100.1234", "组播地址无效."},
        {IDC_GROUP_ADDR, "224.100.100.100.123", kBuildFailed},   // 19: allowed, unusable
    };
    for (const Case& c : cases) {
        view = FakeView();
        view.settings[c.control] = c.text;
        DcPool fresh;
        SendEngine engine(view, clock, fresh);
        lab_->start(0, [&] { engine.run(); }).join();
        EXPECT_EQ(view.statuses, std::vector<std::string>{c.status}) << c.text;
        EXPECT_EQ(view.flashes, std::vector<int>{IDC_LAMP_ERROR});
        EXPECT_EQ(view.restores, 1);
        EXPECT_EQ(view.runningChecks, 0);
    }

    view = FakeView();
    pool.init(1);
    pool.acquire(MulticastSend, "224.1.1.1", 9000);   // the only slot
    run();
    EXPECT_EQ(view.statuses, std::vector<std::string>{kBuildFailed});
    EXPECT_EQ(view.flashes, std::vector<int>{IDC_LAMP_ERROR});
    EXPECT_EQ(view.restores, 1);
}

TEST_F(SendEngineTest, BuildFailsWhenThePortIsHeld)
{
    int holder = -1;
    view.settings[IDC_PORT] = " 9000 and more";   // atoi reading: 9000
    run("/nonexistent/send.txt", [&] { holder = boundSocket(9000); }, [&] { ::close(holder); });
    EXPECT_EQ(view.statuses, std::vector<std::string>{kBuildFailed});
    EXPECT_EQ(view.flashes, std::vector<int>{IDC_LAMP_ERROR});
    EXPECT_EQ(view.restores, 1);
    EXPECT_EQ(pool.state(0), -1);   // released
    EXPECT_EQ(pool.channel(0)->port(), 9000);
}

TEST_F(SendEngineTest, PacesWithTheScriptedClockAndStopsWhenAsked)
{
    view.passes = 95;
    // t0, then the readings at datagrams 30 (no time passed), 60 and 90.
    clock.ticks = {1000, 1000, 1100, 3000};
    run();

    // Sleep after every datagram, then the tick reading of every 30th; at 60
    // the average of 619 bytes/ms is too fast, at 90 46 bytes/ms is too slow.
    constexpr int kTick = ScriptedClock::kTickRead;
    std::vector<int> expected{kTick};
    for (const int ms : {1, 1, 2}) {
        expected.insert(expected.end(), 30, ms);
        expected.push_back(kTick);
    }
    EXPECT_EQ(clock.calls, expected);   // and no sleeps at all once down to 0
    EXPECT_EQ(view.statuses,
              (std::vector<std::string>{"推送尺寸: 61920, 速度: 4952", "推送尺寸: 92880, 速度: 368"}));
    EXPECT_EQ(view.flashes, (std::vector<int>{IDC_LAMP_ACTIVE, IDC_LAMP_ACTIVE}));
    EXPECT_EQ(view.defaultLamps, std::vector<int>(95, IDC_LAMP_IDLE));
    EXPECT_EQ(view.runningChecks, 96);
    EXPECT_EQ(view.restores, 1);
    EXPECT_EQ(pool.state(0), -1);
}

TEST_F(SendEngineTest, TargetIsTheSpeedTextOverEightTruncated)
{
    // 30 datagrams of 850 bytes in 200 ms: 127.5 bytes/ms. A target of 126
    // allows 127.26 and slows down; 130 allows 131.3 and speeds up.
    struct Case { std::string speed; int sleepAfter; };
    const Case cases[] = {{" 1015kbit", 2}, {"1040", 0}, {"7", 2}, {"fast", 2}};
    for (const Case& c : cases) {
        view = FakeView();
        view.settings[IDC_SPEED] = c.speed;
        view.settings[IDC_PACKET_SIZE] = "842";
        view.passes = 31;
        clock = ScriptedClock();
        clock.ticks = {0, 200};
        run();
        ASSERT_GE(clock.sleeps(), 30u) << c.speed;
        const int after = clock.sleeps() == 31 ? clock.calls.back() : 0;
        EXPECT_EQ(after, c.sleepAfter) << c.speed;
    }
}

TEST_F(SendEngineTest, GivesUpAfterOneHundredFailedAttempts)
{
    view.settings[IDC_PACKET_SIZE] = "70000";   // beyond any UDP datagram
    run();
    ASSERT_EQ(view.statuses.size(), 100u);
    EXPECT_EQ(view.statuses.front(), "推送数据出现错误: 1.");
    EXPECT_EQ(view.statuses.back(), "推送数据出现错误: 100.");
    EXPECT_EQ(view.flashes, std::vector<int>(100, IDC_LAMP_ERROR));
    EXPECT_EQ(view.runningChecks, 1);
    EXPECT_EQ(clock.sleeps(), 0u);
    EXPECT_EQ(view.restores, 1);
}

TEST_F(SendEngineTest, EmptySourceEndsTheRunWithoutAWord)
{
    // Every attempt goes on a rewind: nothing is sent and nothing shown.
    run(writeSource(""));
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_EQ(clock.sleeps(), 0u);
    EXPECT_EQ(view.restores, 1);
}

TEST_F(SendEngineTest, PeerReceivesNumberedChunksOfSendTxt)
{
    // send.txt beside the executable: 2500 bytes sent as 1000-byte payloads.
    std::string bytes(2500, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    const std::string path = executableDirectory() + "send.txt";
    std::ofstream(path, std::ios::binary) << bytes;
    temporary_ = path;

    int peer = -1;
    lab_->start(1, [&] {
        peer = boundSocket(9000);
        ip_mreq join{};
        join.imr_multiaddr.s_addr = inet_addr("224.1.1.1");
        ASSERT_EQ(::setsockopt(peer, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
        const timeval wait{5, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }).join();
    view.settings[IDC_PACKET_SIZE] = "1000";
    view.passes = 5;
    run("");

    // The short third chunk keeps the tail of the second behind it; the
    // fourth datagram begins again at the start of the file.
    const std::string payloads[] = {bytes.substr(0, 1000), bytes.substr(1000, 1000),
                                    bytes.substr(2000) + bytes.substr(1500, 500),
                                    bytes.substr(0, 1000), bytes.substr(1000, 1000)};
    for (unsigned char seq = 0; seq < 5; ++seq) {
        std::string datagram(2000, '\0');
        ASSERT_EQ(::recv(peer, datagram.data(), datagram.size(), 0), 1008) << int(seq);
        EXPECT_EQ(datagram.substr(0, 8), std::string("\xFE\0\0\0", 4) + char(seq) + std::string(3, '\0'));
        EXPECT_EQ(datagram.substr(8, 1000), payloads[seq]) << int(seq);
    }
    ::close(peer);
}
