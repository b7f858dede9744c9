#include "channel/dc_channel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct KindSetup {
    int socketType = Csock::None;
    bool bind = false;
    bool broadcast = false;
    bool multicast = false;
};

KindSetup setupOf(int kind)
{
    switch (kind) {
    case StreamListenA:
    case StreamListenB: return {Csock::Stream, true, false, false};
    case StreamConnect: return {Csock::Stream, false, false, false};
    case DatagramSend: return {Csock::Datagram, false, false, false};
    case DatagramReceive: return {Csock::Datagram, true, false, false};
    case MulticastSend:
    case MulticastReceive: return {Csock::Datagram, true, false, true};
    case BroadcastSend: return {Csock::Datagram, false, true, false};
    case BroadcastReceive: return {Csock::Datagram, true, true, false};
    default: return {};
    }
}

bool isMulticast(int kind)
{
    return kind == MulticastSend || kind == MulticastReceive;
}

}   // namespace

int DcChannel::create(int kind, const char* address, int port)
{
    kind_ = kind;
    const char* text = address ? address : "";
    const size_t length = std::strlen(text);
    // A longer text is refused by build; cutting it short could name another host.
    addressTooLong_ = length >= sizeof address_;
    if (addressTooLong_)
        address_[0] = '\0';
    else
        std::memcpy(address_, text, length + 1);
    port_ = port;
    multicast_ = {};
    std::snprintf(status_, sizeof status_, "Create DC(ID : %d).", id_);
    return 1;
}

int DcChannel::build()
{
    // A socket left by an earlier attempt would otherwise leak and could keep
    // the port, so that every later attempt fails to bind.
    if (socket_.handle() != kInvalidSocket)
        socket_.close();

    state_ = 1;
    auto fail = [this](const char* text) {
        state_ = 0;
        std::snprintf(status_, sizeof status_, "%s", text);
        return 0;
    };

    if (addressTooLong_)
        return fail("Csock address error!");

    const KindSetup setup = setupOf(kind_);
    if (!socket_.init(setup.socketType))
        return fail("Csock initial error!");
    if (setup.bind && !socket_.bind("", port_))
        return fail("Csock bind error!");
    if (setup.broadcast && !socket_.setBroadcast())
        return fail("Csock broadcastopt error!");
    if (setup.multicast) {
        if (!socket_.joinGroup(address_, multicast_.interface))
            return fail("Csock mcastopt error!");
        if (!socket_.setMulticastTtl(multicast_.ttl))
            return fail("csock ttlopt error!");
        if (multicast_.interface[0] != '\0' && !socket_.setMulticastInterface(multicast_.interface))
            return fail("Csock mcastif error!");
        // The port is bound without address reuse, so no other socket of this
        // host can take the copies the kernel would loop back: they would only
        // cost a copy per datagram.
        if (kind_ == MulticastSend && !socket_.setMulticastLoop(false))
            return fail("Csock mcastloop error!");
    }
    if (kind_ == MulticastReceive) {
        // The port is bound on every address: each datagram's destination
        // tells the group's from unicast and broadcast ones to the port.
        if (!socket_.setDestinationInfo())
            return fail("Csock pktinfo error!");
        // Best effort, the destination being checked anyway: the datagrams
        // of groups that other sockets of the host joined stay away.
        socket_.setMulticastAll(false);
        // Best effort: a short burst then waits in the buffer instead of
        // being dropped, and what is dropped anyway can be counted.
        socket_.setReceiveBuffer(kReceiveBufferBytes);
        socket_.setDropCount();
    }

    if (kind_ == StreamListenA || kind_ == StreamListenB) {
        if (!socket_.listen()) {
            state_ = 0;
            std::snprintf(status_, sizeof status_, "csock listen error!");
        }
    } else if (kind_ == StreamConnect) {
        if (socket_.connect(address_, port_)) {
            std::snprintf(status_, sizeof status_, "connect %s ok", address_);
        } else {
            state_ = 0;
            socket_.close();
            std::snprintf(status_, sizeof status_, "connect %s error!", address_);
        }
    }

    if (state_ == 1)
        std::snprintf(status_, sizeof status_, "Build DC OK(ID : %d).", id_);
    else
        std::snprintf(status_, sizeof status_, "Build DC Error(ID : %d)!", id_);
    return 1;
}

int DcChannel::destroy()
{
    if (isMulticast(kind_)) {
        for (int attempt = 0; attempt < kLeaveAttempts; ++attempt) {
            if (socket_.leaveGroup(address_, multicast_.interface) == 1)
                break;
        }
    }
    std::snprintf(status_, sizeof status_, "Destroy DC(ID : %d).", id_);
    socket_.close();
    return 1;
}

int DcChannel::join()
{
    // An interface name that no link has fails without a system call.
    errno = 0;
    if (socket_.joinGroup(address_, multicast_.interface) == 1)
        return 1;
    return errno == EADDRINUSE ? 1 : 0;
}

int DcChannel::state()
{
    std::snprintf(status_, sizeof status_, "DC State : %d (ID : %d).", state_, id_);
    return state_;
}

int DcChannel::send(const void* data, int length, const char* address, int port)
{
    if (length == 0 || state_ == 0)
        return 0;
    int result = -1;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        result = socket_.sendTo(data, length, address, port);
        if (result > 0)
            break;
    }
    return result;
}

int DcChannel::receive(void* buffer, int size, char* senderText, std::uint64_t* sender)
{
    return socket_.recvFrom(buffer, size, senderText, sender);
}
