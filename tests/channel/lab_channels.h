#pragma once

#include "channel/csock.h"
#include "channel/dc_channel.h"
#include "core/group_list.h"
#include "tests/support/netns_lab.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

// Builds the channel from a thread inside the host, so that its socket lives
// in that host's namespace; the channel is then used from the test thread.
inline void buildOn(const NetnsLab& lab, int host, DcChannel& channel)
{
    lab.start(host, [&channel] { channel.build(); }).join();
}

// Addresses in tests are written as text.
inline IpAddress ip(std::string_view text)
{
    return parseIpAddress(text).value_or(IpAddress{});
}
inline SocketAddress at(std::string_view text, int port = 0)
{
    return {ip(text), static_cast<std::uint16_t>(port)};
}

inline int boundPort(SocketHandle handle)
{
    sockaddr_in6 sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
        return -1;
    return ntohs(sa.sin6_port);   // where sockaddr_in keeps its port too
}

inline int intOption(SocketHandle handle, int level, int option)
{
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(handle, level, option, &value, &length) == 0 ? value : -1;
}

// Sends payload until the receiver gets a datagram (the first may still meet
// a link that is settling) and returns the receive result. The receiver's
// socket gets a short time-out so that nothing blocks for good.
inline int deliver(DcChannel& sender, DcChannel& receiver, const std::string& group, int port,
                   const std::string& payload, char* buffer, int size, SocketAddress* from)
{
    Csock().attach(receiver.socket()).setReceiveTimeout(100);
    int result = -1;
    for (int attempt = 0; attempt < 50 && result < 0; ++attempt) {
        sender.send(payload.data(), static_cast<int>(payload.size()), at(group, port));
        result = receiver.receive(buffer, size, from);
    }
    return result;
}
