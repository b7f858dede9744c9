#pragma once

#include <cstddef>
#include <random>
#include <string>

// The command-line programs of this build, and payloads to send through them.

inline constexpr const char* kDovrin = MCT_DOVRIN_CLI;
inline constexpr const char* kKestil = MCT_KESTIL_CLI;

// n bytes that look random, the same for the same seed.
inline std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}
