#include "report/figure_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iterator>

JsonField jsonNumber(std::string_view key, std::uint64_t value)
{
    return {key, std::to_string(value)};
}

JsonField jsonNumber(std::string_view key, std::int64_t value)
{
    return {key, std::to_string(value)};
}

JsonField jsonDecimal(std::string_view key, double value, int decimals)
{
    return {key, std::isfinite(value) ? fixedText(value, decimals) : "null"};
}

std::string fixedText(double value, int decimals)
{
    if (!std::isfinite(value))
        value = 0;
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    std::string out(text, result.ptr);
    // A small negative rounds to "-0.000": no sign on a zero.
    if (out.starts_with('-') && out.find_first_not_of("-0.") == std::string::npos)
        out.erase(0, 1);
    return out;
}

std::string speedText(double kbps)
{
    static constexpr const char* kUnits[] = {"kbit/s", "Mbit/s", "Gbit/s"};
    if (!std::isfinite(kbps) || kbps < 0)
        kbps = 0;
    std::size_t unit = 0;
    // 999.96 would round to 1000.0: the next unit's 1.00 reads better.
    while (kbps >= 999.95 && unit + 1 < std::size(kUnits)) {
        kbps /= 1000;
        ++unit;
    }
    return fixedText(kbps, kbps < 9.995 ? 2 : 1) + " " + kUnits[unit];
}

std::string jsonTexts(const std::vector<std::string>& texts)
{
    std::string array = "[";
    for (const std::string& text : texts)
        array += (array.size() > 1 ? "," : "") + jsonText("", text).value;
    return array + "]";
}

std::string rfc3339(std::chrono::system_clock::time_point at)
{
    const auto sinceEpoch = std::chrono::floor<std::chrono::milliseconds>(at.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const std::time_t whole = seconds.count();
    std::tm local{};
    ::localtime_r(&whole, &local);
    // Minutes east of UTC; no zone is a day away.
    const int offset = static_cast<int>(local.tm_gmtoff / 60 % (24L * 60));
    const int away = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, static_cast<int>((sinceEpoch - seconds).count()),
                  offset < 0 ? '-' : '+', away / 60, away % 60);
    return text;
}

std::string rfc3339Now()
{
    return rfc3339(std::chrono::system_clock::now());
}

JsonField jsonText(std::string_view key, std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return {key, std::move(quoted)};
}
