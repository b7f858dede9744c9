#include "channel/dc_channel.h"
#include "core/group_list.h"
#include "tests/channel/lab_channels.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace {

int openDescriptors()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count;
}

}   // namespace

TEST(DcChannelTest, EachOperationRewritesTheStatusLine)
{
    DcChannel channel;
    channel.setId(7);
    EXPECT_EQ(channel.create(DatagramSend, at("10.0.0.1", 1)), 1);
    EXPECT_STREQ(channel.statusLine(), "Create DC(ID : 7).");
    EXPECT_EQ(channel.build(), 1);
    EXPECT_STREQ(channel.statusLine(), "Build DC OK(ID : 7).");
    EXPECT_EQ(channel.state(), 1);
    EXPECT_STREQ(channel.statusLine(), "DC State : 1 (ID : 7).");
    EXPECT_EQ(channel.destroy(), 1);
    EXPECT_STREQ(channel.statusLine(), "Destroy DC(ID : 7).");
    EXPECT_EQ(channel.socket(), kInvalidSocket);

    // Kinds outside 20-28 build "successfully" without a socket.
    for (int kind : {0, 19, 29}) {
        channel.create(kind, SocketAddress{});
        EXPECT_EQ(channel.build(), 1);
        EXPECT_EQ(channel.state(), 1) << kind;
        EXPECT_EQ(channel.socket(), kInvalidSocket);
    }
}

