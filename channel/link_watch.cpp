#include "channel/link_watch.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// What a filter keeps of a packet: the headers, IPv4 with the longest
// options, IPv6 without extension headers, then UDP's; of a query the whole
// of a short one.
constexpr std::uint32_t kDatagramSnap4 = 60 + 8;
constexpr std::uint32_t kDatagramSnap6 = 40 + 8;
constexpr std::uint32_t kQuerySnap = 128;

// Exact groups fit the filter's 8-bit jumps up to these counts; beyond them
// a range is taken, and the groups are picked out of it here.
constexpr std::size_t kExactGroups4 = 200;
constexpr std::size_t kExactGroups6 = 30;

std::uint16_t word16(std::span<const unsigned char> p, std::size_t at)
{
    return static_cast<std::uint16_t>(p[at] << 8 | p[at + 1]);
}

std::uint32_t word32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

IpAddress addressAt(std::span<const unsigned char> p, std::size_t at, bool v6)
{
    IpAddress a;
    a.family = v6 ? IpAddress::Family::V6 : IpAddress::Family::V4;
    std::copy_n(p.begin() + static_cast<std::ptrdiff_t>(at), v6 ? 16 : 4, a.bytes.begin());
    return a;
}

sock_filter statement(std::uint16_t code, std::uint32_t k)
{
    return BPF_STMT(code, k);
}

sock_filter jump(std::uint16_t code, std::uint32_t k, std::size_t yes, std::size_t no)
{
    return BPF_JUMP(code, k, static_cast<std::uint8_t>(yes), static_cast<std::uint8_t>(no));
}

// Ends a program whose jumps were written with kDrop and kKeep for their
// targets: the two returns go last, and each jump is pointed at them.
constexpr std::size_t kDrop = 0x1000;
constexpr std::size_t kKeep = 0x1001;

using Code = std::vector<std::pair<sock_filter, std::pair<std::size_t, std::size_t>>>;

std::vector<sock_filter> finished(const Code& code, std::uint32_t snap)
{
    const std::size_t drop = code.size();
    std::vector<sock_filter> program;
    program.reserve(code.size() + 2);
    for (std::size_t i = 0; i < code.size(); ++i) {
        sock_filter f = code[i].first;
        const auto target = [&](std::size_t t) -> std::uint8_t {
            const std::size_t at = t == kDrop ? drop : t == kKeep ? drop + 1 : i + 1 + t;
            return static_cast<std::uint8_t>(at - i - 1);
        };
        if (BPF_CLASS(f.code) == BPF_JMP && BPF_OP(f.code) == BPF_JA) {
            f.k = target(code[i].second.first);
        } else if (BPF_CLASS(f.code) == BPF_JMP) {
            f.jt = target(code[i].second.first);
            f.jf = target(code[i].second.second);
        }
        program.push_back(f);
    }
    program.push_back(statement(BPF_RET | BPF_K, 0));
    program.push_back(statement(BPF_RET | BPF_K, snap));
    return program;
}

void put(Code& code, sock_filter f, std::size_t yes = 0, std::size_t no = 0)
{
    code.push_back({f, {yes, no}});
}

}   // namespace

std::optional<LinkDatagram> parseGroupDatagram(std::span<const unsigned char> p, bool v6)
{
    if (v6) {
        if (p.size() < 48 || p[0] >> 4 != 6 || p[6] != IPPROTO_UDP)
            return std::nullopt;
        return LinkDatagram{
            addressAt(p, 24, true), {addressAt(p, 8, true), word16(p, 40)}, word16(p, 42)};
    }
    if (p.size() < 20 || p[0] >> 4 != 4 || p[9] != IPPROTO_UDP)
        return std::nullopt;
    const std::size_t header = static_cast<std::size_t>(p[0] & 0xf) * 4;
    if (header < 20 || p.size() < header + 4)
        return std::nullopt;
    return LinkDatagram{addressAt(p, 16, false),
                        {addressAt(p, 12, false), word16(p, header)},
                        word16(p, header + 2)};
}

