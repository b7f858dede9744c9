#pragma once

// Thin wrapper over one IPv4 socket: one operation per socket call, addresses
// as dotted text and ports as ints, converted at every call. Results are 1/0,
// except sendTo, recvFrom and close, which pass the system's result through.
//
// A Csock never closes its socket by itself; only close() does. That lets a
// short-lived Csock attach to a channel's socket to change an option.

#include <cstdint>

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

class Csock {
public:
    enum Type { None = 0, Stream = 1, Datagram = 2 };

    // Creates a socket of the given type (0 makes none and returns 1).
    // Returns 1 when the new handle is valid, else 0.
    int init(int type);

    // Binds to port on address; the empty text means all interfaces.
    int bind(const char* address, int port);
    int listen();
    int connect(const char* address, int port);
    int setBroadcast();
    // interface names the interface by name or address; nullptr or the empty
    // text leaves the choice to the system. 0 also for an unknown interface.
    int joinGroup(const char* group, const char* interface = nullptr);
    int leaveGroup(const char* group, const char* interface = nullptr);
    int setMulticastInterface(const char* interface);
    int setMulticastTtl(int ttl);
    // Whether the host's own sockets get a copy of what this one sends to a group.
    int setMulticastLoop(bool on);
    // Whether this socket also takes the datagrams of groups that only other
    // sockets of the host joined (Linux's default: it does).
    int setMulticastAll(bool on);
    // Has every received datagram carry the address it was sent to (IP_PKTINFO).
    int setDestinationInfo();
    int setReceiveTimeout(int milliseconds);
    // Asks for a receive buffer of bytes: forced past net.core.rmem_max when
    // the process may, else as much as that cap allows. 1 when either took.
    int setReceiveBuffer(int bytes);
    // Has every received datagram carry the socket's count of datagrams
    // dropped for want of room (SO_RXQ_OVFL).
    int setDropCount();

    // Bytes sent, or -1.
    int sendTo(const void* data, int length, const char* address, int port);

    // Bytes received, or -1 (also for a datagram longer than size, of which
    // the first size bytes stay in the buffer). senderText (room for at least
    // 16 bytes) always receives the sender's dotted address; sender, when
    // given, its address and port as one number (address << 16 | port).
    int recvFrom(void* buffer, int size, char* senderText, std::uint64_t* sender = nullptr);

    // 0, or -1. Afterwards the wrapper holds no socket.
    int close();

    // Takes handle in place of the wrapper's own; ownership does not change.
    Csock& attach(SocketHandle handle);

    SocketHandle handle() const { return handle_; }

private:
    SocketHandle handle_ = kInvalidSocket;
};

// The value of a dotted IPv4 address in host order, as BatchReceiver gives
// destinations; 0 for a text that does not parse.
std::uint32_t addressValue(const char* text);
