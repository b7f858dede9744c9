#pragma once

// Thin wrapper over one IPv4 or IPv6 socket: each step one system call (a
// receive buffer asks for the forced size first, then for what the cap
// allows), addresses as numbers (IpAddress, SocketAddress), read once by the
// caller. Results are 1/0, except sendTo, recvFrom and close, which pass the
// system's result through. The system's reason (errno) of the latest step
// that failed stays in lastError() until another step fails.
//
// Beside it, what a socket's caller asks of the host: addresses for the
// system and back, and the interfaces by name, by address and by route.
//
// A Csock never closes its socket by itself; only close() does. That lets a
// short-lived Csock attach to a channel's socket to change an option.

#include "core/ip_address.h"

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

class Csock {
public:
    enum Type { None = 0, Stream = 1, Datagram = 2 };

    // Creates a socket of the given type and family (0 makes none and
    // returns 1). Returns 1 when the new handle is valid, else 0.
    int init(int type, IpAddress::Family family = IpAddress::Family::V4);

    // Binds to port on local's address; an address of family None means
    // every address of the socket's family. Only the low 16 bits of the
    // port count.
    int bind(const SocketAddress& local);
    int listen();
    int connect(const SocketAddress& peer);
    int setBroadcast();
    // Lets further sockets of the same user bind the same port, each taking
    // only what its own memberships bring (with setMulticastAll off).
    int setReusePort();
    // Membership of group on the interface of that index (0: the system's
    // choice); with a source of a family, for that source's datagrams only.
    int joinGroup(const IpAddress& group, unsigned interfaceIndex, const IpAddress& source = {});
    int leaveGroup(const IpAddress& group, unsigned interfaceIndex, const IpAddress& source = {});
    // The interface multicast leaves by (0: the system's choice); an IPv4
    // socket also keeps the interface's address when given, as it reports it.
    int setMulticastInterface(unsigned interfaceIndex, const IpAddress& address = {});
    // The TTL (IPv4) or hop limit (IPv6) of multicast sent.
    int setMulticastTtl(int ttl);
    // Whether the host's own sockets get a copy of what this one sends to a group.
    int setMulticastLoop(bool on);
    // Whether this socket also takes the datagrams of groups that only other
    // sockets of the host joined (Linux's default: it does).
    int setMulticastAll(bool on);
    // Has every received datagram carry the address it was sent to
    // (IP_PKTINFO, IPV6_RECVPKTINFO).
    int setDestinationInfo();
    int setReceiveTimeout(int milliseconds);
    // Asks for a receive buffer of bytes: forced past net.core.rmem_max when
    // the process may, else as much as that cap allows. 1 when either took.
    int setReceiveBuffer(int bytes);
    // Has every received datagram carry the socket's count of datagrams
    // dropped for want of room (SO_RXQ_OVFL).
    int setDropCount();

    // Bytes sent, or -1.
    int sendTo(const void* data, int length, const SocketAddress& to);

    // Bytes received, or -1 (also for a datagram longer than size, of which
    // the first size bytes stay in the buffer). sender, when given, receives
    // the sender's address and port.
    int recvFrom(void* buffer, int size, SocketAddress* sender = nullptr);

    // 0, or -1. Afterwards the wrapper holds no socket.
    int close();

    // Takes handle in place of the wrapper's own; ownership does not change.
    Csock& attach(SocketHandle handle);

    SocketHandle handle() const { return handle_; }
    IpAddress::Family family() const { return family_; }
    // errno of the latest failed step; 0 while none failed.
    int lastError() const { return error_; }

private:
    // 1 when result is not negative, else 0 with errno kept.
    int done(long result);

    SocketHandle handle_ = kInvalidSocket;
    IpAddress::Family family_ = IpAddress::Family::V4;
    int error_ = 0;
};

// A socket address for the system, and back; its length, 0 for family None.
socklen_t systemAddress(const SocketAddress& address, sockaddr_storage& out);
SocketAddress typedAddress(const sockaddr_storage& in);

// The interface the system's routes send datagrams to destination by, as a
// membership of the system's choice takes it; nothing when no route leads
// there or the routes cannot be asked. Asked in the caller's network namespace.
std::optional<unsigned> routeInterface(const IpAddress& destination);

// The index of an interface of this host given by name ("eth1") or by one of
// its addresses, blanks around it ignored; nothing when no interface has that
// name or address.
std::optional<unsigned> interfaceIndex(std::string_view text);