std::optional<LinkQuery> parseQuery(std::span<const unsigned char> p, bool v6)
{
    if (v6) {
        if (p.size() < 42 || p[0] >> 4 != 6)
            return std::nullopt;
        std::size_t at = 40;
        unsigned next = p[6];
        if (next == 0) {   // hop-by-hop options, with the router alert
            next = p[40];
            at += (static_cast<std::size_t>(p[41]) + 1) * 8;
        }
        if (next != IPPROTO_ICMPV6 || p.size() <= at || p[at] != 130)
            return std::nullopt;
        const std::size_t length = word16(p, 4) - (at - 40);
        if (length < 24)
            return std::nullopt;
        const bool general =
            p.size() < at + 24 || std::all_of(p.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                              p.begin() + static_cast<std::ptrdiff_t>(at + 24),
                                              [](unsigned char b) { return b == 0; });
        return LinkQuery{addressAt(p, 8, true), length >= 28 ? 2 : 1, general};
    }
    if (p.size() < 20 || p[0] >> 4 != 4 || p[9] != IPPROTO_IGMP)
        return std::nullopt;
    const std::size_t header = static_cast<std::size_t>(p[0] & 0xf) * 4;
    const std::size_t total = word16(p, 2);
    if (header < 20 || p.size() < header + 2 || p[header] != 0x11 || total < header + 8)
        return std::nullopt;
    const std::size_t length = total - header;
    const int version = length >= 12 ? 3 : p[header + 1] == 0 ? 1 : 2;
    const bool general =
        p.size() < header + 8 || word16(p, header + 4) + word16(p, header + 6) == 0;
    return LinkQuery{addressAt(p, 12, false), version, general};
}

std::vector<sock_filter> groupFilter(const std::vector<IpAddress>& groups, bool v6)
{
    std::vector<IpAddress> mine;
    for (const IpAddress& g : groups)
        if (g.isV6() == v6 && g.family != IpAddress::Family::None)
            mine.push_back(g);
    std::sort(mine.begin(), mine.end());
    Code code;
    if (!v6) {
        put(code, statement(BPF_LD | BPF_B | BPF_ABS, 9));
        put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 0), 0, kDrop);
        // Later fragments have no UDP header.
        put(code, statement(BPF_LD | BPF_H | BPF_ABS, 6));
        put(code, jump(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 0, 0), kDrop, 0);
        put(code, statement(BPF_LD | BPF_W | BPF_ABS, 16));
        if (mine.size() <= kExactGroups4) {
            for (const IpAddress& g : mine)
                put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, g.v4Value(), 0, 0), kKeep, 0);
            put(code, statement(BPF_JMP | BPF_JA, 0), kDrop, kDrop);
        } else {
            put(code, jump(BPF_JMP | BPF_JGE | BPF_K, mine.front().v4Value(), 0, 0), 0, kDrop);
            put(code, jump(BPF_JMP | BPF_JGT | BPF_K, mine.back().v4Value(), 0, 0), kDrop, kKeep);
        }
        return finished(code, kDatagramSnap4);
    }
    put(code, statement(BPF_LD | BPF_B | BPF_ABS, 6));
    put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 0), 0, kDrop);
    if (mine.size() <= kExactGroups6) {
        for (const IpAddress& g : mine) {
            // Each word in turn; a word that differs goes on to the next group.
            for (std::size_t w = 0; w < 4; ++w) {
                put(code,
                    statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(24 + 4 * w)));
                const std::size_t rest = (3 - w) * 2;
                put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, word32(g.bytes.data() + 4 * w), 0, 0),
                    w == 3 ? kKeep : 0, rest);
            }
        }
    } else {
        // The words all the groups share, then a range of the first that differs
        // (all of the multicast range when the first word already differs).
        std::size_t w = 0;
        while (w < 3 && word32(mine.front().bytes.data() + 4 * w) ==
                            word32(mine.back().bytes.data() + 4 * w)) {
            put(code, statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(24 + 4 * w)));
            put(code,
                jump(BPF_JMP | BPF_JEQ | BPF_K, word32(mine.front().bytes.data() + 4 * w), 0, 0), 0,
                kDrop);
            ++w;
        }
        put(code, statement(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(24 + 4 * w)));
        put(code, jump(BPF_JMP | BPF_JGE | BPF_K, word32(mine.front().bytes.data() + 4 * w), 0, 0),
            0, kDrop);
        put(code, jump(BPF_JMP | BPF_JGT | BPF_K, word32(mine.back().bytes.data() + 4 * w), 0, 0),
            kDrop, kKeep);
    }
    put(code, statement(BPF_JMP | BPF_JA, 0), kDrop, kDrop);
    return finished(code, kDatagramSnap6);
}

std::vector<sock_filter> queryFilter(bool v6)
{
    Code code;
    if (!v6) {
        put(code, statement(BPF_LD | BPF_B | BPF_ABS, 9));
        put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_IGMP, 0, 0), 0, kDrop);
        put(code, statement(BPF_LDX | BPF_B | BPF_MSH, 0));
        put(code, statement(BPF_LD | BPF_B | BPF_IND, 0));
        put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, 0x11, 0, 0), kKeep, kDrop);
        return finished(code, kQuerySnap);
    }
    put(code, statement(BPF_LD | BPF_B | BPF_ABS, 6));
    put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMPV6, 0, 0), 9, 0);
    put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 0), 0, kDrop);   // hop-by-hop options
    put(code, statement(BPF_LD | BPF_B | BPF_ABS, 40));
    put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMPV6, 0, 0), 0, kDrop);
    put(code, statement(BPF_LD | BPF_B | BPF_ABS, 41));
    put(code, statement(BPF_ALU | BPF_ADD | BPF_K, 1));
    put(code, statement(BPF_ALU | BPF_LSH | BPF_K, 3));
    put(code, statement(BPF_MISC | BPF_TAX, 0));
    put(code, statement(BPF_LD | BPF_B | BPF_IND, 40));
    put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, 130, 0, 0), kKeep, kDrop);
    // ICMPv6 right after the header.
    put(code, statement(BPF_LD | BPF_B | BPF_ABS, 40));
    put(code, jump(BPF_JMP | BPF_JEQ | BPF_K, 130, 0, 0), kKeep, kDrop);
    return finished(code, kQuerySnap);
}

