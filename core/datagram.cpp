#include "core/datagram.h"

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