TEST(DcChannelTest, KindsSetUpTheirSocketsAsDescribed)
{
    struct Row {
        int kind;
        int type;
        bool bound;
        bool broadcast;
        bool listening;
    };
    const Row rows[] = {
        {StreamListenA, SOCK_STREAM, true, false, true},
        {StreamListenB, SOCK_STREAM, true, false, true},
        {DatagramSend, SOCK_DGRAM, false, false, false},
        {DatagramReceive, SOCK_DGRAM, true, false, false},
        {BroadcastSend, SOCK_DGRAM, false, true, false},
        {BroadcastReceive, SOCK_DGRAM, true, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        DcChannel channel;
        channel.create(row.kind, SocketAddress{});
        channel.build();
        ASSERT_EQ(channel.state(), 1);
        const SocketHandle s = channel.socket();
        EXPECT_EQ(intOption(s, SOL_SOCKET, SO_TYPE), row.type);
        EXPECT_EQ(boundPort(s) != 0, row.bound);
        EXPECT_EQ(intOption(s, SOL_SOCKET, SO_BROADCAST) != 0, row.broadcast);
        EXPECT_EQ(intOption(s, SOL_SOCKET, SO_ACCEPTCONN) != 0, row.listening);
        EXPECT_EQ(intOption(s, SOL_SOCKET, SO_REUSEADDR), 0);
        channel.destroy();
    }
}

TEST(DcChannelTest, SendOfNothingOrOnAFailedChannelSendsNothing)
{
    DcChannel receiver, sender, failed;
    receiver.create(DatagramReceive, SocketAddress{});
    receiver.build();
    const int port = boundPort(receiver.socket());
    Csock().attach(receiver.socket()).setReceiveTimeout(50);
    sender.create(DatagramSend, SocketAddress{});
    sender.build();
    failed.create(DatagramReceive, at("", port));
    EXPECT_EQ(failed.build(), 0);
    EXPECT_STREQ(failed.statusLine(), "Csock bind error!");

    EXPECT_EQ(failed.lastError(), EADDRINUSE);

    char buffer[16];
    SocketAddress from;
    EXPECT_EQ(sender.send("x", 0, at("127.0.0.1", port)), 0);
    EXPECT_EQ(failed.send("y", 1, at("127.0.0.1", port)), 0);
    EXPECT_EQ(receiver.receive(buffer, sizeof buffer, &from), -1);
    EXPECT_EQ(sender.send("z", 1, at("127.0.0.1", port)), 1);
    EXPECT_EQ(receiver.receive(buffer, sizeof buffer, &from), 1);
    EXPECT_EQ(from.address, ip("127.0.0.1"));
    for (DcChannel* c : {&receiver, &sender, &failed})
        c->destroy();
}

// The join fails locally (the group is not a multicast address), so nothing
// is sent; the bind before it has already taken the port.
TEST(DcChannelTest, RebuildClosesTheSocketOfTheEarlierAttempt)
{
    Csock probe;
    probe.init(Csock::Datagram);
    probe.bind({});
    const int port = boundPort(probe.handle());
    probe.close();

    const int before = openDescriptors();
    DcChannel channel;
    channel.create(MulticastReceive, at("10.1.2.3", port));
    for (int attempt = 0; attempt < 5; ++attempt) {
        EXPECT_EQ(channel.build(), 0);
        EXPECT_STREQ(channel.statusLine(), "Csock mcastopt error!");
    }
    EXPECT_EQ(openDescriptors(), before + 1);
    EXPECT_EQ(channel.destroy(), 1);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(DcChannelLabTest, MulticastCrossesHostsAndFailuresAreReported)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    const std::string group = "239.1.2.3";
    DcChannel sender, receiver, samePort, unicast;
    sender.create(MulticastSend, at(group, 9000));
    receiver.create(MulticastReceive, at(group, 9000));
    samePort.create(MulticastReceive, at(group, 9000));
    unicast.create(MulticastReceive, at("10.77.1.1", 9001));
    buildOn(lab, 0, sender);
    buildOn(lab, 1, receiver);
    ASSERT_EQ(sender.state(), 1);
    ASSERT_EQ(receiver.state(), 1);
    for (const DcChannel* c : {&sender, &receiver})
        EXPECT_EQ(intOption(c->socket(), IPPROTO_IP, IP_MULTICAST_TTL), RunDefaults::kTtl);
    // Only the sender saves the kernel its looped-back copies.
    EXPECT_EQ(intOption(sender.socket(), IPPROTO_IP, IP_MULTICAST_LOOP), 0);
    EXPECT_EQ(intOption(receiver.socket(), IPPROTO_IP, IP_MULTICAST_LOOP), 1);
    // Only the receiver asks for a large buffer (granted past the system's cap
    // to root, and doubled by it) and counts what it drops.
    EXPECT_EQ(intOption(receiver.socket(), SOL_SOCKET, SO_RCVBUF),
              2 * DcChannel::kReceiveBufferBytes);
    EXPECT_EQ(intOption(receiver.socket(), SOL_SOCKET, SO_RXQ_OVFL), 1);
    EXPECT_EQ(intOption(sender.socket(), SOL_SOCKET, SO_RXQ_OVFL), 0);
    // Only the receiver keeps away the groups that other sockets of its host
    // joined, and learns where each datagram was sent.
    EXPECT_EQ(intOption(receiver.socket(), IPPROTO_IP, IP_MULTICAST_ALL), 0);
    EXPECT_EQ(intOption(receiver.socket(), IPPROTO_IP, IP_PKTINFO), 1);
    EXPECT_EQ(intOption(sender.socket(), IPPROTO_IP, IP_PKTINFO), 0);
    // Joining again while a member is no failure.
    lab.start(1, [&receiver] { EXPECT_EQ(receiver.join(), 1); }).join();

    char buffer[64] = {};
    SocketAddress from;
    // deliver sets the time-out through a temporary Csock: the socket outlives it.
    ASSERT_EQ(deliver(sender, receiver, group, 9000, "hello", buffer, sizeof buffer, &from), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(from.address, ip(lab.hostAddress(0)));
    // An empty send puts nothing on the wire: the next datagram is the marker.
    EXPECT_EQ(sender.send("", 0, at(group, 9000)), 0);
    EXPECT_EQ(sender.send("marker", 6, at(group, 9000)), 6);
    EXPECT_EQ(receiver.receive(buffer, sizeof buffer, &from), 6);

    // A datagram longer than the buffer fails but leaves its start behind; a
    // receive that times out fails too.
    const std::string big = std::string(50, 'A') + std::string(50, 'B');
    std::memset(buffer, 0, sizeof buffer);
    ASSERT_EQ(sender.send(big.data(), 100, at(group, 9000)), 100);
    EXPECT_EQ(receiver.receive(buffer, 16, &from), -1);
    EXPECT_EQ(std::string(buffer, 17), std::string(16, 'A') + '\0');
    EXPECT_EQ(receiver.receive(buffer, sizeof buffer, &from), -1);

    buildOn(lab, 0, samePort);
    EXPECT_STREQ(samePort.statusLine(), "Csock bind error!");
    EXPECT_EQ(samePort.state(), 0);
    buildOn(lab, 0, unicast);
    EXPECT_STREQ(unicast.statusLine(), "Csock mcastopt error!");
    EXPECT_EQ(unicast.state(), 0);
    for (DcChannel* c : {&sender, &receiver, &samePort, &unicast})
        c->destroy();
}

TEST(DcChannelLabTest, MulticastOptionsHoldForTheNextBuildsUntilTheNextCreate)
{
    NetnsLab lab(1);
    NETNS_LAB_OR_SKIP(lab);
    auto interfaceOf = [](SocketHandle handle) {
        in_addr address{};
        socklen_t length = sizeof address;
        ::getsockopt(handle, IPPROTO_IP, IP_MULTICAST_IF, &address, &length);
        return std::string(::inet_ntoa(address));
    };
    MulticastOptions options;
    std::snprintf(options.interface, sizeof options.interface, "%s", lab.hostAddress(0).c_str());
    options.ttl = 3;
    DcChannel channel;
    channel.create(MulticastSend, at("239.1.2.3", 9000));
    channel.setMulticastOptions(options);
    for (int build = 0; build < 2; ++build) {
        buildOn(lab, 0, channel);
        ASSERT_EQ(channel.state(), 1) << channel.statusLine();
        EXPECT_EQ(intOption(channel.socket(), IPPROTO_IP, IP_MULTICAST_TTL), 3);
        EXPECT_EQ(interfaceOf(channel.socket()), lab.hostAddress(0));
    }
    channel.destroy();

    // A later run on the same channel gets the defaults again.
    channel.create(MulticastSend, at("239.1.2.3", 9000));
    buildOn(lab, 0, channel);
    ASSERT_EQ(channel.state(), 1);
    EXPECT_EQ(intOption(channel.socket(), IPPROTO_IP, IP_MULTICAST_TTL), RunDefaults::kTtl);
    EXPECT_EQ(interfaceOf(channel.socket()), "0.0.0.0");
    channel.destroy();

    std::snprintf(options.interface, sizeof options.interface, "no-such-if9");
    channel.create(MulticastReceive, at("239.1.2.3", 9000));
    channel.setMulticastOptions(options);
    buildOn(lab, 0, channel);
    EXPECT_STREQ(channel.statusLine(), "Csock mcastopt error!");
    EXPECT_EQ(channel.state(), 0);
    channel.destroy();
}

// Past what one socket may join (IPv4: a count; IPv6: the memory a socket
// may spend on options, refused with ENOMEM), the memberships go on further
// sockets that keep nothing, and the one socket bound to the port takes
// every group's datagrams.
TEST(DcChannelLabTest, GroupsBeyondOneSocketsRoomGoOnFurtherSockets)
{
    NetnsLab lab(1);
    NETNS_LAB_OR_SKIP(lab);
    ASSERT_EQ(lab.exec(0, "sysctl -qw net.core.optmem_max=4096"), 0);
    for (const char* range : {"239.3.0.1+99", "ff3e::1+199"}) {
        SCOPED_TRACE(range);
        MulticastOptions options;
        options.groups = parseGroupList({range}, kMaxGroups).groups;
        DcChannel channel;
        channel.create(MulticastReceive, SocketAddress{options.groups.front(), 9000});
        channel.setMulticastOptions(options);
        buildOn(lab, 0, channel);
        ASSERT_EQ(channel.state(), 1) << channel.statusLine() << " " << channel.lastError();
        ASSERT_GT(channel.socketCount(), 1u);
        const bool v6 = options.groups.front().isV6();
        EXPECT_EQ(intOption(channel.socket(0), v6 ? IPPROTO_IPV6 : IPPROTO_IP,
                            v6 ? IPV6_MULTICAST_ALL : IP_MULTICAST_ALL),
                  1);
        for (std::size_t i = 0; i < channel.socketCount(); ++i) {
            EXPECT_EQ(boundPort(channel.socket(i)), i == 0 ? 9000 : 0);
            EXPECT_EQ(intOption(channel.socket(i), SOL_SOCKET, SO_REUSEPORT), 0);
            if (!v6) {   // 100 groups, 20 a socket by default
                EXPECT_EQ(channel.firstGroup(i + 1) - channel.firstGroup(i),
                          DcChannel::kDefaultMemberships);
            }
        }
        EXPECT_EQ(channel.firstGroup(channel.socketCount()), options.groups.size());
        // Every socket's groups joined again: each still a member.
        lab.start(0, [&channel] { EXPECT_EQ(channel.join(), 1); }).join();
        channel.destroy();
        EXPECT_EQ(channel.socketCount(), 0u);
    }
}

// An IPv6 group in its longest textual form is a group like any other: the
// channel keeps it as a number all the way to the join.
TEST(DcChannelLabTest, AGroupOfTheLongestTextCrossesHosts)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    const std::string group = "ff3e:1234:5678:9abc:def0:1234:5678:9abc";
    ASSERT_EQ(group.size(), 39u);
    DcChannel sender, receiver;
    sender.create(MulticastSend, at(group, 9000));
    receiver.create(MulticastReceive, at(group, 9000));
    EXPECT_EQ(receiver.endpoint(), at(group, 9000));
    buildOn(lab, 0, sender);
    buildOn(lab, 1, receiver);
    ASSERT_EQ(sender.state(), 1) << sender.lastError();
    ASSERT_EQ(receiver.state(), 1) << receiver.lastError();
    char buffer[16] = {};
    SocketAddress from;
    ASSERT_EQ(deliver(sender, receiver, group, 9000, "long", buffer, sizeof buffer, &from), 4);
    EXPECT_EQ(std::string(buffer, 4), "long");
    for (DcChannel* c : {&sender, &receiver})
        c->destroy();
}
