#include "core/datagram.h"

#include <cstring>

void TestDatagram::encodeHeader(unsigned char* datagram, std::uint32_t seq)
{
    datagram[0] = kTag;
    datagram[1] = 0;
    datagram[2] = 0;
    datagram[3] = 0;
    // Little-endian on the wire whatever the host's byte order.
    datagram[4] = static_cast<unsigned char>(seq);
    datagram[5] = static_cast<unsigned char>(seq >> 8);
    datagram[6] = static_cast<unsigned char>(seq >> 16);
    datagram[7] = static_cast<unsigned char>(seq >> 24);
}

TestDatagram TestDatagram::parse(const unsigned char* datagram, int length)
{
    TestDatagram result;
    // A tagged datagram too short to hold its sequence number carries none:
    // it is counted and saved whole like an untagged one.
    if (length < kHeaderSize || datagram[0] != kTag)
        return result;
    const std::uint32_t seq = static_cast<std::uint32_t>(datagram[4]) |
                              static_cast<std::uint32_t>(datagram[5]) << 8 |
                              static_cast<std::uint32_t>(datagram[6]) << 16 |
                              static_cast<std::uint32_t>(datagram[7]) << 24;
    result.tagged = true;
    result.seq = static_cast<std::int32_t>(seq);
    result.headerLength = kHeaderSize;
    return result;
}

void SendStamp::encode(unsigned char* payload, std::int64_t ns)
{
    std::memcpy(payload, kMagic, sizeof kMagic);
    const auto bits = static_cast<std::uint64_t>(ns);
    for (int i = 0; i < 8; ++i)
        payload[8 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
}

std::optional<std::int64_t> SendStamp::parse(const unsigned char* payload, int length)
{
    if (length < kSize || std::memcmp(payload, kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits = bits << 8 | payload[8 + i];
    return static_cast<std::int64_t>(bits);
}
