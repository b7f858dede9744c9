#include "channel/dc_pool.h"
#include "tests/channel/lab_channels.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <string>
#include <thread>

TEST(DcPoolTest, LowestFreeSlotWinsAndReleaseFreesIt)
{
    DcPool pool;
    EXPECT_EQ(pool.init(5), 1);
    EXPECT_EQ(pool.init(9), 1);
    EXPECT_EQ(pool.slotCount(), 5);
    for (int expected = 0; expected < 5; ++expected)
        EXPECT_EQ(pool.acquire(0, SocketAddress{}), expected);
    EXPECT_EQ(pool.acquire(0, SocketAddress{}), -1);

    EXPECT_EQ(pool.release(2), -1);
    EXPECT_EQ(pool.state(2), -1);
    EXPECT_EQ(pool.acquire(MulticastReceive, at("239.9.9.9", 4000)), 2);
    const DcChannel* channel = pool.channel(2);
    EXPECT_EQ(channel->kind(), MulticastReceive);
    EXPECT_EQ(channel->endpoint(), at("239.9.9.9", 4000));
    EXPECT_STREQ(channel->statusLine(), "Create DC(ID : 2).");
}

TEST(DcPoolTest, BadOrFreeIndexesGiveMinusOneAndTouchNothing)
{
    DcPool pool;
    pool.init(5);
    ASSERT_EQ(pool.acquire(DatagramSend, SocketAddress{}), 0);
    ASSERT_EQ(pool.build(0), 1);
    ASSERT_EQ(pool.release(0), -1);
    char buffer[8];
    SocketAddress from;
    for (int index : {-1, 0, 5, 100}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(pool.build(index), -1);
        EXPECT_EQ(pool.state(index), -1);
        EXPECT_EQ(pool.send(index, "x", 1, SocketAddress{IpAddress::v4(0x7f000001), 9}), -1);
        EXPECT_EQ(pool.receive(index, buffer, sizeof buffer, &from), -1);
        EXPECT_EQ(pool.socketOf(index), kInvalidSocket);
        EXPECT_EQ(pool.release(index), -1);
    }
    EXPECT_STREQ(pool.channel(0)->statusLine(), "Destroy DC(ID : 0).");
}

TEST(DcPoolTest, FirstUseMakesTheDefaultTableAndAFailedOneLeavesItEmpty)
{
    DcPool defaulted;
    EXPECT_EQ(defaulted.acquire(DatagramSend, SocketAddress{}), 0);
    EXPECT_EQ(defaulted.slotCount(), DcPool::kDefaultSlots);

    // With overcommit forced on, the huge table would be allocated for real.
    int overcommit = 0;
    std::ifstream("/proc/sys/vm/overcommit_memory") >> overcommit;
    if (overcommit == 1)
        GTEST_SKIP() << "vm.overcommit_memory is 1: cannot provoke a failed allocation";
    DcPool huge;
    EXPECT_EQ(huge.init(INT_MAX), 0);
    EXPECT_EQ(huge.slotCount(), 0);
    EXPECT_EQ(huge.init(-5), 1);
    EXPECT_EQ(huge.slotCount(), DcPool::kDefaultSlots);
}

// Per-index calls take no lock, so one on another thread may meet an acquire
// of the same slot. It must find the slot either free or holding the whole
// new channel; the slot is reused so that a half-made one shows its old kind.
TEST(DcPoolTest, ACallRacingAnAcquireSeesAFreeSlotOrTheWholeNewChannel)
{
    DcPool pool;
    pool.init(1);
    ASSERT_EQ(pool.acquire(DatagramSend, at("10.0.0.1", 1)), 0);
    pool.release(0);

    int kind = 0;
    SocketAddress address;
    std::thread caller([&] {
        while (pool.state(0) == -1) {
        }
        kind = pool.channel(0)->kind();
        address = pool.channel(0)->endpoint();
    });
    EXPECT_EQ(pool.acquire(MulticastReceive, at("239.9.9.9", 4000)), 0);
    caller.join();
    EXPECT_EQ(kind, MulticastReceive);
    EXPECT_EQ(address, at("239.9.9.9", 4000));
}
