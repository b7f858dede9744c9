#pragma once

#include "core/ip_address.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Datagrams of a group as a link delivered them to this host, before its own
// filters: from one sender, to one port, on one interface.
struct LinkSighting {
    IpAddress group;
    SocketAddress sender;
    std::uint16_t port = 0;
    unsigned interface = 0;
    std::uint64_t datagrams = 0;
};

// Why a silent group is silent, as a look at the links and this host's own
// state tells it apart.
struct SilenceCause {
    enum Kind {
        NotDelivered,     // nothing of the group reached any link
        OtherPort,        // the group's datagrams go to another port
        OtherInterface,   // they come on another interface than the one joined
        ReversePath,      // the reverse-path filter drops them
        Firewall,         // an input rule of the firewall is likely to drop them
        HostDrops,        // this host drops them, for a reason not found
    };
    Kind kind = NotDelivered;
    LinkSighting seen;        // the datagrams that tell the cause; none for NotDelivered
    std::string seenOn;       // the interface they came on, by name
    std::string joinedOn;     // the interface the group was joined on, by name; may be empty
    int reversePath = 0;      // ReversePath: rp_filter, 1 strict or 2 loose
    std::string routeBack;    // ReversePath: where the route to the sender leaves; empty: none
    std::string firewall;     // Firewall: the rules found ("nftables chain inet t input")
    std::size_t groups = 0;   // the silent groups looked for
    std::uint64_t seenDatagrams = 0;   // all their datagrams the links delivered in the look
};

// A multicast querier of the run's links as last heard.
struct QuerierHeard {
    IpAddress querier;   // its address (0.0.0.0 or :: for a switch without one)
    int version = 0;     // IGMP 1 to 3, MLD 1 or 2
    unsigned interface = 0;
    std::uint64_t atMs = 0;         // when heard last, ms since the run started
    std::uint64_t intervalMs = 0;   // between its last two queries; 0 before the second
};
