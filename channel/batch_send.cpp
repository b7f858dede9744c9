#include "channel/batch_send.h"

#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

// One segmented call carries at most one IPv4 datagram's worth of payload
// (a little less than IPv6 would take).
constexpr int kMaxSegmentedBytes = 65507;

}   // namespace

BatchSender::BatchSender(SocketHandle socket, const SocketAddress& to, Path fastest)
    : BatchSender(socket, std::vector<SocketAddress>{to}, fastest)
{
}

BatchSender::BatchSender(SocketHandle socket, const std::vector<SocketAddress>& to, Path fastest)
    : socket_(socket), path_(fastest)
{
    to_.resize(std::max<std::size_t>(to.size(), 1));
    for (std::size_t i = 0; i < to.size(); ++i)
        to_[i].length = systemAddress(to[i], to_[i].address);
    if (to_.size() > 1 && path_ == Path::Segmented)
        path_ = Path::Multiple;
}

const char* BatchSender::pathName(Path path)
{
    switch (path) {
    case Path::Segmented: return "segmented";
    case Path::Multiple: return "multiple";
    case Path::Single: return "single";
    }
    return "";
}

int BatchSender::send(const unsigned char* data, int length, int count, std::size_t first)
{
    int sent = 0;
    while (sent < count) {
        const unsigned char* from = data + static_cast<std::ptrdiff_t>(sent) * length;
        const std::size_t to = (first + static_cast<std::size_t>(sent)) % to_.size();
        const int result = sendOnce(path_, from, length, perCall(path_, length, count - sent), to);
        if (result > 0) {
            sent += result;
            continue;
        }
        const int error = result < 0 ? errno : EIO;
        if (path_ != Path::Single && refuses(path_, error)) {
            path_ = path_ == Path::Segmented ? Path::Multiple : Path::Single;
            continue;
        }
        errno = error;
        break;
    }
    return sent;
}

int BatchSender::perCall(Path path, int length, int count)
{
    switch (path) {
    case Path::Segmented:
        return std::clamp(std::min(count, kMaxSegmentedBytes / std::max(length, 1)), 1,
                          kMaxPerCall);
    case Path::Multiple: return std::min(count, kMaxPerCall);
    case Path::Single: return 1;
    }
    return 1;
}

bool BatchSender::refuses(Path path, int error)
{
    if (path == Path::Segmented) {
        // Kernels without the offload, routes whose MTU is below the
        // datagram, devices that cannot checksum the segments.
        return error == EINVAL || error == EIO || error == EOPNOTSUPP || error == ENOPROTOOPT ||
               error == EMSGSIZE;
    }
    return error == ENOSYS || error == EOPNOTSUPP;
}

int BatchSender::sendOnce(Path path, const unsigned char* data, int length, int count,
                          std::size_t first)
{
    const auto size = static_cast<std::size_t>(length);
    auto destination = [&](int i) -> Destination& {
        return to_[(first + static_cast<std::size_t>(i)) % to_.size()];
    };
    if (path == Path::Single) {
        const Destination& to = destination(0);
        const ssize_t put = ::sendto(socket_, data, size, MSG_NOSIGNAL,
                                     reinterpret_cast<const sockaddr*>(&to.address), to.length);
        return put < 0 ? -1 : 1;
    }

    if (path == Path::Segmented) {
        iovec all{const_cast<unsigned char*>(data), size * static_cast<std::size_t>(count)};
        msghdr message{};
        message.msg_name = &destination(0).address;
        message.msg_namelen = destination(0).length;
        message.msg_iov = &all;
        message.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* segment = CMSG_FIRSTHDR(&message);
        segment->cmsg_level = SOL_UDP;
        segment->cmsg_type = UDP_SEGMENT;
        segment->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
        const auto segmentSize = static_cast<std::uint16_t>(length);
        std::memcpy(CMSG_DATA(segment), &segmentSize, sizeof segmentSize);
        return ::sendmsg(socket_, &message, MSG_NOSIGNAL) < 0 ? -1 : count;
    }

    iovec parts[kMaxPerCall];
    mmsghdr messages[kMaxPerCall];
    std::memset(messages, 0, sizeof messages);
    for (int i = 0; i < count; ++i) {
        parts[i] = {const_cast<unsigned char*>(data) + static_cast<std::ptrdiff_t>(i) * length,
                    size};
        messages[i].msg_hdr.msg_name = &destination(i).address;
        messages[i].msg_hdr.msg_namelen = destination(i).length;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    return ::sendmmsg(socket_, messages, static_cast<unsigned>(count), MSG_NOSIGNAL);
}
