#include "channel/csock.h"
#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/group_list.h"
#include "engine/receive_engine.h"
#include "engine/recording_sink.h"
#include "file/capture_file.h"
#include "platform/steady_clock.h"
#include "tests/support/netns_lab.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <net/if.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPort = 9200;

std::vector<IpAddress> groupsOf(const std::string& text)
{
    return parseGroupList({text}, kMaxGroups).groups;
}

// The payload of each datagram: the index of its group and the round, so
// that the capture tells every datagram's group.
std::string payloadOf(std::size_t group, std::uint32_t round)
{
    return "g" + std::to_string(group) + "r" + std::to_string(round) + ";";
}

// One sender of many groups on a lab host: one socket (one address and
// port throughout), no membership, each group with its own sequence.
class GroupSender {
public:
    GroupSender(const NetnsLab& lab, int host, IpAddress::Family family)
    {
        // Made inside the host, the socket stays there whichever thread sends.
        lab.start(host,
                  [&] {
                      if (socket_.init(Csock::Datagram, family) == 1)
                          socket_.setMulticastInterface(::if_nametoindex("eth0"));
                  })
            .join();
    }
    ~GroupSender() { socket_.close(); }
    GroupSender(const GroupSender&) = delete;
    GroupSender& operator=(const GroupSender&) = delete;