int LinkTap::open(bool v6, const std::vector<sock_filter>& filter)
{
    close();
    v6_ = v6;
    // Protocol 0 takes nothing until the filter is in place and the socket is
    // bound to its family.
    fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        return errno;
    sock_fprog program{static_cast<unsigned short>(filter.size()),
                       const_cast<sock_filter*>(filter.data())};
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(v6 ? ETH_P_IPV6 : ETH_P_IP);
    if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
        const int error = errno;
        close();
        return error;
    }
    return 0;
}

void LinkTap::takeAllMulticast(const std::vector<unsigned>& interfaces)
{
    for (const unsigned index : interfaces) {
        packet_mreq request{};
        request.mr_ifindex = static_cast<int>(index);
        request.mr_type = PACKET_MR_ALLMULTI;
        // A link that refuses keeps its own filter: the look then sees less.
        (void)::setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &request, sizeof request);
    }
}

void LinkTap::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::optional<LinkTap::Frame> LinkTap::read(std::span<unsigned char> buffer)
{
    while (fd_ >= 0) {
        sockaddr_ll from{};
        socklen_t size = sizeof from;
        const ssize_t got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &size);
        if (got < 0)
            return std::nullopt;
        if (from.sll_pkttype == PACKET_OUTGOING || from.sll_hatype == ARPHRD_LOOPBACK)
            continue;
        return Frame{static_cast<std::size_t>(got), static_cast<unsigned>(from.sll_ifindex)};
    }
    return std::nullopt;
}

void addSighting(std::vector<LinkSighting>& seen, const LinkDatagram& datagram, unsigned interface)
{
    for (LinkSighting& s : seen) {
        if (s.group == datagram.group && s.sender == datagram.sender && s.port == datagram.port &&
            s.interface == interface) {
            ++s.datagrams;
            return;
        }
    }
    seen.push_back({datagram.group, datagram.sender, datagram.port, interface, 1});
}

SilenceCause silenceCause(const std::vector<LinkSighting>& seen, int port,
                          const std::vector<unsigned>& joinedOn, const HostAnswers& host)
{
    SilenceCause cause;
    for (const LinkSighting& s : seen)
        cause.seenDatagrams += s.datagrams;
    const auto joined = [&](unsigned interface) {
        return joinedOn.empty() ||
               std::find(joinedOn.begin(), joinedOn.end(), interface) != joinedOn.end();
    };
    const LinkSighting* onJoined = nullptr;
    const LinkSighting* onOther = nullptr;
    const LinkSighting* otherPort = nullptr;
    for (const LinkSighting& s : seen) {
        if (s.port != port)
            otherPort = otherPort != nullptr ? otherPort : &s;
        else if (joined(s.interface))
            onJoined = onJoined != nullptr ? onJoined : &s;
        else
            onOther = onOther != nullptr ? onOther : &s;
    }
    const LinkSighting* told = onJoined != nullptr  ? onJoined
                               : onOther != nullptr ? onOther
                                                    : otherPort;
    if (told == nullptr)
        return cause;
    cause.seen = *told;
    cause.seenOn = host.interfaceName(told->interface);
    if (!joinedOn.empty())
        cause.joinedOn = host.interfaceName(joinedOn.front());
    if (told == otherPort) {
        cause.kind = SilenceCause::OtherPort;
    } else if (told == onOther) {
        cause.kind = SilenceCause::OtherInterface;
    } else {
        cause.kind = SilenceCause::HostDrops;
        // The reverse-path filter is IPv4's: strict drops what its route back
        // does not take the same way, loose what has no route back at all.
        const int filter = told->group.isV4() ? host.reversePath(told->interface) : 0;
        const std::optional<unsigned> back =
            filter != 0 ? host.routeBack(told->sender.address) : std::nullopt;
        if ((filter == 1 && back != told->interface) || (filter == 2 && !back)) {
            cause.kind = SilenceCause::ReversePath;
            cause.reversePath = filter;
            cause.routeBack = back ? host.interfaceName(*back) : std::string();
        } else if (std::string rules = host.firewall(); !rules.empty()) {
            cause.kind = SilenceCause::Firewall;
            cause.firewall = std::move(rules);
        }
    }
    return cause;
}
