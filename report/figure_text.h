#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One field of a JSON Lines object: a number or a string.
struct JsonField {
    std::string_view key;
    std::string value;   // already JSON: a number, or a quoted string
};

JsonField jsonNumber(std::string_view key, std::uint64_t value);
JsonField jsonNumber(std::string_view key, std::int64_t value);
JsonField jsonText(std::string_view key, std::string_view text);
// value with a fixed number of decimals, e.g. 511.872; null when it is not finite.
JsonField jsonDecimal(std::string_view key, double value, int decimals = 3);

// value with a fixed number of decimals and a point, whatever the locale;
// a value that is not finite reads 0.
std::string fixedText(double value, int decimals);
// A speed given in kbit/s in the unit that fits it, with three or four
// figures: "512.0 kbit/s", "25.2 Mbit/s", "2.52 Gbit/s".
std::string speedText(double kbps);
// A JSON array of strings.
std::string jsonTexts(const std::vector<std::string>& texts);
// RFC 3339 with milliseconds and the local offset, e.g.
// "2026-12-07T23:59:59.123+01:00" (never "Z"), so that the lines of two
// hosts line up.
std::string rfc3339(std::chrono::system_clock::time_point at);
std::string rfc3339Now();
