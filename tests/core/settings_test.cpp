#include "core/settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SendSettings, NumbersReadAsAtoiClampedAndNonsenseRefused)
{
    struct Case {
        const char* group;
        const char* port;
        const char* speed;
        const char* size;
        SendSettings expected;   // when refusal is empty
        const char* refusal;
    };
    const Case cases[] = {
        {"224.1.1.1", "9000", "512", "1024", {"224.1.1.1", 9000, 512, 1024}, ""},
        {"239.0.0.9", " 9000 and more", " 1015kbit", "0", {"239.0.0.9", 9000, 1015, 0}, ""},
        {"", "fast", "-8", "16777216", {"", 0, -8, 16777216}, ""},
        {"x", "99999999999", "-99999999999", "1", {"x", 2147483647, -2147483647 - 1, 1}, ""},
        {"224.100.100.100.123", "1", "1", "1", {"224.100.100.100.123", 1, 1, 1}, ""},
        {"224.100.100.100.1234", "1", "1", "1", {}, "组播地址无效."},
        {"224.1.1.1", "1", "1", "-1", {}, "包尺寸无效."},
        {"224.1.1.1", "1", "1", "16777217", {}, "包尺寸无效."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.group) + " " + c.port + " " + c.speed + " " + c.size);
        const Parsed<SendSettings> parsed = SendSettings::parse(c.group, c.port, c.speed, c.size);
        EXPECT_EQ(parsed.refusal, c.refusal);
        ASSERT_EQ(parsed.settings.has_value(), *c.refusal == '\0');
        if (!parsed.settings)
            continue;
        EXPECT_EQ(parsed.settings->group, c.expected.group);
        EXPECT_EQ(parsed.settings->port, c.expected.port);
        EXPECT_EQ(parsed.settings->speedKbps, c.expected.speedKbps);
        EXPECT_EQ(parsed.settings->packetSize, c.expected.packetSize);
    }
}

TEST(ReceiveSettings, TakesAnyGroupAndReadsThePortAsAtoi)
{
    const Parsed<ReceiveSettings> parsed =
        ReceiveSettings::parse("not a group at all, and long", "9001x");
    ASSERT_TRUE(parsed.settings);
    EXPECT_EQ(parsed.settings->group, "not a group at all, and long");
    EXPECT_EQ(parsed.settings->port, 9001);
}

}   // namespace
