#include "channel/csock.h"
#include "tests/channel/lab_channels.h"

#include <gtest/gtest.h>

#include <cstring>

// Binding only; nothing is sent, so the machine's own namespace is fine here.
TEST(CsockTest, BindTakesThePortOnEveryAddressWithoutReuse)
{
    Csock any, second;
    ASSERT_EQ(any.init(Csock::Datagram), 1);
    ASSERT_EQ(any.bind("", 0), 1);
    const int port = boundPort(any.handle());
    ASSERT_EQ(second.init(Csock::Datagram), 1);
    EXPECT_EQ(second.bind("127.0.0.1", port), 0);
    any.close();

    // Only the low 16 bits of the port count.
    EXPECT_EQ(second.bind("127.0.0.1", port + 65536), 1);
    EXPECT_EQ(boundPort(second.handle()), port);
    second.close();
}

// Loopback only. The sender text must be the dotted address exactly, for
// every width of its four numbers, and must overwrite a longer earlier text.
TEST(CsockTest, SenderTextIsTheDottedSourceAddress)
{
    Csock receiver;
    ASSERT_EQ(receiver.init(Csock::Datagram), 1);
    ASSERT_EQ(receiver.bind("127.0.0.1", 0), 1);
    const int port = boundPort(receiver.handle());
    ASSERT_EQ(receiver.setReceiveTimeout(1000), 1);

    char from[16];
    std::memset(from, 'x', sizeof from);
    for (const char* source : {"127.255.255.254", "127.10.200.9", "127.0.99.100", "127.0.0.1"}) {
        Csock sender;
        ASSERT_EQ(sender.init(Csock::Datagram), 1);
        ASSERT_EQ(sender.bind(source, 0), 1) << source;
        ASSERT_EQ(sender.sendTo("x", 1, "127.0.0.1", port), 1);
        char byte = 0;
        EXPECT_EQ(receiver.recvFrom(&byte, 1, from), 1);
        EXPECT_STREQ(from, source);
        sender.close();
    }
    receiver.close();
}
