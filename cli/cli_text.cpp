#include "cli/cli_text.h"

#include "platform/executable_path.h"

#include <libintl.h>
#include <sys/stat.h>

#include <clocale>
#include <string>

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
