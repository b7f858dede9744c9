#pragma once

#include "core/ip_address.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An address typed by a user: a dotted quad (no leading zeros) or an IPv6
// address, blanks around it ignored; nothing when it is neither.
std::optional<IpAddress> parseIpAddress(std::string_view text);

// The most groups one run takes.
inline constexpr std::size_t kMaxGroups = 2048;

// The groups of a run, read from texts as typed, each a group or ADDR+N (the
// group ADDR and the N after it: 239.1.1.1+299 is 300 groups). All of one
// family, every one a multicast address, none twice, at most max in all.
struct GroupList {
    std::vector<IpAddress> groups;   // in the order given
    std::string error;               // one line, set when groups is empty
};
GroupList parseGroupList(const std::vector<std::string>& texts, std::size_t max);

// The source of a source-specific run: a unicast address (not multicast, not
// unspecified, not a broadcast) of the groups' family; one line of refusal
// otherwise.
struct SourceAddress {
    std::optional<IpAddress> source;
    std::string error;   // set when source is not
};
SourceAddress parseSourceAddress(std::string_view text, IpAddress::Family family);

// Whether joining group needs an interface named: an IPv6 group of
// interface-local or link-local scope (ff01::/16, ff02::/16 and the like),
// which the system cannot place by its routes.
bool needsInterface(const IpAddress& group);
