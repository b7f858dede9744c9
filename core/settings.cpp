#include "core/settings.h"

#include <climits>
#include <cstdlib>

namespace {

constexpr std::string_view kBadGroup = "组播地址无效.";
constexpr std::string_view kBadPacketSize = "包尺寸无效.";

// The text up to its first NUL, as a C string reads it.
std::string cText(std::string_view text)
{
    return std::string(text.substr(0, text.find('\0')));
}

int settingNumber(std::string_view text)
{
    const std::string c = cText(text);
    const long long value = std::strtoll(c.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

}   // namespace

Parsed<SendSettings> SendSettings::parse(std::string_view group, std::string_view port,
                                         std::string_view speed, std::string_view packetSize)
{
    SendSettings settings;
    settings.group = cText(group);
    settings.port = settingNumber(port);
    settings.speedKbps = settingNumber(speed);
    settings.packetSize = settingNumber(packetSize);
    if (settings.group.size() > kMaxGroupLength)
        return {std::nullopt, kBadGroup};
    if (settings.packetSize < 0 || settings.packetSize > kMaxPacketSize)
        return {std::nullopt, kBadPacketSize};
    return {std::move(settings), {}};
}

Parsed<ReceiveSettings> ReceiveSettings::parse(std::string_view group, std::string_view port)
{
    return {ReceiveSettings{cText(group), settingNumber(port)}, {}};
}
