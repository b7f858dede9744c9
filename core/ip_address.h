#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// An IPv4 or IPv6 address as a number, kept once it has been read: groups,
// sources, senders and destinations all travel as this, never as text.
struct IpAddress {
    enum class Family : std::uint8_t { None, V4, V6 };

    Family family = Family::None;
    // Network byte order; an IPv4 address in the first four bytes, the rest 0.
    std::array<std::uint8_t, 16> bytes{};

    // From an IPv4 address in host order.
    static constexpr IpAddress v4(std::uint32_t hostOrder)
    {
        IpAddress a;
        a.family = Family::V4;
        for (int i = 0; i < 4; ++i)
            a.bytes[static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(hostOrder >> (24 - 8 * i));
        return a;
    }
    // The IPv4 address in host order; 0 for any other family.
    std::uint32_t v4Value() const;

    bool isV4() const { return family == Family::V4; }
    bool isV6() const { return family == Family::V6; }
    // 224.0.0.0/4 or ff00::/8.
    bool isMulticast() const;

    // Dotted quad, or the shortest IPv6 form; empty for None.
    std::string text() const;

    bool operator==(const IpAddress&) const = default;
    // IPv4 before IPv6, then by number.
    bool operator<(const IpAddress& other) const
    {
        return family != other.family ? family < other.family : bytes < other.bytes;
    }
};

// An address with a port: where a datagram came from.
struct SocketAddress {
    IpAddress address;
    std::uint16_t port = 0;

    bool operator==(const SocketAddress&) const = default;
};

struct IpAddressHash {
    std::size_t operator()(const IpAddress& a) const noexcept;
};
struct SocketAddressHash {
    std::size_t operator()(const SocketAddress& a) const noexcept;
};
