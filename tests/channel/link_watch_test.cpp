#include "channel/link_watch.h"
#include "platform/host_state.h"

#include <gtest/gtest.h>

#include <netinet/in.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return IpAddress::v4(static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(b) << 16 |
                         static_cast<std::uint32_t>(c) << 8 | d);
}

IpAddress v6(std::uint8_t first, std::uint8_t last)
{
    IpAddress a;
    a.family = IpAddress::Family::V6;
    a.bytes[0] = first;
    a.bytes[1] = 0x0e;
    a.bytes[15] = last;
    return a;
}

// An IPv4 packet: header of optionWords extra words, then payload.
std::vector<unsigned char> packet4(std::uint8_t protocol, const IpAddress& from,
                                   const IpAddress& to, std::vector<unsigned char> payload,
                                   int optionWords = 0)
{
    const std::size_t header = 20 + 4 * static_cast<std::size_t>(optionWords);
    std::vector<unsigned char> p(header, 0);
    p[0] = static_cast<unsigned char>(0x40 | (header / 4));
    const std::size_t total = header + payload.size();
    p[2] = static_cast<unsigned char>(total >> 8);
    p[3] = static_cast<unsigned char>(total);
    p[9] = protocol;
    std::copy_n(from.bytes.begin(), 4, p.begin() + 12);
    std::copy_n(to.bytes.begin(), 4, p.begin() + 16);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

// An IPv6 packet, its payload after a hop-by-hop header when hopByHop.
std::vector<unsigned char> packet6(std::uint8_t next, const IpAddress& from, const IpAddress& to,
                                   std::vector<unsigned char> payload, bool hopByHop = false)
{
    std::vector<unsigned char> p(40, 0);
    p[0] = 0x60;
    if (hopByHop)
        payload.insert(payload.begin(), {next, 0, 5, 2, 0, 0, 1, 0});
    p[4] = static_cast<unsigned char>(payload.size() >> 8);
    p[5] = static_cast<unsigned char>(payload.size());
    p[6] = hopByHop ? 0 : next;
    std::copy_n(from.bytes.begin(), 16, p.begin() + 8);
    std::copy_n(to.bytes.begin(), 16, p.begin() + 24);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

std::vector<unsigned char> udp(std::uint16_t from, std::uint16_t to)
{
    std::vector<unsigned char> d{static_cast<unsigned char>(from >> 8),
                                 static_cast<unsigned char>(from),
                                 static_cast<unsigned char>(to >> 8),
                                 static_cast<unsigned char>(to),
                                 0,
                                 208,
                                 0,
                                 0};
    d.resize(208, 0x5a);   // a payload the filter must not copy
    return d;
}

// What the kernel does with a classic filter, for the instructions the
// filters use: how many bytes of the packet it keeps (0: none).
std::uint32_t runFilter(const std::vector<sock_filter>& program,
                        const std::vector<unsigned char>& p)
{
    std::uint32_t a = 0;
    std::uint32_t x = 0;
    const auto load = [&](std::size_t at, int size, bool& ok) {
        std::uint32_t v = 0;
        ok = at + static_cast<std::size_t>(size) <= p.size();
        for (int i = 0; ok && i < size; ++i)
            v = v << 8 | p[at + static_cast<std::size_t>(i)];
        return v;
    };
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter f = program[pc];
        bool ok = true;
        const int size = BPF_SIZE(f.code) == BPF_W ? 4 : BPF_SIZE(f.code) == BPF_H ? 2 : 1;
        switch (BPF_CLASS(f.code)) {
        case BPF_LD:
            a = load(BPF_MODE(f.code) == BPF_IND ? x + f.k : f.k, size, ok);
            if (!ok)
                return 0;   // a load past the end ends the program
            break;
        case BPF_LDX:
            x = (load(f.k, 1, ok) & 0xf) * 4;
            if (!ok)
                return 0;
            break;
        case BPF_ALU:
            a = BPF_OP(f.code) == BPF_ADD ? a + f.k : BPF_OP(f.code) == BPF_LSH ? a << f.k : 0;
            EXPECT_TRUE(BPF_OP(f.code) == BPF_ADD || BPF_OP(f.code) == BPF_LSH);
            break;
        case BPF_MISC: x = a; break;
        case BPF_RET: return f.k;
        case BPF_JMP: {
            if (BPF_OP(f.code) == BPF_JA) {
                pc += f.k;
                break;
            }
            const bool yes = BPF_OP(f.code) == BPF_JEQ   ? a == f.k
                             : BPF_OP(f.code) == BPF_JGE ? a >= f.k
                             : BPF_OP(f.code) == BPF_JGT ? a > f.k
                                                         : (a & f.k) != 0;
            pc += yes ? f.jt : f.jf;
            break;
        }
        default: ADD_FAILURE() << "instruction " << f.code; return 0;
        }
    }
    ADD_FAILURE() << "the program ran off its end";
    return 0;
}

TEST(LinkFilter, TakesOnlyUdpToTheGroupsOfItsFamilyCutToTheHeaders)
{
    const IpAddress sender = v4(10, 0, 0, 1);
    std::vector<IpAddress> few{v4(224, 1, 1, 1), v4(239, 2, 2, 2)};
    std::vector<IpAddress> many;   // more than exact jumps can reach: a range
    for (int i = 0; i < 500; ++i)
        many.push_back(
            v4(239, 1, static_cast<std::uint8_t>(i / 256), static_cast<std::uint8_t>(i)));
    std::vector<IpAddress> few6{v6(0xff, 1), v6(0xff, 9)};
    std::vector<IpAddress> many6;
    for (int i = 0; i < 100; ++i)
        many6.push_back(v6(0xff, static_cast<std::uint8_t>(i + 1)));
    std::vector<unsigned char> fragment =
        packet4(IPPROTO_UDP, sender, v4(224, 1, 1, 1), udp(1, 9000));
    fragment[7] = 8;   // a later fragment: no UDP header
    struct Case {
        const char* what;
        const std::vector<IpAddress>& groups;
        bool v6;
        std::vector<unsigned char> packet;
        bool taken;
    };
    const Case cases[] = {
        {"a group", few, false, packet4(IPPROTO_UDP, sender, v4(224, 1, 1, 1), udp(1, 9000)), true},
        {"the last group, with IP options", few, false,
         packet4(IPPROTO_UDP, sender, v4(239, 2, 2, 2), udp(1, 9001), 1), true},
        {"another group", few, false, packet4(IPPROTO_UDP, sender, v4(224, 1, 1, 2), udp(1, 9000)),
         false},
        {"not UDP", few, false, packet4(IPPROTO_TCP, sender, v4(224, 1, 1, 1), udp(1, 9000)),
         false},
        {"a later fragment", few, false, fragment, false},
        {"the first of many", many, false,
         packet4(IPPROTO_UDP, sender, v4(239, 1, 0, 0), udp(1, 9000)), true},
        {"the last of many", many, false,
         packet4(IPPROTO_UDP, sender, v4(239, 1, 1, 243), udp(1, 9000)), true},
        {"past the many", many, false,
         packet4(IPPROTO_UDP, sender, v4(239, 1, 1, 244), udp(1, 9000)), false},
        {"an IPv6 group", few6, true, packet6(IPPROTO_UDP, v6(0xfd, 1), v6(0xff, 9), udp(1, 9000)),
         true},
        {"another IPv6 group", few6, true,
         packet6(IPPROTO_UDP, v6(0xfd, 1), v6(0xff, 2), udp(1, 9000)), false},
        {"the last of many IPv6", many6, true,
         packet6(IPPROTO_UDP, v6(0xfd, 1), v6(0xff, 100), udp(1, 9000)), true},
        {"past many IPv6", many6, true,
         packet6(IPPROTO_UDP, v6(0xfd, 1), v6(0xff, 101), udp(1, 9000)), false},
        {"an IPv4 group on an IPv6 filter", few, true,
         packet6(IPPROTO_UDP, v6(0xfd, 1), v6(0xff, 1), udp(1, 9000)), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint32_t kept = runFilter(groupFilter(c.groups, c.v6), c.packet);
        EXPECT_EQ(kept != 0, c.taken);
        if (!c.taken)
            continue;
        // The headers and no more, yet all of them: the sender, the group
        // and the ports read from what is kept as from the whole.
        EXPECT_LE(kept, c.v6 ? 48u : 68u);
        std::vector<unsigned char> cut = c.packet;
        cut.resize(std::min<std::size_t>(kept, c.packet.size()));
        const std::optional<LinkDatagram> d = parseGroupDatagram(cut, c.v6);
        const std::optional<LinkDatagram> whole = parseGroupDatagram(c.packet, c.v6);
        ASSERT_TRUE(d && whole);
        EXPECT_TRUE(std::find(c.groups.begin(), c.groups.end(), d->group) != c.groups.end());
        EXPECT_EQ(d->sender, whole->sender);
        EXPECT_EQ(d->port, whole->port);
    }
}

TEST(LinkFilter, TakesQueriesOnlyAndTellsTheirVersionAndQuerier)
{
    const IpAddress router = v4(10, 0, 0, 254);
    const IpAddress all = v4(224, 0, 0, 1);
    const IpAddress router6 = v6(0xfe, 0x80);
    const IpAddress all6 = v6(0xff, 1);
    const std::vector<unsigned char> query1{0x11, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<unsigned char> query2{0x11, 100, 0, 0, 0, 0, 0, 0};
    const std::vector<unsigned char> query2Group{0x11, 10, 0, 0, 239, 1, 1, 1};
    const std::vector<unsigned char> query3{0x11, 100, 0, 0, 0, 0, 0, 0, 2, 125, 0, 0};
    const std::vector<unsigned char> report{0x16, 0, 0, 0, 239, 1, 1, 1};
    std::vector<unsigned char> mld1(24, 0);
    mld1[0] = 130;
    std::vector<unsigned char> mld2(28, 0);
    mld2[0] = 130;
    std::vector<unsigned char> mldReport(24, 0);
    mldReport[0] = 131;
    struct Case {
        const char* what;
        bool v6;
        std::vector<unsigned char> packet;
        int version;   // 0: not taken
        bool general = true;
    };
    const Case cases[] = {
        {"IGMPv1", false, packet4(IPPROTO_IGMP, router, all, query1, 1), 1},
        {"IGMPv2", false, packet4(IPPROTO_IGMP, router, all, query2, 1), 2},
        {"IGMPv2 of a group", false, packet4(IPPROTO_IGMP, router, all, query2Group, 1), 2, false},
        {"IGMPv3 without options", false, packet4(IPPROTO_IGMP, router, all, query3), 3},
        {"an IGMP report", false, packet4(IPPROTO_IGMP, router, all, report, 1), 0},
        {"UDP", false, packet4(IPPROTO_UDP, router, all, query2), 0},
        {"MLDv1", true, packet6(IPPROTO_ICMPV6, router6, all6, mld1, true), 1},
        {"MLDv2", true, packet6(IPPROTO_ICMPV6, router6, all6, mld2, true), 2},
        {"MLDv2 without hop-by-hop", true, packet6(IPPROTO_ICMPV6, router6, all6, mld2), 2},
        {"an MLD report", true, packet6(IPPROTO_ICMPV6, router6, all6, mldReport, true), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint32_t kept = runFilter(queryFilter(c.v6), c.packet);
        EXPECT_EQ(kept != 0, c.version != 0);
        const std::optional<LinkQuery> q = parseQuery(c.packet, c.v6);
        EXPECT_EQ(q.has_value(), c.version != 0);
        if (!q || !kept)
            continue;
        EXPECT_EQ(q->version, c.version);
        EXPECT_EQ(q->querier, c.v6 ? router6 : router);
        EXPECT_EQ(q->general, c.general);
    }
}

TEST(SilenceCause, TheDatagramsOnTheLinksAndTheHostsStateNameTheCause)
{
    const IpAddress group = v4(224, 1, 1, 1);
    const SocketAddress sender{v4(10, 0, 0, 1), 5000};
    const LinkSighting ours{group, sender, 9000, 2, 10};
    const LinkSighting otherPort{group, sender, 9001, 2, 5};
    const LinkSighting otherLink{group, sender, 9000, 3, 7};
    struct Case {
        const char* what;
        std::vector<LinkSighting> seen;
        int reversePath;
        std::optional<unsigned> routeBack;
        std::string firewall;
        SilenceCause::Kind kind;
        std::string detail;   // the route back or the rules named
    };
    const Case cases[] = {
        {"nothing seen", {}, 1, 2, "rules", SilenceCause::NotDelivered, ""},
        {"another port only", {otherPort}, 0, 2, "", SilenceCause::OtherPort, ""},
        {"our port on a link not joined beats another port",
         {otherPort, otherLink},
         0,
         2,
         "",
         SilenceCause::OtherInterface,
         ""},
        {"strict, route back elsewhere", {ours}, 1, 3, "rules", SilenceCause::ReversePath, "if3"},
        {"strict, no route back", {ours}, 1, std::nullopt, "", SilenceCause::ReversePath, ""},
        {"loose, no route back", {ours}, 2, std::nullopt, "", SilenceCause::ReversePath, ""},
        {"loose, route back elsewhere: the firewall",
         {ours},
         2,
         3,
         "rules",
         SilenceCause::Firewall,
         "rules"},
        {"strict, route back the same way", {ours}, 1, 2, "", SilenceCause::HostDrops, ""},
        {"no filter, no rules",
         {otherPort, ours},
         0,
         std::nullopt,
         "",
         SilenceCause::HostDrops,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const HostAnswers host{[](unsigned index) { return "if" + std::to_string(index); },
                               [&c](unsigned) { return c.reversePath; },
                               [&c](const IpAddress& a) {
                                   EXPECT_EQ(a, v4(10, 0, 0, 1));
                                   return c.routeBack;
                               },
                               [&c] { return c.firewall; }};
        const SilenceCause cause = silenceCause(c.seen, 9000, {2}, host);
        EXPECT_EQ(cause.kind, c.kind);
        if (cause.kind == SilenceCause::ReversePath) {
            EXPECT_EQ(cause.routeBack, c.detail);
            EXPECT_EQ(cause.reversePath, c.reversePath);
        }
        if (cause.kind == SilenceCause::Firewall) {
            EXPECT_EQ(cause.firewall, c.detail);
        }
        if (cause.kind == SilenceCause::OtherInterface) {
            EXPECT_EQ(cause.seenOn, "if3");
            EXPECT_EQ(cause.joinedOn, "if2");
        }
        if (cause.kind == SilenceCause::OtherPort) {
            EXPECT_EQ(cause.seen.port, 9001);
        }
        std::uint64_t all = 0;
        for (const LinkSighting& s : c.seen)
            all += s.datagrams;
        EXPECT_EQ(cause.seenDatagrams, all);
    }
    // IPv6 has no reverse-path filter of its own.
    LinkSighting six = ours;
    six.group = v6(0xff, 1);
    const HostAnswers strict{
        [](unsigned) { return std::string("eth0"); }, [](unsigned) { return 1; },
        [](const IpAddress&) { return std::optional<unsigned>(); }, [] { return std::string(); }};
    EXPECT_EQ(silenceCause({six}, 9000, {2}, strict).kind, SilenceCause::HostDrops);
}

TEST(HostState, MembershipsAndFirewallRulesAreReadAsTheKernelWritesThem)
{
    const char* igmp = "Idx\tDevice    : Count Querier\tGroup    Users Timer\tReporter\n"
                       "1\tlo        :     1      V3\n"
                       "\t\t\t\t010000E0     1 0:00000000\t\t0\n"
                       "2\teth0      :     2      V2\n"
                       "\t\t\t\t010101E0     1 0:00000000\t\t0\n"
                       "\t\t\t\t010000E0     1 0:00000000\t\t0\n";
    const std::vector<HostMembership> four = parseIgmp(igmp);
    ASSERT_EQ(four.size(), 3u);
    EXPECT_EQ(four[1].interface, "eth0");
    EXPECT_FALSE(four[1].v6);
    const std::array<unsigned char, 4> group{224, 1, 1, 1};
    EXPECT_TRUE(std::equal(group.begin(), group.end(), four[1].group.begin()));

    const std::vector<HostMembership> six =
        parseIgmp6("2    eth0            ff0e0000000000000000000000000109     1 00000004 0\n"
                   "3    mctx1           ff020000000000000000000000000001     1 0000000C 0\n");
    ASSERT_EQ(six.size(), 2u);
    EXPECT_EQ(six[0].interface, "eth0");
    EXPECT_TRUE(six[0].v6);
    EXPECT_EQ(six[0].group[0], 0xff);
    EXPECT_EQ(six[0].group[1], 0x0e);
    EXPECT_EQ(six[0].group[14], 0x01);
    EXPECT_EQ(six[0].group[15], 0x09);

    struct Case {
        const char* ruleset;
        const char* chain;
    };
    const Case cases[] = {
        {"table inet t {\n\tchain input {\n\t\ttype filter hook input priority filter; policy "
         "accept;\n\t\tudp dport 9000 drop\n\t}\n}\n",
         "inet t input"},
        {"table ip f {\n\tchain in {\n\t\ttype filter hook input priority 0; policy "
         "drop;\n\t}\n}\n",
         "ip f in"},
        // No rules and accepting; rules on another hook.
        {"table inet t {\n\tchain input {\n\t\ttype filter hook input priority filter; policy "
         "accept;\n\t}\n\tchain out {\n\t\ttype filter hook output priority 0; policy accept;\n"
         "\t\tudp dport 9000 drop\n\t}\n}\n",
         ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(nftInputChain(c.ruleset), c.chain) << c.ruleset;
}

}   // namespace
