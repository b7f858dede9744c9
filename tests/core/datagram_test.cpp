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

// The send time in network byte order behind its marker, and only a
// payload that starts with the whole marker and has room for the time.
TEST(SendStamp, WrittenInNetworkOrderAndFoundOnlyBehindItsMarker)
{
    std::vector<unsigned char> payload(20, 0xAA);
    SendStamp::encode(payload.data(), 0x0102030405060708);
    EXPECT_EQ(std::vector<unsigned char>(payload.begin() + 8, payload.begin() + 16),
              (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(payload[16], 0xAA);
    EXPECT_EQ(SendStamp::parse(payload.data(), 20), 0x0102030405060708);
    EXPECT_EQ(SendStamp::parse(payload.data(), 16), 0x0102030405060708);
    EXPECT_EQ(SendStamp::parse(payload.data(), 15), std::nullopt);
    SendStamp::encode(payload.data(), -5);   // a clock before 1970 stays itself
    EXPECT_EQ(SendStamp::parse(payload.data(), 16), -5);
    for (int i = 0; i < 8; ++i) {
        std::vector<unsigned char> garbled = payload;
        garbled[static_cast<std::size_t>(i)] ^= 1;
        EXPECT_EQ(SendStamp::parse(garbled.data(), 16), std::nullopt) << i;
    }
}
