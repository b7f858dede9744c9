#include "core/ip_address.h"

#include <arpa/inet.h>

std::uint32_t IpAddress::v4Value() const
{
    if (family != Family::V4)
        return 0;
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

bool IpAddress::isMulticast() const
{
    switch (family) {
    case Family::V4: return (bytes[0] & 0xf0) == 0xe0;
    case Family::V6: return bytes[0] == 0xff;
    case Family::None: break;
    }
    return false;
}

std::string IpAddress::text() const
{
    char text[INET6_ADDRSTRLEN] = {};
    switch (family) {
    case Family::V4: inet_ntop(AF_INET, bytes.data(), text, sizeof text); break;
    case Family::V6: inet_ntop(AF_INET6, bytes.data(), text, sizeof text); break;
    case Family::None: break;
    }
    return text;
}

std::size_t IpAddressHash::operator()(const IpAddress& a) const noexcept
{
    // FNV-1a over the family and the bytes.
    std::uint64_t h = 1469598103934665603ULL ^ static_cast<std::uint8_t>(a.family);
    for (const std::uint8_t b : a.bytes)
        h = (h ^ b) * 1099511628211ULL;
    return static_cast<std::size_t>(h);
}

std::size_t SocketAddressHash::operator()(const SocketAddress& a) const noexcept
{
    return IpAddressHash{}(a.address) * 31 + a.port;
}
