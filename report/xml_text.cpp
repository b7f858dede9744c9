#include "report/xml_text.h"

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

char32_t nextCodePoint(std::string_view text, std::size_t& i)
{
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char first = byte(i);
    int extra = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (first < 0x80) {
        ++i;
        return first;
    }
    if ((first & 0xE0) == 0xC0) {
        extra = 1;
        c = first & 0x1F;
        least = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        extra = 2;
        c = first & 0x0F;
        least = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        extra = 3;
        c = first & 0x07;
        least = 0x10000;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + extra >= text.size()) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++i;
        return 0xFFFD;
    }
    i += static_cast<std::size_t>(extra) + 1;
    return c;
}

std::string xmlText(std::string_view text, std::size_t maxChars)
{
    std::string out;
    std::size_t chars = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (chars == maxChars) {
            appendUtf8(out, U'\u2026');
            break;
        }
        char32_t c = nextCodePoint(text, i);
        if ((c < 0x20 && c != '\t') || c == 0xFFFE || c == 0xFFFF)
            c = 0xFFFD;
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: appendUtf8(out, c);
        }
        ++chars;
    }
    return out;
}
