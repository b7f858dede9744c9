#include "channel/dc_channel.h"

#include "core/group_list.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

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

// How many groups one socket may join: net.ipv4.igmp_max_memberships of the
// caller's network namespace for IPv4; IPv6 has no such count (the system
// answers ENOBUFS when a socket's option memory runs out).
std::size_t membershipLimit(IpAddress::Family family)
{
    if (family != IpAddress::Family::V4)
        return static_cast<std::size_t>(-1);
    std::ifstream file("/proc/sys/net/ipv4/igmp_max_memberships");
    long long limit = 0;
    if (file >> limit && limit > 0)
        return static_cast<std::size_t>(limit);
    return DcChannel::kDefaultMemberships;
}

// The interface of the options as an index: 0 for the system's choice,
// nothing for one this host does not have (now).
std::optional<unsigned> interfaceOf(const MulticastOptions& options)
{
    if (options.interface[0] == '\0')
        return 0U;
    return interfaceIndex(options.interface);
}

// The interface index a membership is made with. The system's choice is
// made here as the system makes it, so that an IPv4 membership can be left
// again: IPv4 finds it by the index it took, even once that interface is
// gone, while IPv6 leaves on the system's choice whatever the index.
unsigned membershipIndex(const IpAddress& group, unsigned interfaceIndex)
{
    if (interfaceIndex != 0 || group.isV6())
        return interfaceIndex;
    return routeInterface(group).value_or(0);
}

}   // namespace

int DcChannel::create(int kind, const SocketAddress& address)
{
    kind_ = kind;
    endpoint_ = address;
    multicast_ = {};
    std::snprintf(status_, sizeof status_, "Create DC(ID : %d).", id_);
    return 1;
}

std::size_t DcChannel::socketCount() const
{
    if (socket_.handle() == kInvalidSocket)
        return 0;
    return 1 + more_.size();
}

SocketHandle DcChannel::socket(std::size_t i) const
{
    if (i >= socketCount())
        return kInvalidSocket;
    return i == 0 ? socket_.handle() : more_[i - 1].handle();
}

void DcChannel::closeAll()
{
    if (socket_.handle() != kInvalidSocket)
        socket_.close();
    for (Csock& s : more_)
        s.close();
    more_.clear();
    firstGroup_.clear();
    memberOn_.clear();
}

int DcChannel::build()
{
    // A socket left by an earlier attempt would otherwise leak and could keep
    // the port, so that every later attempt fails to bind.
    closeAll();

    state_ = 1;
    error_ = 0;
    joinError_ = 0;
    auto fail = [this](const char* text, int error) {
        state_ = 0;
        error_ = error;
        std::snprintf(status_, sizeof status_, "%s", text);
        return 0;
    };

    const IpAddress::Family family = endpoint_.address.family;
    groups_ = multicast_.groups;
    if (groups_.empty())
        groups_.push_back(endpoint_.address);
    memberOn_.assign(groups_.size(), kNoMembership);

    const KindSetup setup = setupOf(kind_);
    if (!socket_.init(setup.socketType, family))
        return fail("Csock initial error!", socket_.lastError());
    if (setup.bind && !socket_.bind({{}, endpoint_.port}))
        return fail("Csock bind error!", socket_.lastError());
    if (setup.broadcast && !socket_.setBroadcast())
        return fail("Csock broadcastopt error!", socket_.lastError());
    if (setup.multicast) {
        const std::optional<unsigned> index = interfaceOf(multicast_);
        const bool joins = kind_ == MulticastReceive || multicast_.senderJoins;
        if (joins && (!index || !joinAll(*index)))
            return fail("Csock mcastopt error!", index ? error_ : ENODEV);
        if (!socket_.setMulticastTtl(multicast_.ttl))
            return fail("csock ttlopt error!", socket_.lastError());
        if (multicast_.interface[0] != '\0' &&
            (!index || !socket_.setMulticastInterface(
                           *index, parseIpAddress(multicast_.interface).value_or(IpAddress{}))))
            return fail("Csock mcastif error!", index ? socket_.lastError() : ENODEV);
        // The port is bound without address reuse, so no other socket of this
        // host can take the copies the kernel would loop back: they would only
        // cost a copy per datagram.
        if (kind_ == MulticastSend && !socket_.setMulticastLoop(false))
            return fail("Csock mcastloop error!", socket_.lastError());
    }
    if (kind_ == MulticastReceive && !receiveOptions(socket_))
        return fail("Csock pktinfo error!", socket_.lastError());

    if (kind_ == StreamListenA || kind_ == StreamListenB) {
        if (!socket_.listen()) {
            state_ = 0;
            error_ = socket_.lastError();
            std::snprintf(status_, sizeof status_, "csock listen error!");
        }
    } else if (kind_ == StreamConnect) {
        const std::string address = endpoint_.address.text();
        if (socket_.connect(endpoint_)) {
            std::snprintf(status_, sizeof status_, "connect %s ok", address.c_str());
        } else {
            state_ = 0;
            error_ = socket_.lastError();
            socket_.close();
            std::snprintf(status_, sizeof status_, "connect %s error!", address.c_str());
        }
    }

    if (state_ == 1)
        std::snprintf(status_, sizeof status_, "Build DC OK(ID : %d).", id_);
    else
        std::snprintf(status_, sizeof status_, "Build DC Error(ID : %d)!", id_);
    return 1;
}

