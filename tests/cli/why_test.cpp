// kestil-cli between lab hosts, each case with one known reason why a group
// stays silent (or why it might): the receiver must name that reason and no
// other.

#include "core/datagram.h"
#include "tests/cli/programs.h"
#include "tests/support/cli_process.h"
#include "tests/support/netns_lab.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Runs a program as another user, without the capabilities of root.
constexpr const char* kSetpriv = "/usr/bin/setpriv";

// A sender of numbered datagrams to 224.1.1.1 from lab host 0.
struct Send {
    bool on = false;
    std::string source;   // the address sent from; empty: the system's choice
    int port = 9000;
    std::string interface;   // the interface sent by; empty: the route's
    bool pause = false;      // silent from 1.5 s to 3 s, for an outage
};

void sendUntil(const std::atomic<bool>& stop, const Send& send)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(9001);
    from.sin_addr.s_addr = send.source.empty() ? INADDR_ANY : ::inet_addr(send.source.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<const sockaddr*>(&from), sizeof from), 0);
    if (!send.interface.empty()) {
        ip_mreqn via{};
        via.imr_ifindex = static_cast<int>(::if_nametoindex(send.interface.c_str()));
        ASSERT_EQ(::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via), 0);
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(static_cast<std::uint16_t>(send.port));
    group.sin_addr.s_addr = ::inet_addr("224.1.1.1");
    unsigned char datagram[TestDatagram::kHeaderSize + 100] = {};
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t seq = 0; !stop.load(); ++seq) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        if (!send.pause || ms < 1500 || ms >= 3000) {
            TestDatagram::encodeHeader(datagram, seq);
            ::sendto(s, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&group),
                     sizeof group);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(s);
}

// The events that tell why, as "name" or "name:cause".
const std::set<std::string> kTelling{"silence-cause",      "querier-heard",
                                     "querier-changed",    "querier-missing",
                                     "membership-missing", "link-look-unavailable"};

