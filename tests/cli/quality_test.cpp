// How datagrams arrive, as kestil-cli tells it between namespace hosts.

#include "core/datagram.h"
#include "tests/support/cli_process.h"
#include "tests/support/netns_lab.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <string>
#include <vector>

namespace {

constexpr const char* kDovrin = MCT_DOVRIN_CLI;
constexpr const char* kKestil = MCT_KESTIL_CLI;

std::string randomBytes(std::size_t n)
{
    std::mt19937 generator(11);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

// Send times in the payloads: the receiver finds them by their marker and
// gives the delay (the hosts share one clock here) and the jitter; the
// capture holds each stamp and then the source's bytes, shifted by it, all of
// them in order. A size too small for the stamp is refused.
TEST(QualityLab, SendTimesGiveTheDelayAndTheSourceFollowsThemWhole)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    const std::string source = dir.put("source.bin", randomBytes(300'000));
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
