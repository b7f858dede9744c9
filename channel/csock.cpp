#include "channel/csock.h"

#include "core/group_list.h"
#include "core/settings.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

// Older system headers lack the IPv6 counterpart of IP_MULTICAST_ALL (Linux 4.20).
#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace {

int domainOf(IpAddress::Family family)
{
    return family == IpAddress::Family::V6 ? AF_INET6 : AF_INET;
}

bool isV6(IpAddress::Family family)
{
    return family == IpAddress::Family::V6;
}

}   // namespace

socklen_t systemAddress(const SocketAddress& address, sockaddr_storage& out)
{
    std::memset(&out, 0, sizeof out);
    switch (address.address.family) {
    case IpAddress::Family::V4: {
        auto& sa = reinterpret_cast<sockaddr_in&>(out);
        sa.sin_family = AF_INET;
        sa.sin_port = htons(address.port);
        std::memcpy(&sa.sin_addr, address.address.bytes.data(), 4);
        return sizeof sa;
    }
    case IpAddress::Family::V6: {
        auto& sa = reinterpret_cast<sockaddr_in6&>(out);
        sa.sin6_family = AF_INET6;
        sa.sin6_port = htons(address.port);
        std::memcpy(&sa.sin6_addr, address.address.bytes.data(), 16);
        return sizeof sa;
    }
    case IpAddress::Family::None: break;
    }
    return 0;
}

SocketAddress typedAddress(const sockaddr_storage& in)
{
    SocketAddress a;
    if (in.ss_family == AF_INET) {
        const auto& sa = reinterpret_cast<const sockaddr_in&>(in);
        a.address.family = IpAddress::Family::V4;
        std::memcpy(a.address.bytes.data(), &sa.sin_addr, 4);
        a.port = ntohs(sa.sin_port);
    } else if (in.ss_family == AF_INET6) {
        const auto& sa = reinterpret_cast<const sockaddr_in6&>(in);
        a.address.family = IpAddress::Family::V6;
        std::memcpy(a.address.bytes.data(), &sa.sin6_addr, 16);
        a.port = ntohs(sa.sin6_port);
    }
    return a;
}

int Csock::done(long result)
{
    if (result >= 0)
        return 1;
    error_ = errno;
    return 0;
}

int Csock::init(int type, IpAddress::Family family)
{
    if (type == None)
        return 1;
    int systemType = type;
    if (type == Stream)
        systemType = SOCK_STREAM;
    else if (type == Datagram)
        systemType = SOCK_DGRAM;
    family_ = isV6(family) ? IpAddress::Family::V6 : IpAddress::Family::V4;
    // Close-on-exec keeps a bound port from lingering in child processes; it
    // is a descriptor flag, not a socket option.
    handle_ = ::socket(domainOf(family_), systemType | SOCK_CLOEXEC, 0);
    return done(handle_);
}

int Csock::bind(const SocketAddress& local)
{
    SocketAddress where = local;
    if (where.address.family == IpAddress::Family::None)
        where.address.family = family_;   // all zero: every address
    sockaddr_storage sa;
    const socklen_t length = systemAddress(where, sa);
    return done(::bind(handle_, reinterpret_cast<const sockaddr*>(&sa), length));
}

int Csock::listen()
{
    return done(::listen(handle_, 5));
}

int Csock::connect(const SocketAddress& peer)
{
    sockaddr_storage sa;
    const socklen_t length = systemAddress(peer, sa);
    return done(::connect(handle_, reinterpret_cast<const sockaddr*>(&sa), length));
}

int Csock::setBroadcast()
{
    const int on = 1;
    return done(::setsockopt(handle_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on));
}

int Csock::setReusePort()
{
    const int on = 1;
    return done(::setsockopt(handle_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on));
}

namespace {

int membership(SocketHandle handle, bool join, const IpAddress& group, unsigned interfaceIndex,
               const IpAddress& source)
{
    const int level = group.isV6() ? IPPROTO_IPV6 : IPPROTO_IP;
    if (source.family == IpAddress::Family::None) {
        group_req request;
        std::memset(&request, 0, sizeof request);
        request.gr_interface = interfaceIndex;
        systemAddress({group, 0}, request.gr_group);
        return ::setsockopt(handle, level, join ? MCAST_JOIN_GROUP : MCAST_LEAVE_GROUP, &request,
                            sizeof request);
    }
    group_source_req request;
    std::memset(&request, 0, sizeof request);
    request.gsr_interface = interfaceIndex;
    systemAddress({group, 0}, request.gsr_group);
    systemAddress({source, 0}, request.gsr_source);
    return ::setsockopt(handle, level, join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP,
                        &request, sizeof request);
}

}   // namespace

int Csock::joinGroup(const IpAddress& group, unsigned interfaceIndex, const IpAddress& source)
{
    return done(membership(handle_, true, group, interfaceIndex, source));
}

int Csock::leaveGroup(const IpAddress& group, unsigned interfaceIndex, const IpAddress& source)
{
    return done(membership(handle_, false, group, interfaceIndex, source));
}

int Csock::setMulticastInterface(unsigned interfaceIndex, const IpAddress& address)
{
    if (isV6(family_)) {
        return done(::setsockopt(handle_, IPPROTO_IPV6, IPV6_MULTICAST_IF, &interfaceIndex,
                                 sizeof interfaceIndex));
    }
    ip_mreqn request;
    std::memset(&request, 0, sizeof request);
    request.imr_ifindex = static_cast<int>(interfaceIndex);
    if (address.isV4())
        std::memcpy(&request.imr_address, address.bytes.data(), 4);
    return done(::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request));
}

int Csock::setMulticastTtl(int ttl)
{
    if (isV6(family_))
        return done(::setsockopt(handle_, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof ttl));
    return done(::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl));
}

