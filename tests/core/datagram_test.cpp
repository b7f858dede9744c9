#include "core/datagram.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

TEST(TestDatagram, EncodesLittleEndianWithZeroPadding)
{
    struct Case {
        std::uint32_t seq;
        std::array<unsigned char, 8> bytes;
    };
    const Case cases[] = {
        {0, {0xFE, 0, 0, 0, 0x00, 0x00, 0x00, 0x00}},
        {1, {0xFE, 0, 0, 0, 0x01, 0x00, 0x00, 0x00}},
        {0x12345678, {0xFE, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}},
        {0x80000000, {0xFE, 0, 0, 0, 0x00, 0x00, 0x00, 0x80}},
        {0xFFFFFFFF, {0xFE, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        std::array<unsigned char, 10> buffer;
        buffer.fill(0xAA);
        TestDatagram::encodeHeader(buffer.data(), c.seq);
        EXPECT_TRUE(std::equal(c.bytes.begin(), c.bytes.end(), buffer.begin())) << c.seq;
        EXPECT_EQ(buffer[8], 0xAA) << "payload untouched";

        const TestDatagram parsed = TestDatagram::parse(buffer.data(), 10);
        EXPECT_TRUE(parsed.tagged);
        EXPECT_EQ(static_cast<std::uint32_t>(parsed.seq), c.seq);
        EXPECT_EQ(parsed.headerLength, 8);
    }
}

TEST(TestDatagram, ParsesTagAndLength)
{
    struct Case {
        std::vector<unsigned char> bytes;
        bool tagged;
        std::int32_t seq;
    };
    const Case cases[] = {
        {{0xFE, 9, 9, 9, 0x05, 0, 0, 0}, true, 5},   // padding ignored
        {{0xFE, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1}, true, -1},
        {{0xFD, 0, 0, 0, 0x05, 0, 0, 0}, false, 0},
        {{0x00, 0, 0, 0, 0x05, 0, 0, 0}, false, 0},
        {{0xFE, 0, 0, 0, 0x05, 0, 0}, false, 0},   // too short for a sequence
        {{0xFE}, false, 0},
        {{}, false, 0},
    };
    for (const Case& c : cases) {
        const TestDatagram parsed =
            TestDatagram::parse(c.bytes.data(), static_cast<int>(c.bytes.size()));
        EXPECT_EQ(parsed.tagged, c.tagged) << c.bytes.size();
        EXPECT_EQ(parsed.seq, c.seq);
        EXPECT_EQ(parsed.headerLength, c.tagged ? 8 : 0);
    }
}
