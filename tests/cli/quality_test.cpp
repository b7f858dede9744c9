// How datagrams arrive, as kestil-cli tells it between namespace hosts.

#include "core/datagram.h"
#include "tests/cli/programs.h"
#include "tests/support/cli_process.h"
#include "tests/support/netns_lab.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <signal.h>
#include <string>
#include <vector>

namespace {

// Send times in the payloads: the receiver finds them by their marker and
// gives the delay (the hosts share one clock here) and the jitter; the
// capture holds each stamp and then the source's bytes, shifted by it, all of
// them in order. A size too small for the stamp is refused.
TEST(QualityLab, SendTimesGiveTheDelayAndTheSourceFollowsThemWhole)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string source = dir.put("source.bin", randomBytes(300'000, 11));
    const Started refused = spawnIn(lab, 0, dir, "small", kDovrin, {"--timestamps", "-l", "15"});
    EXPECT_EQ(exitCode(refused), 2);
    EXPECT_NE(TempDir::contents(refused.err).find("--timestamps needs a size of at least 16"),
              std::string::npos)
        << TempDir::contents(refused.err);

    const Started receiver =
        spawnIn(lab, 1, dir, "rx", kKestil,
                {"--json", "--save", dir.file("rx.bin"), "--count", "200", "--duration", "60"});
    awaitJoined(receiver);
    const Started sender = spawnIn(lab, 0, dir, "tx", kDovrin,
                                   {"--timestamps", "--count", "200", "--speed", "2000", "--source",
                                    source, "--json", "--quiet"});
    EXPECT_EQ(exitCode(sender), 0) << TempDir::contents(sender.err);
    ASSERT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);

    const auto final = nlohmann::json::parse(finalObject(receiver), nullptr, false);
    EXPECT_EQ(final.value("stamped", 0), 200) << final;
    EXPECT_GE(final.value("delay_min", -1.0), 0) << final;
    EXPECT_LT(final.value("delay_max", 1e9), 50) << final;
    EXPECT_LE(final.value("delay_min", 1e9), final.value("delay_mean", -1.0)) << final;
    EXPECT_LT(final.value("jitter", 1e9), 10) << final;
    EXPECT_EQ(final["senders"][0].value("stamped", 0), 200) << final;

    const std::string captured = TempDir::contents(dir.file("rx.bin"));
    ASSERT_EQ(captured.size(), 200u * 1024);
    std::string shifted;
    for (std::size_t at = 0; at < captured.size(); at += 1024) {
        const auto* payload = reinterpret_cast<const unsigned char*>(captured.data() + at);
        ASSERT_TRUE(SendStamp::parse(payload, 1024)) << at;
        shifted += captured.substr(at + SendStamp::kSize, 1024 - SendStamp::kSize);
    }
    EXPECT_TRUE(shifted == TempDir::contents(source).substr(0, shifted.size()));
}

}   // namespace

