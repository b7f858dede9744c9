#include "channel/csock.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// An IPv4 socket address; only the low 16 bits of port are used.
sockaddr_in socketAddress(in_addr_t address, int port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = address;
    return sa;
}

// inet_addr semantics: a text that does not parse gives INADDR_NONE.
in_addr_t convert(const char* text)
{
    return ::inet_addr(text ? text : "");
}

// An interface given by name or by one of its IPv4 addresses, as the kernel
// takes it in ip_mreqn; both zero for the system's choice. False for a name
// that no interface has.
bool interfaceRequest(const char* interface, ip_mreqn& request)
{
    if (interface == nullptr || interface[0] == '\0')
        return true;
    if (::inet_pton(AF_INET, interface, &request.imr_address) == 1)
        return true;
    request.imr_ifindex = static_cast<int>(::if_nametoindex(interface));
    return request.imr_ifindex != 0;
}

int groupOption(SocketHandle handle, int option, const char* group, const char* interface)
{
    ip_mreqn request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = convert(group);
    if (!interfaceRequest(interface, request))
        return 0;
    return ::setsockopt(handle, IPPROTO_IP, option, &request, sizeof request) >= 0 ? 1 : 0;
}

// Writes the dotted-quad text of an IPv4 address, as inet_ntop does, into
// text (at least 16 bytes). Done by hand: the receive path calls this for
// every datagram, and inet_ntop goes through the printf machinery.
void formatAddress(in_addr address, char* text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
    char* out = text;
    for (int i = 0; i < 4; ++i) {
        const unsigned value = bytes[i];
        if (value >= 100)
            *out++ = static_cast<char>('0' + value / 100);
        if (value >= 10)
            *out++ = static_cast<char>('0' + value / 10 % 10);
        *out++ = static_cast<char>('0' + value % 10);
        *out++ = i < 3 ? '.' : '\0';
    }
}

}   // namespace

int Csock::init(int type)
{
    if (type == None)
        return 1;
    int systemType = type;
    if (type == Stream)
        systemType = SOCK_STREAM;
    else if (type == Datagram)
        systemType = SOCK_DGRAM;
    // Close-on-exec keeps a bound port from lingering in child processes; it
    // is a descriptor flag, not a socket option.
    handle_ = ::socket(AF_INET, systemType | SOCK_CLOEXEC, 0);
    return handle_ >= 0 ? 1 : 0;
}

int Csock::bind(const char* address, int port)
{
    const in_addr_t host =
        (address == nullptr || address[0] == '\0') ? htonl(INADDR_ANY) : convert(address);
    const sockaddr_in sa = socketAddress(host, port);
    return ::bind(handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) >= 0 ? 1 : 0;
}

int Csock::listen()
{
    return ::listen(handle_, 5) >= 0 ? 1 : 0;
}

int Csock::connect(const char* address, int port)
{
    const sockaddr_in sa = socketAddress(convert(address), port);
    return ::connect(handle_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 1 : 0;
}

int Csock::setBroadcast()
{
    const int on = 1;
    return ::setsockopt(handle_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) >= 0 ? 1 : 0;
}

int Csock::joinGroup(const char* group, const char* interface)
{
    return groupOption(handle_, IP_ADD_MEMBERSHIP, group, interface);
}

int Csock::leaveGroup(const char* group, const char* interface)
{
    return groupOption(handle_, IP_DROP_MEMBERSHIP, group, interface);
}

int Csock::setMulticastInterface(const char* interface)
{
    ip_mreqn request;
    std::memset(&request, 0, sizeof request);
    if (!interfaceRequest(interface, request))
        return 0;
    return ::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_IF, &request, sizeof request) >= 0 ? 1
                                                                                             : 0;
}

int Csock::setMulticastTtl(int ttl)
{
    return ::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) >= 0 ? 1 : 0;
}

int Csock::setMulticastLoop(bool on)
{
    const int value = on ? 1 : 0;
    return ::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_LOOP, &value, sizeof value) >= 0 ? 1 : 0;
}

int Csock::setMulticastAll(bool on)
{
    const int value = on ? 1 : 0;
    return ::setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_ALL, &value, sizeof value) >= 0 ? 1 : 0;
}

int Csock::setDestinationInfo()
{
    const int on = 1;
    return ::setsockopt(handle_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0 ? 1 : 0;
}

int Csock::setReceiveTimeout(int milliseconds)
{
    timeval tv;
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    return ::setsockopt(handle_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) >= 0 ? 1 : 0;
}

int Csock::setReceiveBuffer(int bytes)
{
    if (::setsockopt(handle_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0)
        return 1;
    return ::setsockopt(handle_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0 ? 1 : 0;
}

int Csock::setDropCount()
{
    const int on = 1;
    return ::setsockopt(handle_, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0 ? 1 : 0;
}

int Csock::sendTo(const void* data, int length, const char* address, int port)
{
    const sockaddr_in sa = socketAddress(convert(address), port);
    // MSG_NOSIGNAL: a broken stream connection reports -1 instead of raising
    // SIGPIPE and ending the process.
    return static_cast<int>(::sendto(handle_, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                                     reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
}

int Csock::recvFrom(void* buffer, int size, char* senderText, std::uint64_t* sender)
{
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    iovec part{buffer, static_cast<size_t>(size > 0 ? size : 0)};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;

    int result = static_cast<int>(::recvmsg(handle_, &message, 0));
    // Linux hands back the truncated length; a datagram that did not fit
    // counts as a failed receive.
    if (result >= 0 && (message.msg_flags & MSG_TRUNC))
        result = -1;

    if (senderText != nullptr)
        formatAddress(from.sin_addr, senderText);
    if (sender != nullptr)
        *sender = std::uint64_t{ntohl(from.sin_addr.s_addr)} << 16 | ntohs(from.sin_port);
    return result;
}

int Csock::close()
{
    const int result = ::close(handle_);
    handle_ = kInvalidSocket;
    return result;
}

Csock& Csock::attach(SocketHandle handle)
{
    handle_ = handle;
    return *this;
}

std::uint32_t addressValue(const char* text)
{
    in_addr address{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &address) != 1)
        return 0;
    return ntohl(address.s_addr);
}
