#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text as UTF-8, and text made safe for XML, for the pictures a run draws.

// Appends the code point c as UTF-8.
void appendUtf8(std::string& out, char32_t c);

// The next code point of text at i, moving i past it; U+FFFD for a byte that
// does not start a well-formed UTF-8 sequence (that byte alone is taken).
char32_t nextCodePoint(std::string_view text, std::size_t& i);

// text made safe for an XML text node or attribute value: markup characters
// escaped, characters XML does not allow (and malformed UTF-8) replaced by
// U+FFFD, and cut to at most maxChars characters with an ellipsis.
std::string xmlText(std::string_view text, std::size_t maxChars = 1000);