TEST(WhyLab, EachKnownCauseOfSilenceIsNamedAndNothingElse)
{
    struct Case {
        const char* name;
        std::string receiver;   // commands on host 1, the receiver
        std::string sender;     // on host 0
        std::string bridge;     // on the switch
        Send send;
        const char* membershipSeconds;
        std::string said;                                          // the one telling event
        std::vector<std::pair<std::string, std::string>> fields;   // of that event, as JSON
        int exit;
        const char* lookSeconds = "1";   // longer than the run: cut short by its end
        bool unprivileged = false;       // run without CAP_NET_RAW
    };
    const Case cases[] = {
        {"an nftables drop on the receiving host",
         "nft add table inet why && nft add chain inet why input '{ type filter hook input "
         "priority 0; policy accept; }' && nft add rule inet why input udp dport 9000 drop",
         "",
         "",
         {true, "", 9000, "", false},
         "60",
         "silence-cause:firewall",
         {{"firewall", "\"nftables chain inet why input\""}, {"interface", "\"eth0\""}},
         3},
        {"rp_filter with no route back to the sender",
         "sysctl -qw net.ipv4.conf.all.rp_filter=1",
         "ip addr add 10.55.0.1/32 dev eth0",
         "",
         {true, "10.55.0.1", 9000, "", false},
         "60",
         "silence-cause:reverse-path",
         {{"sender", "\"10.55.0.1\""}, {"rp_filter", "1"}, {"route_back", "null"}},
         3},
        {"a sender to another port",
         "",
         "",
         "",
         {true, "", 9002, "", false},
         "60",
         "silence-cause:other-port",
         {{"port", "9002"}, {"interface", "\"eth0\""}},
         3},
        {"a join on one link while the stream comes on another",
         "",
         "LINK",
         "",
         {true, "", 9000, "mctx0", false},
         "60",
         "silence-cause:other-interface",
         {{"interface", "\"mctx1\""}, {"joined_interface", "\"eth0\""}},
         3},
        {"no sender at all",
         "",
         "",
         "",
         {false, "", 9000, "", false},
         "60",
         "silence-cause:not-delivered",
         {},
         3},
        {"no sender, the look cut short by the run's end",
         "",
         "",
         "",
         {false, "", 9000, "", false},
         "60",
         "silence-cause:not-delivered",
         {{"groups", "1"}},
         3,
         "30"},
        {"a stream dropped by the firewall, seen without CAP_NET_RAW",
         "nft add table inet why && nft add chain inet why input '{ type filter hook input "
         "priority 0; policy drop; }'",
         "",
         "",
         {true, "", 9000, "", false},
         "60",
         "link-look-unavailable",
         {},
         3,
         "1",
         true},
        {"a switch that asks, once a second",
         "",
         "",
         "ip link set br0 type bridge mcast_snooping 1 mcast_querier 1 mcast_query_interval 100 "
         "mcast_startup_query_interval 100 mcast_query_response_interval 50",
         {true, "", 9000, "", true},
         "2",
         "querier-heard",
         {{"version", "\"IGMPv2\""}, {"interface", "\"eth0\""}},
         0},
        {"a snooping switch that never asks",
         "",
         "",
         "ip link set br0 type bridge mcast_snooping 1 mcast_querier 0",
         {true, "", 9000, "", false},
         "2",
         "querier-missing",
         {{"membership_interval", "2"}},
         0},
    };
    const ScopedEnv silent("KESTIL_TEST_SILENT_S");
    const ScopedEnv look("KESTIL_TEST_LOOK_S");
    const ScopedEnv membership("KESTIL_TEST_MEMBERSHIP_S");
    ::setenv("KESTIL_TEST_SILENT_S", "1", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NetnsLab lab(2);
        NETNS_LAB_OR_SKIP(lab);
        ::setenv("KESTIL_TEST_MEMBERSHIP_S", c.membershipSeconds, 1);
        ::setenv("KESTIL_TEST_LOOK_S", c.lookSeconds, 1);
        if (c.sender == "LINK") {
            // A second cable between the hosts; the groups' route stays on eth0.
            ASSERT_EQ(lab.exec(0, "ip link add mctx0 type veth peer name mctx1 netns " +
                                      lab.hostName(1) +
                                      " && ip addr add 10.98.7.1/24 dev mctx0 && ip link set "
                                      "mctx0 up"),
                      0);
            ASSERT_EQ(lab.exec(1, "ip addr add 10.98.7.2/24 dev mctx1 && ip link set mctx1 up"), 0);
        } else if (!c.sender.empty()) {
            ASSERT_EQ(lab.exec(0, c.sender), 0);
        }
        if (!c.receiver.empty()) {
            ASSERT_EQ(lab.exec(1, c.receiver), 0);
        }
        if (!c.bridge.empty()) {
            ASSERT_EQ(lab.execSwitch(c.bridge), 0);
        }

        TempDir dir;
        std::vector<std::string> args{"--json", "--duration", c.send.pause ? "5" : "4"};
        if (c.unprivileged)
            args.insert(args.begin(),
                        {"--reuid=65534", "--regid=65534", "--clear-groups", kKestil});
        const Started receiver =
            spawnIn(lab, 1, dir, "rx", c.unprivileged ? kSetpriv : kKestil, args);
        awaitJoined(receiver);
        std::atomic<bool> stop{false};
        std::thread sender;
        if (c.send.on)
            sender = lab.start(0, [&stop, &c] { sendUntil(stop, c.send); });
        const int code = exitCode(receiver);
        stop = true;
        if (sender.joinable())
            sender.join();
        const std::string err = TempDir::contents(receiver.err);
        EXPECT_EQ(code, c.exit) << err;

        std::vector<std::string> said;
        nlohmann::json telling;
        for (const std::string& line : lines(err)) {
            const nlohmann::json e = nlohmann::json::parse(line);
            const std::string name = e.value("event", "");
            if (name == "joined") {
                EXPECT_EQ(e["interface"], "eth0") << line;
                EXPECT_EQ(e["held"], 1) << line;
            }
            if (kTelling.count(name) == 0)
                continue;
            said.push_back(e.contains("cause") ? name + ":" + e["cause"].get<std::string>() : name);
            telling = e;
        }
        ASSERT_EQ(said, std::vector<std::string>{c.said}) << err;
        for (const auto& field : c.fields)
            EXPECT_EQ(telling[field.first].dump(), field.second) << telling.dump();

        const nlohmann::json final = nlohmann::json::parse(finalObject(receiver));
        if (c.said.rfind("silence-cause:", 0) == 0 && c.said != "silence-cause:not-delivered") {
            EXPECT_GT(final["link_unreceived"].get<int>(), 0) << final.dump();
        }
        if (c.send.pause) {
            // The outage says when the querier was heard, seconds ago at most.
            bool outage = false;
            for (const std::string& line : lines(TempDir::contents(receiver.out))) {
                const nlohmann::json o = nlohmann::json::parse(line);
                if (o.value("type", "") != "outage")
                    continue;
                outage = true;
                EXPECT_LT(o["querier_last_heard_s"].get<double>(), 2.5) << line;
            }
            EXPECT_TRUE(outage);
            EXPECT_EQ(final["querier"], "0.0.0.0") << final.dump();
        }
        if (c.unprivileged) {
            EXPECT_TRUE(final["link_unreceived"].is_null()) << final.dump();
        }
    }
}

}   // namespace
