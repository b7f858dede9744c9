#include "channel/batch_receive.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>

// Everything recvmmsg fills in, set up once: each entry points at its own
// buffer, sender address and room for its control messages.
struct BatchReceiver::Slots {
    static constexpr std::size_t kControlSize =
        CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(in6_pktinfo)) +
        CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(timespec));

    mmsghdr messages[kBatch];
    // What each message of the latest receive brought.
    Message received[kBatch];
    iovec parts[kBatch];
    sockaddr_storage from[kBatch];
    alignas(cmsghdr) unsigned char control[kBatch][kControlSize];
};

namespace {

// What a datagram's control messages carry.
struct Carried {
    bool hasDropCount = false;
    std::uint32_t dropCount = 0;
    IpAddress destination;   // none when not carried
    int segment = 0;         // the size of coalesced datagrams, 0 when not carried
    int hopLimit = -1;       // -1 when not carried
    std::int64_t arrivalNs = 0;
};

// A coalesced message can be as long as the longest datagram: a smaller
// buffer would cut many datagrams at once.
constexpr std::size_t kCoalescedBuffer = 65536;

Carried carried(msghdr& message)
{
    Carried found;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&found.dropCount, CMSG_DATA(c), sizeof found.dropCount);
            found.hasDropCount = true;
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            found.destination = IpAddress::v4(ntohl(info.ipi_addr.s_addr));
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            found.destination.family = IpAddress::Family::V6;
            std::memcpy(found.destination.bytes.data(), &info.ipi6_addr, 16);
        } else if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
                   (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) {
            std::memcpy(&found.hopLimit, CMSG_DATA(c), sizeof found.hopLimit);
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec at{};
            std::memcpy(&at, CMSG_DATA(c), sizeof at);
            found.arrivalNs = std::int64_t{at.tv_sec} * 1'000'000'000 + at.tv_nsec;
        } else if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
            std::memcpy(&found.segment, CMSG_DATA(c), sizeof found.segment);
        }
    }
    return found;
}

// Whether count is ahead of latest, as serial numbers: a datagram queued
// before a direct reading of the count carries an older one.
bool isAhead(std::uint32_t count, std::uint32_t latest)
{
    return static_cast<std::int32_t>(count - latest) > 0;
}

}   // namespace

BatchReceiver::BatchReceiver(int bufferSize, bool coalesce)
    : bufferSize_(static_cast<std::size_t>(std::max(bufferSize, 1))),
      // Not cleared: only the bytes a datagram brings are ever read.
      buffers_(std::make_unique_for_overwrite<unsigned char[]>(kBatch * bufferSize_)),
      slots_(std::make_unique<Slots>()), coalescing_(coalesce && bufferSize_ >= kCoalescedBuffer)
{
    for (int i = 0; i < kBatch; ++i) {
        slots_->parts[i] = {buffer(i), bufferSize_};
        msghdr& header = slots_->messages[i].msg_hdr;
        header = {};
        header.msg_name = &slots_->from[i];
        header.msg_iov = &slots_->parts[i];
        header.msg_iovlen = 1;
        header.msg_control = slots_->control[i];
    }
}

BatchReceiver::~BatchReceiver() = default;

int BatchReceiver::receive(SocketHandle socket, int max)
{
    max = std::min(max, kBatch);
    if (max <= 0)
        return 0;
    if (message_ < messages_)
        return present(max);
    if (std::find(asked_.begin(), asked_.end(), socket) == asked_.end()) {
        const int on = 1;
        // Refused by older kernels: each receive then brings one datagram.
        if (coalescing_)
            ::setsockopt(socket, SOL_UDP, UDP_GRO, &on, sizeof on);
        // The socket's own family says yes, the other no; an IPv6 socket
        // takes IPv4 datagrams too, each with its own.
        ::setsockopt(socket, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
        ::setsockopt(socket, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
        asked_.push_back(socket);
    }
    if (arrivalTimes_ && std::find(timed_.begin(), timed_.end(), socket) == timed_.end()) {
        const int on = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        timed_.push_back(socket);
    }
    messages_ = receiveMessages(socket, max);
    message_ = 0;
    offset_ = 0;
    return messages_ == 0 ? 0 : present(max);
}

int BatchReceiver::receiveSystem(SocketHandle socket, int max, Message* messages)
{
    for (int i = 0; i < max; ++i) {
        // The system shortens these to what each datagram brought.
        slots_->messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        slots_->messages[i].msg_hdr.msg_controllen = Slots::kControlSize;
    }
    const int got =
        ::recvmmsg(socket, slots_->messages, static_cast<unsigned>(max), MSG_WAITFORONE, nullptr);
    for (int i = 0; i < got; ++i) {
        mmsghdr& message = slots_->messages[i];
        Message& m = messages[i];
        // A datagram that did not fit counts as a failed receive.
        m.length = (message.msg_hdr.msg_flags & MSG_TRUNC) ? -1 : static_cast<int>(message.msg_len);
        m.sender = typedAddress(slots_->from[i]);
        const Carried found = carried(message.msg_hdr);
        m.hasDropCount = found.hasDropCount;
        m.drops = found.dropCount;
        m.destination = found.destination;
        m.segment = found.segment;
        m.hopLimit = found.hopLimit;
        m.arrivalNs = found.arrivalNs;
    }
    return std::max(got, 0);
}

int BatchReceiver::receiveMessages(SocketHandle socket, int max)
{
    const int got = std::min(receiveSystem(socket, max, slots_->received), max);
    if (got <= 0) {
        std::uint32_t meminfo[SK_MEMINFO_VARS] = {};
        socklen_t size = sizeof meminfo;
        if (::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, meminfo, &size) == 0 &&
            size > SK_MEMINFO_DROPS * sizeof(std::uint32_t) &&
            isAhead(meminfo[SK_MEMINFO_DROPS], latestDrops_))
            latestDrops_ = meminfo[SK_MEMINFO_DROPS];
        return 0;
    }
    for (int i = 0; i < got; ++i) {
        Message& m = slots_->received[i];
        if (m.hasDropCount && isAhead(m.drops, latestDrops_))
            latestDrops_ = m.drops;
        m.drops = latestDrops_;
        // One datagram, or whatever the segment size says: not coalesced.
        m.segment = m.segment > 0 && m.length > m.segment ? m.segment : 0;
    }
    return got;
}

int BatchReceiver::present(int max)
{
    int n = 0;
    for (; n < max && message_ < messages_; ++n) {
        const Message& m = slots_->received[message_];
        int length = m.length;
        data_[n] = buffer(message_) + offset_;
        if (m.segment > 0) {
            // The next datagram of a coalesced message; the last may be short.
            length = std::min(m.segment, m.length - static_cast<int>(offset_));
            offset_ += static_cast<std::size_t>(length);
            ++coalesced_;
        }
        if (m.segment == 0 || offset_ >= static_cast<std::size_t>(m.length)) {
            ++message_;
            offset_ = 0;
        }
        lengths_[n] = length;
        senders_[n] = m.sender;
        drops_[n] = m.drops;
        destinations_[n] = m.destination;
        hopLimits_[n] = m.hopLimit;
        arrivalNs_[n] = m.arrivalNs;
    }
    return n;
}