    // Rounds [first, last): every group once per round, numbered by the round.
    void send(const std::vector<IpAddress>& groups, std::uint32_t first, std::uint32_t last)
    {
        unsigned char datagram[64] = {};
        for (std::uint32_t round = first; round < last; ++round) {
            for (std::size_t g = 0; g < groups.size(); ++g) {
                TestDatagram::encodeHeader(datagram, round);
                const std::string payload = payloadOf(g, round);
                payload.copy(reinterpret_cast<char*>(datagram) + TestDatagram::kHeaderSize,
                             payload.size());
                const int length = TestDatagram::kHeaderSize + static_cast<int>(payload.size());
                ASSERT_EQ(socket_.sendTo(datagram, length, {groups[g], kPort}), length);
                // Paced well below what the receiver's buffers hold.
                if (++sent_ % 100 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    }

private:
    Csock socket_;
    int sent_ = 0;
};

// A receiver engine on lab host 1 with its own pool, capturing every payload.
class ManyGroupsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NETNS_LAB_OR_SKIP(lab_);
        ASSERT_TRUE(dir_.ok());
        ASSERT_EQ(capture_.open(dir_.file("capture")), 1);
    }

    void TearDown() override
    {
        stop();
        capture_.close();
    }

    void start(const std::vector<IpAddress>& groups, IpAddress source = {},
               std::uint64_t datagrams = 0)
    {
        engine_.setGroups(groups, source);
        engine_.setDatagramLimit(datagrams);
        receiver_ = lab_.start(1, [this] { engine_.run(); });
        ASSERT_TRUE(sink_.waitUntil([](const auto& e) { return e.runningChecks > 0; }));
        ASSERT_EQ(pool_.state(0), 1) << pool_.channel(0)->statusLine();
    }

    // Waits for the run to end at its datagram limit.
    void finish()
    {
        sink_.waitUntil([this](const auto&) { return engine_.slot() < 0; },
                        std::chrono::seconds(30));
        stop();
        capture_.close();
    }

    void stop()
    {
        sink_.setRunning(false);
        if (receiver_.joinable())
            receiver_.join();
    }

    // How many datagrams of each group the capture holds.
    std::map<std::size_t, int> capturedPerGroup() const
    {
        std::map<std::size_t, int> counts;
        const std::string saved = TempDir::contents(dir_.file("capture"));
        for (std::size_t at = 0; (at = saved.find('g', at)) != std::string::npos; ++at)
            ++counts[std::stoul(saved.substr(at + 1))];
        return counts;
    }

    NetnsLab lab_{3};
    TempDir dir_;
    DcPool pool_;
    CaptureFile capture_;
    RecordingSink sink_;
    SteadyClock clock_;
    ReceiveEngine engine_{sink_, capture_, clock_, pool_,
                          ReceiveSettings{*parseIpAddress("239.0.0.1"), kPort}};
    std::thread receiver_;
};

// 300 groups, far past the 20 memberships one socket may hold by default:
// every group arrives whole; then one group's datagrams are dropped on the
// receiving host for 5 rounds, and only that loss shows.
TEST_F(ManyGroupsTest, ThreeHundredGroupsCountEveryDatagramAndOnlyTheDroppedGroupLoses)
{
    const std::vector<IpAddress> groups = groupsOf("239.1.1.1+299");
    constexpr std::uint32_t kRounds = 20;
    const std::size_t dropped = 123;
    start(groups, {}, groups.size() * kRounds - 5);
    EXPECT_GE(pool_.channel(0)->socketCount(), groups.size() / DcChannel::kDefaultMemberships);

    GroupSender sender(lab_, 0, IpAddress::Family::V4);
    sender.send(groups, 0, 5);
    const std::string drop = "nft add table ip lab && nft add chain ip lab in "
                             "'{ type filter hook prerouting priority -300; }' && "
                             "nft add rule ip lab in ip daddr " +
                             groups[dropped].text() + " drop";
    ASSERT_EQ(lab_.exec(1, drop), 0);
    sender.send(groups, 5, 10);
    ASSERT_EQ(lab_.exec(1, "nft delete table ip lab"), 0);
    sender.send(groups, 10, kRounds);
    finish();

    EXPECT_EQ(engine_.totals().datagrams, groups.size() * kRounds - 5);
    EXPECT_EQ(engine_.totals().lost, 5);
    EXPECT_EQ(engine_.totals().stray, 0u);
    EXPECT_EQ(engine_.totals().overflowed, 0u);
    const std::map<std::size_t, int> captured = capturedPerGroup();
    ASSERT_EQ(captured.size(), groups.size());
    for (const auto& [group, count] : captured)
        EXPECT_EQ(count, group == dropped ? 15 : 20) << groups[group].text();
}

// Two senders to the same 40 groups (two sockets, which the system may hand
// each other's groups); the source-specific run counts only the one it
// named, whose figures read as if it were alone.
TEST_F(ManyGroupsTest, ASourceSpecificRunCountsOnlyItsSource)
{
    const std::vector<IpAddress> groups = groupsOf("232.1.1.1+39");
    start(groups, *parseIpAddress(lab_.hostAddress(0)));
    GroupSender named(lab_, 0, IpAddress::Family::V4);
    GroupSender other(lab_, 2, IpAddress::Family::V4);
    named.send(groups, 0, 50);
    other.send(groups, 0, 50);
    named.send(groups, 50, 100);
    ASSERT_TRUE(sink_.waitUntil([](const auto& e) {
        return !e.statistics.empty() && e.statistics.back().datagrams >= 4000;
    }));
    // Time for any of the other source's to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stop();

    EXPECT_EQ(engine_.totals().datagrams, 4000u);
    EXPECT_EQ(engine_.totals().lost, 0);
    EXPECT_EQ(engine_.totals().stray, 0u);
    EXPECT_EQ(engine_.totals().sender.address, *parseIpAddress(lab_.hostAddress(0)));
}

// An IPv6 group end to end: the capture holds every payload, byte for byte.
TEST_F(ManyGroupsTest, AnIpv6GroupArrivesWholeAndTheCaptureIsExact)
{
    const std::vector<IpAddress> groups = groupsOf("ff3e::8000:1");
    start(groups, {}, 200);
    GroupSender(lab_, 0, IpAddress::Family::V6).send(groups, 0, 200);
    finish();

    std::string expected;
    for (std::uint32_t round = 0; round < 200; ++round)
        expected += payloadOf(0, round);
    EXPECT_EQ(engine_.totals().datagrams, 200u);
    EXPECT_EQ(engine_.totals().lost, 0);
    EXPECT_EQ(engine_.totals().sender.address, *parseIpAddress(lab_.hostAddress6(0)));
    EXPECT_TRUE(TempDir::contents(dir_.file("capture")) == expected);
}

}   // namespace
