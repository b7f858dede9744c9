#include "core/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr const char* kGroup = "组播地址无效.";
constexpr const char* kPort = "端口无效.";
constexpr const char* kSpeed = "发送速度无效.";
constexpr const char* kSize = "包尺寸无效.";

// Group and port go through both programs' parsers; speed and size only
// through the sender's.
TEST(Settings, BothProgramsReadStrictlyAndRefuseNonsense)
{
    struct Case {
        const char* group;
        const char* port;
        const char* speed;
        const char* size;
        const char* refusal;   // "" when the run starts
        // The group as the settings give it back, as text; and the rest.
        struct {
            const char* group;
            int port;
            int speedKbps;
            int packetSize;
        } expected;
    };
    const Case cases[] = {
        {"224.1.1.1", "9000", "512", "1024", "", {"224.1.1.1", 9000, 512, 1024}},
        {" 239.255.255.255\t", " 65535 ", "8", "65499", "", {"239.255.255.255", 65535, 8, 65499}},
        {"224.0.0.0", "1", "2147483647", "0", "", {"224.0.0.0", 1, 2147483647, 0}},
        {"224.1", "9000", "512", "1024", kGroup, {}},
        {"224.1.1.1 junk", "9000", "512", "1024", kGroup, {}},
        {"10.0.0.1", "9000", "512", "1024", kGroup, {}},
        {"240.0.0.1", "9000", "512", "1024", kGroup, {}},
        {"223.255.255.255", "9000", "512", "1024", kGroup, {}},
        {"224.1.1.256", "9000", "512", "1024", kGroup, {}},
        {"224.010.1.1", "9000", "512", "1024", kGroup, {}},
        {"", "9000", "512", "1024", kGroup, {}},
        {"224.1.1.1", "70000", "512", "1024", kPort, {}},
        {"224.1.1.1", "-1", "512", "1024", kPort, {}},
        {"224.1.1.1", "9000abc", "512", "1024", kPort, {}},
        {"224.1.1.1", "0", "512", "1024", kPort, {}},
        {"224.1.1.1", "", "512", "1024", kPort, {}},
        {"224.1.1.1", "99999999999999999999", "512", "1024", kPort, {}},
        {"224.1.1.1", "9000", "7", "1024", kSpeed, {}},
        {"224.1.1.1", "9000", "-512", "1024", kSpeed, {}},
        {"224.1.1.1", "9000", "fast", "1024", kSpeed, {}},
        {"224.1.1.1", "9000", "2147483648", "1024", kSpeed, {}},
        {"224.1.1.1", "9000", "", "1024", kSpeed, {}},
        {"224.1.1.1", "9000", "512", "65500", kSize, {}},
        {"224.1.1.1", "9000", "512", "-1", kSize, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.group) + "|" + c.port + "|" + c.speed + "|" + c.size);
        const Parsed<SendSettings> sent = SendSettings::parse(c.group, c.port, c.speed, c.size);
        EXPECT_EQ(sent.refusal, c.refusal);
        ASSERT_EQ(sent.settings.has_value(), *c.refusal == '\0');
        if (sent.settings) {
            EXPECT_EQ(sent.settings->group.text(), c.expected.group);
            EXPECT_EQ(sent.settings->port, c.expected.port);
            EXPECT_EQ(sent.settings->speedKbps, c.expected.speedKbps);
            EXPECT_EQ(sent.settings->packetSize, c.expected.packetSize);
        }

        const std::string refusal = c.refusal;
        const bool receiverRefuses = refusal == kGroup || refusal == kPort;
        const Parsed<ReceiveSettings> received = ReceiveSettings::parse(c.group, c.port);
        EXPECT_EQ(received.refusal, receiverRefuses ? c.refusal : "");
        ASSERT_EQ(received.settings.has_value(), !receiverRefuses);
        if (received.settings) {
            EXPECT_EQ(received.settings->group.text(),
                      c.expected.group ? c.expected.group : c.group);
        }
    }
}

}   // namespace
