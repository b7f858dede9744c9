#pragma once

#include "core/ip_address.h"
#include "core/silence_cause.h"

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A passive look at what the links deliver, beneath this host's own filters:
// packet sockets with a kernel filter that copies only the datagrams asked
// for, cut short to their headers. Nothing is ever sent. Needs CAP_NET_RAW.

// The IP and UDP headers of a datagram to one of the groups, as a packet
// socket gives them (network header first).
struct LinkDatagram {
    IpAddress group;
    SocketAddress sender;
    std::uint16_t port = 0;
};
std::optional<LinkDatagram> parseGroupDatagram(std::span<const unsigned char> packet, bool v6);

// An IGMP (IPv4) or MLD (IPv6) general or group query: who asked and in
// which version, told by the query's length and code.
struct LinkQuery {
    IpAddress querier;
    int version = 0;
    bool general = true;   // of every group, not of one
};
std::optional<LinkQuery> parseQuery(std::span<const unsigned char> packet, bool v6);

// Kernel filters for a packet socket of the family: UDP datagrams to the
// groups (the groups of the other family are ignored), or the queries.
std::vector<sock_filter> groupFilter(const std::vector<IpAddress>& groups, bool v6);
std::vector<sock_filter> queryFilter(bool v6);

// A packet socket of one family on every interface, with its filter in place
// before it takes anything.
class LinkTap {
public:
    LinkTap() = default;
    ~LinkTap() { close(); }
    LinkTap(const LinkTap&) = delete;
    LinkTap& operator=(const LinkTap&) = delete;

    // 0, or the errno of what failed (EPERM without CAP_NET_RAW).
    int open(bool v6, const std::vector<sock_filter>& filter);
    // Takes every multicast datagram on the interfaces, as though each had
    // joined every group, for as long as the tap is open: a link that joined
    // nothing still shows what it is sent.
    void takeAllMulticast(const std::vector<unsigned>& interfaces);
    void close();
    int handle() const { return fd_; }
    bool v6() const { return v6_; }

    // One waiting packet into buffer: its length as taken (cut by the filter)
    // and the interface it arrived on; nothing when none waits. What this
    // host sent and what loopback carries are passed over.
    struct Frame {
        std::size_t length = 0;
        unsigned interface = 0;
    };
    std::optional<Frame> read(std::span<unsigned char> buffer);

private:
    int fd_ = -1;
    bool v6_ = false;
};

// Adds a datagram seen on the interface to the sightings: one per group,
// sender, port and interface.
void addSighting(std::vector<LinkSighting>& seen, const LinkDatagram& datagram, unsigned interface);

// What this host's state says, asked only when the look needs it.
struct HostAnswers {
    std::function<std::string(unsigned)> interfaceName;
    // rp_filter for the interface (0 off, 1 strict, 2 loose).
    std::function<int(unsigned)> reversePath;
    // The interface the route to the address leaves by; nothing: no route.
    std::function<std::optional<unsigned>(const IpAddress&)> routeBack;
    // The firewall's input rules in a few words; empty when there are none.
    std::function<std::string()> firewall;
};

// The cause of a silence from what the links delivered of the silent groups
// in a look, the run's port, and the interfaces the groups were joined on
// (empty when unknown). The datagrams for the run's port tell most: when they
// came on an interface joined, this host dropped them; else they came on
// another. Only when none came for the port do other ports count.
SilenceCause silenceCause(const std::vector<LinkSighting>& seen, int port,
                          const std::vector<unsigned>& joinedOn, const HostAnswers& host);
