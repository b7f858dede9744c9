#include "csock.h"
#include "lab_channels.h"

#include <gtest/gtest.h>

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
