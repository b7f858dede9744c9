#include "core/group_list.h"

#include "core/settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <unordered_set>

namespace {

// N of ADDR+N: decimal digits only, at most limit.
std::optional<std::size_t> rangeCount(std::string_view text, std::size_t limit)
{
    if (text.empty())
        return std::nullopt;
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return value;
}

// The address after a, or nothing past the family's last address.
std::optional<IpAddress> following(IpAddress a)
{
    const std::size_t size = a.isV4() ? 4 : 16;
    for (std::size_t i = size; i-- > 0;) {
        if (++a.bytes[i] != 0)
            return a;
    }
    return std::nullopt;
}

}   // namespace

std::optional<IpAddress> parseIpAddress(std::string_view text)
{
    text = withoutBlanks(text);
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string terminated(text);
    IpAddress a;
    // inet_pton takes only four decimal parts for IPv4 and refuses leading zeros.
    if (inet_pton(AF_INET, terminated.c_str(), a.bytes.data()) == 1) {
        a.family = IpAddress::Family::V4;
        return a;
    }
    if (inet_pton(AF_INET6, terminated.c_str(), a.bytes.data()) == 1) {
        a.family = IpAddress::Family::V6;
        return a;
    }
    return std::nullopt;
}

GroupList parseGroupList(const std::vector<std::string>& texts, std::size_t max)
{
    GroupList list;
    const auto refuse = [&list](std::string error) {
        list.groups.clear();
        list.error = std::move(error);
        return list;
    };
    std::unordered_set<IpAddress, IpAddressHash> seen;
    for (const std::string& typed : texts) {
        const std::string_view text = withoutBlanks(typed);
        const std::size_t plus = text.find('+');
        const std::optional<IpAddress> first = parseIpAddress(text.substr(0, plus));
        if (!first || !first->isMulticast())
            return refuse("group \"" + typed + "\" is not a multicast address");
        if (!list.groups.empty() && list.groups.front().family != first->family)
            return refuse("groups \"" + list.groups.front().text() + "\" and \"" + first->text() +
                          "\" are not of one family");
        std::size_t after = 0;
        if (plus != std::string_view::npos) {
            const std::optional<std::size_t> n = rangeCount(text.substr(plus + 1), max);
            if (!n)
                return refuse("group range \"" + typed + "\" does not end in a count of at most " +
                              std::to_string(max));
            after = *n;
        }
        std::optional<IpAddress> group = first;
        for (std::size_t i = 0;; ++i) {
            if (!group || !group->isMulticast())
                return refuse("group range \"" + typed + "\" goes past the last multicast address");
            if (!seen.insert(*group).second)
                return refuse("group " + group->text() + " is given twice");
            if (list.groups.size() == max)
                return refuse("more than " + std::to_string(max) + " groups");
            list.groups.push_back(*group);
            if (i == after)
                break;
            group = following(*group);
        }
    }
    if (list.groups.empty())
        return refuse("no group given");
    return list;
}

SourceAddress parseSourceAddress(std::string_view text, IpAddress::Family family)
{
    const std::optional<IpAddress> a = parseIpAddress(text);
    const std::string typed(text);
    if (!a)
        return {std::nullopt, "source \"" + typed + "\" is not an address"};
    if (a->family != family)
        return {std::nullopt, "source " + a->text() + " is not of the groups' family"};
    const bool unspecified = *a == IpAddress{a->family, {}};
    if (a->isMulticast() || unspecified || (a->isV4() && a->v4Value() == 0xffffffffU))
        return {std::nullopt, "source " + a->text() + " is not a unicast address"};
    return {a, {}};
}

bool needsInterface(const IpAddress& group)
{
    return group.isV6() && group.isMulticast() && (group.bytes[1] & 0x0f) <= 2;
}