namespace {

constexpr const char* kRelay = MCT_RELAY;
constexpr const char* kRelayOut = "10.78.0.1";

// Three hosts: the sender (0) and the relay (1) on the lab's bridge, the
// receiver (2) behind the relay on a link of its own (r0 to r1), its bridge
// link down, so that every datagram it gets crossed the relay.
bool linkBehindRelay(const NetnsLab& lab)
{
    if (lab.exec(1, "ip link add r0 type veth peer name r1 netns " + lab.hostName(2) +
                        " && ip addr add " + kRelayOut + "/24 dev r0 && ip link set r0 up") != 0 ||
        lab.exec(2, "ip link set eth0 down && ip addr add 10.78.0.2/24 dev r1 && "
                    "ip link set r1 up && ip route replace 224.0.0.0/4 dev r1") != 0)
        return false;
    return waitFor([&] { return lab.exec(2, "ip -o link show dev r1 | grep -q 'state UP'") == 0; });
}

struct Relayed {
    std::string final;          // the receiver's final object
    double relayOwnMaxMs = 0;   // the relay's own delay beyond the scripted one, the most
    // Of the stamped datagrams, their delay from their send time to the
    // relay's hand-over, and its jitter: what the receiver should give.
    double sentDelayMinMs = 0, sentDelayMeanMs = 0, sentDelayMaxMs = 0, sentJitterMs = 0;
};

// The number after key in text, and after it the next ones: 0 when missing.
std::vector<double> numbersAfter(const std::string& text, const std::string& key, int count)
{
    std::vector<double> numbers(count, 0.0);
    const std::size_t at = text.find(key + " ");
    EXPECT_NE(at, std::string::npos) << key << " in " << text;
    if (at == std::string::npos)
        return numbers;
    const char* next = text.c_str() + at + key.size();
    for (double& number : numbers)
        number = std::strtod(next, const_cast<char**>(&next));
    return numbers;
}

// One run through the relay, scripted by its arguments after the
// addresses and seconds, of the sender's arguments; the receiver ends at
// the datagrams it expects, the relay then.
Relayed relayRun(const NetnsLab& lab, const TempDir& dir, const std::string& name,
                 const std::vector<std::string>& script, std::vector<std::string> send,
                 int expected)
{
    std::vector<std::string> relayArgs{"224.1.1.1", "9000", lab.hostAddress(1), kRelayOut, "30"};
    relayArgs.insert(relayArgs.end(), script.begin(), script.end());
    const Started relay = spawnIn(lab, 1, dir, name + "-relay", kRelay, relayArgs);
    EXPECT_TRUE(waitFor([&] { return TempDir::contents(relay.out).find("ready") == 0; }))
        << TempDir::contents(relay.err);
    const Started receiver = spawnIn(
        lab, 2, dir, name + "-rx", kKestil,
        {"--json", "--interface", "r1", "--count", std::to_string(expected), "--duration", "30"});
    awaitJoined(receiver);
    send.insert(send.end(), {"--json", "--quiet"});
    const Started sender = spawnIn(lab, 0, dir, name + "-tx", kDovrin, send);
    EXPECT_EQ(exitCode(sender), 0) << TempDir::contents(sender.err);
    EXPECT_EQ(exitCode(receiver), 0) << TempDir::contents(receiver.err);
    ::kill(relay.pid, SIGTERM);
    EXPECT_EQ(exitCode(relay), 0) << TempDir::contents(relay.err);
    Relayed run;
    run.final = finalObject(receiver);
    const std::string said = TempDir::contents(relay.out);
    run.relayOwnMaxMs = numbersAfter(said, "own_max_ms", 1)[0];
    if (said.find("sent_delay_ms") != std::string::npos) {
        const std::vector<double> delay = numbersAfter(said, "sent_delay_ms", 3);
        run.sentDelayMinMs = delay[0];
        run.sentDelayMeanMs = delay[1];
        run.sentDelayMaxMs = delay[2];
        run.sentJitterMs = numbersAfter(said, "sent_jitter_ms", 1)[0];
    }
    return run;
}

// Through the relay, a datagram each 10 ms (108 bytes at 87 kbit/s). 20 ms
// ± 5 ms: the delays and RFC 3550's jitter the relay measured as it handed
// the stamped datagrams on (the jitter well above nothing), and one router
// crossed. The sender's own pacing changes its
// pause by whole ms every 30 datagrams, which the delay factor rightly
// shows, so for the arrival times alone the relay sends the unstamped
// stream evenly each 10 ms: held up by 20 ms ± 5 ms, a delay factor of the
// spacing plus the spread of the delays (nearly 10 ms), and up to as much
// again as the rate runs from the first arrival to the last, each held up by
// its own; a largest gap between the spacing plus 7 ms and plus 10; not held
// up, about the spacing.
TEST(QualityLab, TheRelaysDelayAndJitterAndHopShowAtTheReceiver)
{
    NetnsLab lab(3);
    NETNS_LAB_OR_SKIP(lab);
    ASSERT_TRUE(linkBehindRelay(lab));
    TempDir dir;
    const struct {
        const char* name;
        std::vector<std::string> script;
        bool stamped;
        double factorLow, factorHigh, gapLow, gapHigh;   // ms, less the relay's own most
    } cases[] = {
        {"delay", {"20", "5"}, true, 0, 1e9, 0, 1e9},
        {"paced-delay", {"20", "5", "0", "1", "1", "10"}, false, 17, 30, 17, 20},
        {"paced-steady", {"0", "0", "0", "1", "1", "10"}, false, 9, 11, 9, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> send{"--count", "200", "--size", "100", "--speed", "87"};
        if (c.stamped)
            send.emplace_back("--timestamps");
        const Relayed run = relayRun(lab, dir, c.name, c.script, send, 200);
        const auto f = nlohmann::json::parse(run.final, nullptr, false);
        EXPECT_EQ(f.value("datagrams", 0), 200) << f;
        EXPECT_EQ(f["senders"][0].value("ttl", 0), 19) << f;
        // A busy machine may hold up the relay by its own most.
        const double own = run.relayOwnMaxMs + 2;
        std::printf("%s through the relay: delay factor %.3f ms, largest gap %.3f ms, relay's "
                    "own most %.3f ms\n",
                    c.name, f.value("delay_factor", 0.0), f.value("largest_gap", 0.0),
                    run.relayOwnMaxMs);
        if (!c.stamped) {
            EXPECT_EQ(f.value("stamped", -1), 0) << f;
            EXPECT_GE(f.value("delay_factor", 0.0), c.factorLow) << f;
            EXPECT_LE(f.value("delay_factor", 1e9), c.factorHigh + own) << f;
            EXPECT_GE(f.value("largest_gap", 0.0), c.gapLow) << f;
            EXPECT_LE(f.value("largest_gap", 1e9), c.gapHigh + own) << f;
            EXPECT_EQ(f.value("loss_rate", -1.0), 0) << f;
            continue;
        }
        EXPECT_EQ(f.value("stamped", 0), 200) << f;
        // The scripted delays, as the receiver takes them from the system's
        // arrival times: the same as the relay saw them leave, whatever
        // held up the sender or the relay on a busy machine, so never less
        // than the least scripted.
        EXPECT_GE(f.value("delay_min", 0.0), 15) << f;
        EXPECT_NEAR(f.value("delay_min", 0.0), run.sentDelayMinMs, 1) << f;
        EXPECT_NEAR(f.value("delay_mean", 0.0), run.sentDelayMeanMs, 1) << f;
        EXPECT_NEAR(f.value("delay_max", 0.0), run.sentDelayMaxMs, 2) << f;
        EXPECT_NEAR(f.value("jitter", 0.0), run.sentJitterMs, 0.5) << f;
        EXPECT_GT(f.value("jitter", 0.0), 2.0) << f;
        std::printf("through the relay: delay %.3f/%.3f/%.3f ms, jitter %.3f ms; as sent on "
                    "%.3f/%.3f/%.3f ms, jitter %.3f ms\n",
                    f.value("delay_min", 0.0), f.value("delay_mean", 0.0),
                    f.value("delay_max", 0.0), f.value("jitter", 0.0), run.sentDelayMinMs,
                    run.sentDelayMeanMs, run.sentDelayMaxMs, run.sentJitterMs);
    }
}

// 1 % lost alone and 1 % lost ten at a time: the same loss, told apart by
// the bursts.
TEST(QualityLab, LossesAloneAndInBurstsAreToldApart)
{
    NetnsLab lab(3);
    NETNS_LAB_OR_SKIP(lab);
    ASSERT_TRUE(linkBehindRelay(lab));
    TempDir dir;
    // 108-byte datagrams at 1728 kbit/s: two each ms, for 2 s.
    const std::vector<std::string> send{"--count", "4000", "--size", "100", "--speed", "1728"};
    const auto alone = nlohmann::json::parse(
        relayRun(lab, dir, "alone", {"0", "0", "100", "1"}, send, 3960).final, nullptr, false);
    const auto bursts = nlohmann::json::parse(
        relayRun(lab, dir, "bursts", {"0", "0", "100", "10"}, send, 3960).final, nullptr, false);
    for (const nlohmann::json* f : {&alone, &bursts}) {
        EXPECT_EQ(f->value("lost", 0), 40) << *f;
        EXPECT_EQ(f->value("datagrams", 0), 3960) << *f;
    }
    EXPECT_EQ(alone.value("bursts", -1), 0) << alone;
    EXPECT_EQ(alone.value("burst_longest", 0), 1) << alone;
    EXPECT_NEAR(alone.value("gap_density", 0.0), 1.0, 0.01) << alone;
    EXPECT_EQ(bursts.value("bursts", 0), 4) << bursts;
    EXPECT_EQ(bursts.value("burst_longest", 0), 10) << bursts;
    EXPECT_NEAR(bursts.value("burst_density", 0.0), 100, 0.001) << bursts;
    EXPECT_NEAR(bursts.value("gap_density", 1.0), 0, 0.001) << bursts;
}

}   // namespace
