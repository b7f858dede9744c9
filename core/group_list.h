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

// The groups of a run, read from texts as typed, each a group or ADDR+N (the
// group ADDR and the N after it: 239.1.1.1+299 is 300 groups). All of one
// family, every one a multicast address, none twice, at most max in all.
struct GroupList {
    std::vector<IpAddress> groups;   // in the order given
    std::string error;               // one line, set when groups is empty
};
GroupList parseGroupList(const std::vector<std::string>& texts, std::size_t max);
