#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What this host's own state says of multicast arriving: its interfaces, the
// memberships the kernel holds, the reverse-path filter and the firewall's
// input rules. Read from /proc, /sys and the system's calls, in the caller's
// network namespace; nothing is changed.

// An interface that is up and takes multicast (loopback left out).
struct HostInterface {
    unsigned index = 0;
    std::string name;
    std::string address;   // its first IPv4 address, else its first IPv6 one; may be empty
};
std::vector<HostInterface> multicastInterfaces();

// The interface's name, empty for an index no interface has.
std::string interfaceName(unsigned index);
// Its first address of the family (v6 or not) as text, empty when it has none.
std::string interfaceAddress(unsigned index, bool v6);

// A group membership as /proc/net/igmp or /proc/net/igmp6 lists it.
struct HostMembership {
    std::string interface;
    bool v6 = false;
    std::array<unsigned char, 16> group{};   // network order; IPv4 in the first four bytes
};
// /proc/net/igmp, whose groups are little-endian hex ("010000E0" is 224.0.0.1).
std::vector<HostMembership> parseIgmp(std::string_view text);
// /proc/net/igmp6, whose groups are 32 hex digits in network order.
std::vector<HostMembership> parseIgmp6(std::string_view text);
// Both files as they are now.
std::vector<HostMembership> kernelMemberships();

// The reverse-path filter of IPv4 datagrams arriving on the interface: the
// larger of conf/all and conf/NAME (0 off, 1 strict, 2 loose); nothing when
// it cannot be read.
std::optional<int> reversePathFilter(const std::string& interface);

// Whether "nft list ruleset" output filters input: a chain on the input hook
// with a rule or a drop policy. The chain as "family table chain", else empty.
std::string nftInputChain(std::string_view ruleset);
// The firewall's input filtering on this host in a few words ("nftables chain
// inet filter input", "iptables tables filter"), empty when none is found.
std::string firewallInput();

// Whether this process may open packet sockets (CAP_NET_RAW in effect).
bool mayWatchLink();
