#include "report/messages.h"

#include "platform/executable_path.h"

#include <libintl.h>
#include <sys/stat.h>

#include <clocale>
#include <string>
#include <string_view>

namespace {

constexpr const char* kDomain = "dovrin-kestil";

bool isDirectory(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}   // namespace

void setUpMessages()
{
    // LC_MESSAGES alone: a locale's decimal comma must not reach the
    // figures, which scripts read.
    std::setlocale(LC_MESSAGES, "");
    const std::string here = executableDirectory();
    // A build keeps its catalogues in <build>/locale, its programs in
    // <build>/cli; installed, they are in <prefix>/share/locale beside
    // <prefix>/bin.
    for (const char* relative : {"../locale", "../share/locale"}) {
        const std::string dir = here + relative;
        if (!here.empty() && isDirectory(dir)) {
            ::bindtextdomain(kDomain, dir.c_str());
            break;
        }
    }
    ::bind_textdomain_codeset(kDomain, "UTF-8");
}

const char* tr(const char* english)
{
    return ::dgettext(kDomain, english);
}

std::string say(const char* english, std::initializer_list<std::string> values)
{
    const std::string_view pattern = tr(english);
    std::string text;
    std::size_t at = 0;
    while (at < pattern.size()) {
        // "{N}" with N from 1 to 9 and a value for it; anything else as it is.
        const std::size_t n = pattern.size() - at >= 3 && pattern[at] == '{' &&
                                      pattern[at + 2] == '}' && pattern[at + 1] >= '1' &&
                                      pattern[at + 1] <= '9'
                                  ? static_cast<std::size_t>(pattern[at + 1] - '1')
                                  : values.size();
        if (n < values.size()) {
            text += *(values.begin() + n);
            at += 3;
        } else {
            text += pattern[at++];
        }
    }
    return text;
}

std::string printableText(std::string_view text)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
            continue;
        }
        out += "\\x";
        out += kDigits[byte >> 4];
        out += kDigits[byte & 0xf];
    }
    return out;
}
