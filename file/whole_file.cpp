#include "file/whole_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// Tries of a fresh name for the new file before giving up.
constexpr int kNameTries = 100;

// A name in the folder of name, hidden, that no other writer in this process
// or another picks at the same time: ".<base>.<pid>.<count>.tmp".
std::string temporaryName(const std::string& name)
{
    static std::atomic<unsigned> count{0};
    const std::string::size_type slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    return folder + "." + base + "." + std::to_string(::getpid()) + "." +
           std::to_string(count.fetch_add(1, std::memory_order_relaxed)) + ".tmp";
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

}   // namespace

int replaceWholeFile(const char* name, std::string_view contents)
{
    if (name == nullptr || *name == '\0')
        return ENOENT;
    std::string temporary;
    int fd = -1;
    for (int i = 0; i < kNameTries && fd < 0; ++i) {
        temporary = temporaryName(name);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST && errno != EINTR)
            return errno;
    }
    if (fd < 0)
        return EEXIST;

    int error = writeAll(fd, contents);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    // close reports a failed delayed write on some file systems.
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    if (error == 0 && std::rename(temporary.c_str(), name) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temporary.c_str());
    return error;
}
