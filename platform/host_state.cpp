#include "platform/host_state.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string fileText(const std::string& path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of hex text, two digits each; nothing when it is not all hex.
std::optional<std::vector<unsigned char>> hexBytes(std::string_view hex)
{
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> out;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        std::size_t end = at;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t')
            ++end;
        if (end > at)
            out.push_back(line.substr(at, end - at));
        at = end;
    }
    return out;
}

template <class Each>
void forEachLine(std::string_view text, Each each)
{
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        each(text.substr(at, end - at));
        at = end + 1;
    }
}

std::optional<int> numberIn(const std::string& path)
{
    std::ifstream file(path);
    int value = 0;
    if (file >> value)
        return value;
    return std::nullopt;
}

}   // namespace

std::vector<HostInterface> multicastInterfaces()
{
    std::vector<HostInterface> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        const unsigned flags = a->ifa_flags;
        if ((flags & IFF_UP) == 0 || (flags & IFF_MULTICAST) == 0 || (flags & IFF_LOOPBACK) != 0)
            continue;
        const unsigned index = ::if_nametoindex(a->ifa_name);
        if (index == 0)
            continue;
        if (std::none_of(found.begin(), found.end(),
                         [index](const HostInterface& i) { return i.index == index; }))
            found.push_back({index, a->ifa_name, {}});
    }
    ::freeifaddrs(list);
    for (HostInterface& i : found) {
        i.address = interfaceAddress(i.index, false);
        if (i.address.empty())
            i.address = interfaceAddress(i.index, true);
    }
    return found;
}

std::string interfaceName(unsigned index)
{
    char name[IF_NAMESIZE] = {};
    return ::if_indextoname(index, name) != nullptr ? std::string(name) : std::string();
}

std::string interfaceAddress(unsigned index, bool v6)
{
    const std::string name = interfaceName(index);
    std::string address;
    ifaddrs* list = nullptr;
    if (name.empty() || ::getifaddrs(&list) != 0)
        return address;
    for (const ifaddrs* a = list; a != nullptr && address.empty(); a = a->ifa_next) {
        if (a->ifa_addr == nullptr || name != a->ifa_name ||
            a->ifa_addr->sa_family != (v6 ? AF_INET6 : AF_INET))
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        const void* bytes = v6 ? static_cast<const void*>(
                                     &reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr)
                               : static_cast<const void*>(
                                     &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr);
        if (::inet_ntop(v6 ? AF_INET6 : AF_INET, bytes, text, sizeof text) != nullptr)
            address = text;
    }
    ::freeifaddrs(list);
    return address;
}

std::vector<HostMembership> parseIgmp(std::string_view text)
{
    // "2\teth0      :     1      V3" begins an interface; each group follows
    // on a line of its own: "\t\t\t\t010000E0     1 0:00000000\t\t0".
    std::vector<HostMembership> found;
    std::string interface;
    forEachLine(text, [&](std::string_view line) {
        const std::vector<std::string_view> w = words(line);
        if (w.empty())
            return;
        if (line.front() != '\t' && line.front() != ' ') {
            interface = w.size() >= 2 && w[0] != "Idx" ? std::string(w[1]) : std::string();
            if (!interface.empty() && interface.back() == ':')
                interface.pop_back();
            return;
        }
        const auto bytes = hexBytes(w[0]);
        if (interface.empty() || w[0].size() != 8 || !bytes)
            return;
        HostMembership m{interface, false, {}};
        for (std::size_t i = 0; i < 4; ++i)
            m.group[i] = (*bytes)[3 - i];
        found.push_back(m);
    });
    return found;
}

std::vector<HostMembership> parseIgmp6(std::string_view text)
{
    // "2    eth0            ff0200000000000000000001ff000001     1 00000004 0"
    std::vector<HostMembership> found;
    forEachLine(text, [&](std::string_view line) {
        const std::vector<std::string_view> w = words(line);
        if (w.size() < 3 || w[2].size() != 32)
            return;
        const auto bytes = hexBytes(w[2]);
        if (!bytes)
            return;
        HostMembership m{std::string(w[1]), true, {}};
        std::copy(bytes->begin(), bytes->end(), m.group.begin());
        found.push_back(m);
    });
    return found;
}

std::vector<HostMembership> kernelMemberships()
{
    std::vector<HostMembership> all = parseIgmp(fileText("/proc/net/igmp"));
    for (HostMembership& m : parseIgmp6(fileText("/proc/net/igmp6")))
        all.push_back(std::move(m));
    return all;
}

std::optional<int> reversePathFilter(const std::string& interface)
{
    const std::string conf = "/proc/sys/net/ipv4/conf/";
    const std::optional<int> all = numberIn(conf + "all/rp_filter");
    const std::optional<int> own = interface.find('/') == std::string::npos
                                       ? numberIn(conf + interface + "/rp_filter")
                                       : std::nullopt;
    if (!all && !own)
        return std::nullopt;
    return std::max(all.value_or(0), own.value_or(0));
}

std::string nftInputChain(std::string_view ruleset)
{
    std::string table;
    std::string chain;
    bool input = false;
    bool filters = false;
    std::string found;
    forEachLine(ruleset, [&](std::string_view line) {
        const std::vector<std::string_view> w = words(line);
        if (!found.empty() || w.empty())
            return;
        if (w[0] == "table" && w.size() >= 3) {
            table = std::string(w[1]) + " " + std::string(w[2]);
            chain.clear();
        } else if (w[0] == "chain" && w.size() >= 2) {
            chain = std::string(w[1]);
            input = false;
            filters = false;
        } else if (chain.empty()) {
            return;
        } else if (w[0] == "}") {
            if (input && filters)
                found = table + " " + chain;
            chain.clear();
        } else if (w[0] == "type") {
            input = line.find("hook input") != std::string_view::npos;
            filters = filters || line.find("policy drop") != std::string_view::npos;
        } else if (w[0] != "comment" && w[0] != "policy") {
            filters = true;
        }
    });
    return found;
}

std::string firewallInput()
{
    std::string ruleset;
    if (FILE* pipe = ::popen("PATH=\"$PATH:/usr/sbin:/sbin\" nft list ruleset 2>/dev/null", "r")) {
        char chunk[4096];
        while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
            ruleset.append(chunk, n);
        ::pclose(pipe);
    }
    if (const std::string chain = nftInputChain(ruleset); !chain.empty())
        return "nftables chain " + chain;
    if (fileText("/proc/net/ip_tables_names").find("filter") != std::string::npos)
        return "iptables filter table";
    if (fileText("/proc/net/ip6_tables_names").find("filter") != std::string::npos)
        return "ip6tables filter table";
    return {};
}

bool mayWatchLink()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return ::geteuid() == 0;
    return (data[CAP_NET_RAW / 32].effective & (1U << (CAP_NET_RAW % 32))) != 0;
}
