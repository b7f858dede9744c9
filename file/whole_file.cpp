#include "file/whole_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Tries of a fresh name for the new file before giving up.
constexpr int kNameTries = 100;

// 0 when name is a regular file or nothing at all; else why it must not be
// replaced.
int targetError(const char* name)
{
    struct stat named {};
    if (::lstat(name, &named) != 0)
        return errno == ENOENT ? 0 : errno;
    if (S_ISREG(named.st_mode))
        return 0;
    if (S_ISLNK(named.st_mode))
        return ELOOP;
    return S_ISDIR(named.st_mode) ? EISDIR : EINVAL;
}

// A name in the folder of name, hidden, with twelve random letters and
// digits, so that no other writer can tell it in advance and plant
// something there: ".<base>.<random>.tmp".
std::string temporaryName(const std::string& name)
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char random[12] = {};
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            break;
    }
    std::string part;
    for (const unsigned char byte : random)
        part += kAlphabet[byte % (sizeof kAlphabet - 1)];
    const std::string::size_type slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    return folder + "." + base + "." + part + ".tmp";
}

// A new, empty file beside name, opened for writing; -1 with errno when none
// could be made.
int createTemporary(const char* name, std::string& temporary)
{
    for (int i = 0; i < kNameTries; ++i) {
        temporary = temporaryName(name);
        const int fd =
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0 || (errno != EEXIST && errno != EINTR))
            return fd;
    }
    errno = EEXIST;
    return -1;
}

int writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return EIO;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

// Refuses a name that is not a regular file (when it exists), then creates
// a temporary file beside it; 0 with fd and temporary set, or the reason.
int openTemporaryFor(const char* name, std::string& temporary, int& fd)
{
    if (name == nullptr || *name == '\0')
        return ENOENT;
    if (const int error = targetError(name); error != 0)
        return error;
    fd = createTemporary(name, temporary);
    return fd < 0 ? errno : 0;
}

}   // namespace

int replaceWholeFile(const char* name, std::string_view contents)
{
    std::string temporary;
    int fd = -1;
    if (const int error = openTemporaryFor(name, temporary, fd); error != 0)
        return error;

    int error = writeAll(fd, contents);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    // close reports a failed delayed write on some file systems.
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    // Looked at again: the name may have become something else meanwhile.
    if (error == 0)
        error = targetError(name);
    if (error == 0 && std::rename(temporary.c_str(), name) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temporary.c_str());
    return error;
}

int checkWholeFile(const char* name)
{
    std::string temporary;
    int fd = -1;
    if (const int error = openTemporaryFor(name, temporary, fd); error != 0)
        return error;
    ::close(fd);
    ::unlink(temporary.c_str());
    return 0;
}
