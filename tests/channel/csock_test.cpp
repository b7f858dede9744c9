#include "channel/csock.h"
#include "tests/channel/lab_channels.h"

#include <gtest/gtest.h>

#include <net/if.h>

#include <cerrno>

// Binding only; nothing is sent, so the machine's own namespace is fine here.
TEST(CsockTest, BindTakesThePortOnEveryAddressWithoutReuse)
{
    Csock any, second;
    ASSERT_EQ(any.init(Csock::Datagram), 1);
    ASSERT_EQ(any.bind({}), 1);
    const int port = boundPort(any.handle());
    ASSERT_EQ(second.init(Csock::Datagram), 1);
    EXPECT_EQ(second.bind(at("127.0.0.1", port)), 0);
    any.close();

    EXPECT_EQ(second.bind(at("127.0.0.1", port)), 1);
    EXPECT_EQ(boundPort(second.handle()), port);
    second.close();
}

// Loopback only. The sender must be the source address and port, of either family.
TEST(CsockTest, TheSenderIsTheSourceAddressAndPort)
{
    Csock receiver;
    ASSERT_EQ(receiver.init(Csock::Datagram), 1);
    ASSERT_EQ(receiver.bind(at("127.0.0.1")), 1);
    const int port = boundPort(receiver.handle());
    ASSERT_EQ(receiver.setReceiveTimeout(1000), 1);
    Csock receiver6;
    ASSERT_EQ(receiver6.init(Csock::Datagram, IpAddress::Family::V6), 1);
    ASSERT_EQ(receiver6.bind(at("::1")), 1);
    const int port6 = boundPort(receiver6.handle());
    ASSERT_EQ(receiver6.setReceiveTimeout(1000), 1);

    for (const char* source : {"127.255.255.254", "127.0.0.1", "::1"}) {
        const bool v6 = ip(source).isV6();
        Csock sender;
        ASSERT_EQ(sender.init(Csock::Datagram, ip(source).family), 1);
        ASSERT_EQ(sender.bind(at(source)), 1) << source;
        ASSERT_EQ(sender.sendTo("x", 1, v6 ? at("::1", port6) : at("127.0.0.1", port)), 1);
        char byte = 0;
        SocketAddress from;
        EXPECT_EQ((v6 ? receiver6 : receiver).recvFrom(&byte, 1, &from), 1);
        EXPECT_EQ(from, at(source, boundPort(sender.handle())));
        sender.close();
    }
    // A failed step keeps the system's reason.
    Csock taken;
    ASSERT_EQ(taken.init(Csock::Datagram), 1);
    EXPECT_EQ(taken.bind(at("127.0.0.1", port)), 0);
    EXPECT_EQ(taken.lastError(), EADDRINUSE);
    for (Csock* s : {&receiver, &receiver6, &taken})
        s->close();
}

TEST(CsockTest, AnInterfaceIsFoundByItsNameOrOneOfItsAddresses)
{
    const unsigned loopback = ::if_nametoindex("lo");
    ASSERT_NE(loopback, 0U);
    EXPECT_EQ(interfaceIndex("lo"), loopback);
    EXPECT_EQ(interfaceIndex(" 127.0.0.1 "), loopback);
    EXPECT_EQ(interfaceIndex("192.0.2.200"), std::nullopt);
    EXPECT_EQ(interfaceIndex("no-such-link"), std::nullopt);
    EXPECT_EQ(interfaceIndex(""), std::nullopt);
}