int Csock::setMulticastLoop(bool on)
{
    const int value = on ? 1 : 0;
    if (isV6(family_))
        return done(::setsockopt(handle_, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &value, sizeof value));
    return done(::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_LOOP, &value, sizeof value));
}

int Csock::setMulticastAll(bool on)
{
    const int value = on ? 1 : 0;
    if (isV6(family_))
        return done(::setsockopt(handle_, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &value, sizeof value));
    return done(::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_ALL, &value, sizeof value));
}

int Csock::setDestinationInfo()
{
    const int on = 1;
    if (isV6(family_))
        return done(::setsockopt(handle_, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on));
    return done(::setsockopt(handle_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on));
}

int Csock::setReceiveTimeout(int milliseconds)
{
    timeval tv;
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return done(::setsockopt(handle_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
}

int Csock::setReceiveBuffer(int bytes)
{
    if (::setsockopt(handle_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0)
        return 1;
    return done(::setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes));
}

int Csock::setDropCount()
{
    const int on = 1;
    return done(::setsockopt(handle_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on));
}

int Csock::sendTo(const void* data, int length, const SocketAddress& to)
{
    sockaddr_storage sa;
    const socklen_t size = systemAddress(to, sa);
    // MSG_NOSIGNAL: a broken stream connection reports -1 instead of raising
    // SIGPIPE and ending the process.
    const auto result = ::sendto(handle_, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&sa), size);
    done(result);
    return static_cast<int>(result);
}

int Csock::recvFrom(void* buffer, int size, SocketAddress* sender)
{
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
    iovec part{buffer, static_cast<size_t>(size > 0 ? size : 0)};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;

    int result = static_cast<int>(::recvmsg(handle_, &message, 0));
    done(result);
    // Linux hands back the truncated length; a datagram that did not fit
    // counts as a failed receive.
    if (result >= 0 && (message.msg_flags & MSG_TRUNC)) {
        result = -1;
        error_ = EMSGSIZE;
    }
    if (sender != nullptr)
        *sender = typedAddress(from);
    return result;
}

int Csock::close()
{
    const int result = ::close(handle_);
    done(result);
    handle_ = kInvalidSocket;
    return result;
}

Csock& Csock::attach(SocketHandle handle)
{
    handle_ = handle;
    int domain = AF_INET;
    socklen_t length = sizeof domain;
    if (::getsockopt(handle, SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0)
        family_ = domain == AF_INET6 ? IpAddress::Family::V6 : IpAddress::Family::V4;
    return *this;
}

std::optional<unsigned> routeInterface(const IpAddress& destination)
{
    if (destination.family == IpAddress::Family::None)
        return std::nullopt;
    const int link = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (link < 0)
        return std::nullopt;
    const bool v6 = destination.isV6();
    const unsigned length = v6 ? 16 : 4;
    struct {
        nlmsghdr header;
        rtmsg route;
        rtattr destination;
        unsigned char address[16];
    } request{};
    request.header.nlmsg_len = static_cast<unsigned>(offsetof(decltype(request), address)) + length;
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.route.rtm_family = v6 ? AF_INET6 : AF_INET;
    request.route.rtm_dst_len = static_cast<unsigned char>(length * 8);
    request.destination.rta_type = RTA_DST;
    request.destination.rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
    std::memcpy(request.address, destination.bytes.data(), length);

    std::optional<unsigned> found;
    unsigned char reply[4096];
    const auto got = ::send(link, &request, request.header.nlmsg_len, 0) >= 0
                         ? ::recv(link, reply, sizeof reply, 0)
                         : -1;
    // The route's attributes follow its header; an error comes back as
    // NLMSG_ERROR instead, which has none.
    nlmsghdr header{};
    if (got >= static_cast<long>(sizeof header))
        std::memcpy(&header, reply, sizeof header);
    const std::size_t end = std::min<std::size_t>(header.nlmsg_len, got > 0 ? got : 0);
    std::size_t at = NLMSG_ALIGN(sizeof header) + NLMSG_ALIGN(sizeof(rtmsg));
    while (header.nlmsg_type == RTM_NEWROUTE && at + sizeof(rtattr) <= end) {
        rtattr attribute{};
        std::memcpy(&attribute, reply + at, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || at + attribute.rta_len > end)
            break;
        int index = 0;
        if (attribute.rta_type == RTA_OIF && attribute.rta_len >= sizeof attribute + sizeof index) {
            std::memcpy(&index, reply + at + sizeof attribute, sizeof index);
            if (index > 0)
                found = static_cast<unsigned>(index);
        }
        at += RTA_ALIGN(attribute.rta_len);
    }
    ::close(link);
    return found;
}

std::optional<unsigned> interfaceIndex(std::string_view text)
{
    text = withoutBlanks(text);
    if (text.empty() || text.size() >= IF_NAMESIZE + INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::optional<IpAddress> address = parseIpAddress(text);
    if (!address) {
        const unsigned index = ::if_nametoindex(std::string(text).c_str());
        return index != 0 ? std::optional<unsigned>(index) : std::nullopt;
    }
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return std::nullopt;
    std::optional<unsigned> found;
    for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr)
            continue;
        IpAddress mine;
        if (i->ifa_addr->sa_family == AF_INET) {
            mine.family = IpAddress::Family::V4;
            std::memcpy(mine.bytes.data(),
                        &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, 4);
        } else if (i->ifa_addr->sa_family == AF_INET6) {
            mine.family = IpAddress::Family::V6;
            std::memcpy(mine.bytes.data(),
                        &reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, 16);
        }
        if (mine == *address) {
            const unsigned index = ::if_nametoindex(i->ifa_name);
            if (index != 0)
                found = index;
        }
    }
    ::freeifaddrs(list);
    return found;
}
