#pragma once

#include <cstdint>
#include <optional>

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

// The send time a sender may put at the start of a payload, right after the
// header: an 8-byte marker, then the wall clock (CLOCK_REALTIME) in
// nanoseconds since 1970 as a 64-bit number in network byte order. A
// receiver finds it by the marker alone.
class SendStamp {
public:
    static constexpr int kSize = 16;
    static constexpr unsigned char kMagic[8] = {0x8D, 'T', 'S', 't', 'a', 'm', 'p', 0x0A};

    // Writes the marker and ns at payload, which must have kSize bytes.
    static void encode(unsigned char* payload, std::int64_t ns);
    // The send time of a payload of length bytes that starts with a stamp.
    static std::optional<std::int64_t> parse(const unsigned char* payload, int length);
};
