#pragma once

#include <string>

// Reads a number from a setting text the way atoi does (leading blanks, a
// sign, digits up to the first other character, 0 without digits), but with
// values beyond int clamped instead of undefined.
int settingNumber(const std::string& text);
