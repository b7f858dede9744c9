#include "core/settings.h"

#include <array>
#include <climits>
#include <cstdint>

namespace {

constexpr std::string_view kBadGroup = "组播地址无效.";
constexpr std::string_view kBadPort = "端口无效.";
constexpr std::string_view kBadSpeed = "发送速度无效.";
constexpr std::string_view kBadPacketSize = "包尺寸无效.";

// A whole number written in decimal digits only, within [low, high].
std::optional<int> wholeNumber(std::string_view text, int low, int high)
{
    if (text.empty())
        return std::nullopt;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > high)
            return std::nullopt;
    }
    if (value < low)
        return std::nullopt;
    return static_cast<int>(value);
}

// A group typed as a dotted quad; nothing for any other text.
std::optional<IpAddress> multicastGroup(std::string_view text)
{
    std::array<int, 4> parts{};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t dot = i + 1 < parts.size() ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const std::string_view part = text.substr(0, dot);
        if (part.size() > 1 && part.front() == '0')
            return std::nullopt;
        const std::optional<int> value = wholeNumber(part, 0, 255);
        if (!value)
            return std::nullopt;
        parts[i] = *value;
        text.remove_prefix(dot == text.size() ? dot : dot + 1);
    }
    if (parts[0] < 224 || parts[0] > 239)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const int part : parts)
        value = value << 8 | static_cast<std::uint32_t>(part);
    return IpAddress::v4(value);
}

}   // namespace

std::optional<int> parsePort(std::string_view text)
{
    return wholeNumber(withoutBlanks(text), 1, 65535);
}

std::optional<int> parseSpeedKbps(std::string_view text)
{
    return wholeNumber(withoutBlanks(text), SendSettings::kMinSpeedKbps, INT_MAX);
}

std::optional<int> parsePacketSize(std::string_view text)
{
    return wholeNumber(withoutBlanks(text), 0, SendSettings::kMaxPacketSize);
}

std::string_view withoutBlanks(std::string_view text)
{
    constexpr std::string_view kBlanks = " \t";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

Parsed<SendSettings> SendSettings::parse(std::string_view group, std::string_view port,
                                         std::string_view speed, std::string_view packetSize)
{
    Parsed<ReceiveSettings> where = ReceiveSettings::parse(group, port);
    if (!where.settings)
        return {std::nullopt, where.refusal};
    SendSettings settings;
    settings.group = where.settings->group;
    settings.port = where.settings->port;
    const std::optional<int> kbps = parseSpeedKbps(speed);
    if (!kbps)
        return {std::nullopt, kBadSpeed};
    const std::optional<int> size = parsePacketSize(packetSize);
    if (!size)
        return {std::nullopt, kBadPacketSize};
    settings.speedKbps = *kbps;
    settings.packetSize = *size;
    return {settings, {}};
}

Parsed<ReceiveSettings> ReceiveSettings::parse(std::string_view group, std::string_view port)
{
    ReceiveSettings settings;
    const std::optional<IpAddress> address = multicastGroup(withoutBlanks(group));
    if (!address)
        return {std::nullopt, kBadGroup};
    settings.group = *address;
    const std::optional<int> portNumber = parsePort(port);
    if (!portNumber)
        return {std::nullopt, kBadPort};
    settings.port = *portNumber;
    return {settings, {}};
}
