#include "report/xml_text.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

TEST(XmlText, MarkupIsEscapedMalformedTextReplacedAndLongTextCut)
{
    const struct {
        const char* text;
        std::size_t maxChars;
        const char* expected;
    } rows[] = {
        {"a<b>&\"'", 1000, "a&lt;b&gt;&amp;&quot;&apos;"},
        {"\x01tab\there", 1000, "\uFFFDtab\there"},
        // Well-formed text of every length stays as it is.
        {"caf\u00e9 \u4e2d\u6587 \U0001F600", 1000, "caf\u00e9 \u4e2d\u6587 \U0001F600"},
        // A stray byte, a sequence cut short, at the end or by a letter, an
        // overlong form and a surrogate: each byte that starts none is one
        // replacement, and what follows is read again.
        {"\xff", 1000, "\uFFFD"},
        {"x\xc3", 1000, "x\uFFFD"},
        {"\xc3\x41", 1000, "\uFFFDA"},
        {"\xc0\xaf", 1000, "\uFFFD\uFFFD"},
        {"\xed\xa0\x80", 1000, "\uFFFD\uFFFD\uFFFD"},
        {"\xef\xbf\xbe", 1000, "\uFFFD"},
        // Cut by characters, not bytes.
        {"abcdef", 3, "abc\u2026"},
        {"\u4e2d\u6587\u5b57", 2, "\u4e2d\u6587\u2026"},
        {"abc", 3, "abc"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(xmlText(r.text, r.maxChars), r.expected) << r.text;
}
