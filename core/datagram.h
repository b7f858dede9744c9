#pragma once

#include <cstdint>

// The one wire format: tag 0xFE, three zero padding bytes, the sequence
// number as 32-bit little-endian, then the payload.
class TestDatagram {
public:
    static constexpr unsigned char kTag = 0xFE;
    static constexpr int kHeaderSize = 8;

    // Writes the 8 header bytes at the start of datagram.
    static void encodeHeader(unsigned char* datagram, std::uint32_t seq);

    // Reads a received datagram of length bytes.
    static TestDatagram parse(const unsigned char* datagram, int length);

    bool tagged = false;    // carries a sequence number
    std::int32_t seq = 0;   // valid when tagged
    int headerLength = 0;   // 8 when tagged, else 0: the payload follows it
};