int DcChannel::receiveOptions(Csock& socket)
{
    // The port is bound on every address: each datagram's destination
    // tells the groups' from unicast and broadcast ones to the port.
    if (!socket.setDestinationInfo())
        return 0;
    // Best effort, the destination being checked anyway: the datagrams of
    // groups that other sockets of the host joined stay away. Unless the
    // channel's own further sockets hold some of its memberships: then this
    // one takes every group the host joined, so that one socket is read.
    socket.setMulticastAll(!more_.empty());
    // Best effort: a short burst then waits in the buffer instead of being
    // dropped, and what is dropped anyway can be counted.
    socket.setReceiveBuffer(kReceiveBufferBytes);
    socket.setDropCount();
    return 1;
}

int DcChannel::addSocket()
{
    Csock added;
    if (!added.init(Csock::Datagram, endpoint_.address.family)) {
        error_ = added.lastError();
        return 0;
    }
    // Unbound, it only holds memberships and never keeps a datagram.
    more_.push_back(added);
    return 1;
}

int DcChannel::joinAll(unsigned interfaceIndex)
{
    const std::size_t limit = membershipLimit(endpoint_.address.family);
    firstGroup_.assign(1, 0);
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        Csock* current = &at(more_.size());
        const std::size_t onCurrent = g - firstGroup_.back();
        if (onCurrent == limit) {
            if (!addSocket())
                return 0;
            firstGroup_.push_back(g);
            current = &more_.back();
        }
        if (joinOn(*current, g, interfaceIndex))
            continue;
        // A limit lower than the one read (ENOBUFS) or the memory a socket
        // may spend on options (ENOMEM, IPv6) runs out: the rest go on a
        // socket of their own.
        const int error = current->lastError();
        if ((error != ENOBUFS && error != ENOMEM) || g == firstGroup_.back() ||
            kind_ != MulticastReceive) {
            error_ = current->lastError();
            return 0;
        }
        if (!addSocket())
            return 0;
        firstGroup_.push_back(g);
        if (!joinOn(more_.back(), g, interfaceIndex)) {
            error_ = more_.back().lastError();
            return 0;
        }
    }
    firstGroup_.push_back(groups_.size());
    return 1;
}

int DcChannel::joinOn(Csock& socket, std::size_t g, unsigned interfaceIndex)
{
    const unsigned index = membershipIndex(groups_[g], interfaceIndex);
    if (!socket.joinGroup(groups_[g], index, multicast_.source))
        return 0;
    memberOn_[g] = index;
    return 1;
}

void DcChannel::leave(Csock& socket, std::size_t g)
{
    if (memberOn_[g] == kNoMembership)
        return;
    // Not being a member (any more) is no failure. A source-specific leave
    // needs its interface to exist still; the plain one drops the membership,
    // sources and all, by its index alone.
    for (int attempt = 0; attempt < kLeaveAttempts; ++attempt) {
        if (socket.leaveGroup(groups_[g], memberOn_[g], multicast_.source) == 1 ||
            socket.lastError() == EADDRNOTAVAIL)
            break;
        if (multicast_.source.family != IpAddress::Family::None &&
            socket.leaveGroup(groups_[g], memberOn_[g]) == 1)
            break;
    }
    memberOn_[g] = kNoMembership;
}

std::optional<std::size_t> DcChannel::socketOf(std::size_t group) const
{
    // firstGroup_ ends with the number of groups once every join of the
    // build worked.
    const auto after = std::upper_bound(firstGroup_.begin(), firstGroup_.end(), group);
    if (after == firstGroup_.begin() || after == firstGroup_.end())
        return std::nullopt;
    return static_cast<std::size_t>(after - firstGroup_.begin()) - 1;
}

int DcChannel::destroy()
{
    // The newest memberships first: the kernel finds each group it leaves
    // by a walk of the interface's list from its newest, so that leaving the
    // oldest first would walk nearly all of it for each of a thousand groups.
    if (kind_ == MulticastSend || kind_ == MulticastReceive) {
        for (std::size_t g = memberOn_.size(); g-- > 0;) {
            if (const std::optional<std::size_t> s = socketOf(g))
                leave(at(*s), g);
        }
    }
    std::snprintf(status_, sizeof status_, "Destroy DC(ID : %d).", id_);
    closeAll();
    return 1;
}

int DcChannel::join()
{
    int joined = 1;
    for (std::size_t g = 0; g < memberOn_.size(); ++g)
        joined &= join(g);
    return firstGroup_.empty() ? 0 : joined;
}

int DcChannel::join(std::size_t group)
{
    const std::optional<std::size_t> s = socketOf(group);
    if (!s)
        return 0;
    Csock& socket = at(*s);
    // A membership of a link deleted since would otherwise stay on the
    // socket beside the new one, each taking one of its limited places.
    leave(socket, group);
    // An interface name that no link has fails without a system call.
    const std::optional<unsigned> index = interfaceOf(multicast_);
    if (!index) {
        joinError_ = ENODEV;
        return 0;
    }
    if (joinOn(socket, group, *index))
        return 1;
    joinError_ = socket.lastError();
    return 0;
}

int DcChannel::state()
{
    std::snprintf(status_, sizeof status_, "DC State : %d (ID : %d).", state_, id_);
    return state_;
}

int DcChannel::send(const void* data, int length, const SocketAddress& to)
{
    if (length == 0 || state_ == 0)
        return 0;
    return socket_.sendTo(data, length, to);
}

int DcChannel::receive(void* buffer, int size, SocketAddress* sender)
{
    return socket_.recvFrom(buffer, size, sender);
}

int DcChannel::setReceiveTimeout(int milliseconds)
{
    if (socket_.handle() == kInvalidSocket)
        return -1;
    int set = socket_.setReceiveTimeout(milliseconds);
    for (Csock& s : more_)
        set &= s.setReceiveTimeout(milliseconds);
    return set;
}
