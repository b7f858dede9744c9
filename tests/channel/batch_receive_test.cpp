#include "channel/batch_receive.h"
#include "channel/csock.h"
#include "tests/channel/lab_channels.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

// Loopback only: nothing leaves the machine, so its own namespace is fine.
namespace {

class BatchReceiverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(receiver_.init(Csock::Datagram), 1);
        ASSERT_EQ(receiver_.bind("127.0.0.1", 0), 1);
        port_ = boundPort(receiver_.handle());
        ASSERT_EQ(receiver_.setReceiveTimeout(100), 1);
        ASSERT_EQ(receiver_.setDropCount(), 1);
    }
    void TearDown() override { receiver_.close(); }

    // A socket sending from address; its sender number as recvFrom gives it.
    static std::uint64_t open(Csock& sender, const char* address)
    {
        EXPECT_EQ(sender.init(Csock::Datagram), 1);
        EXPECT_EQ(sender.bind(address, 0), 1);
        return std::uint64_t{ntohl(::inet_addr(address))} << 16 |
               static_cast<std::uint64_t>(boundPort(sender.handle()));
    }

    // Receives until a call brings nothing; the datagrams taken.
    int drain(BatchReceiver& batch)
    {
        int taken = 0;
        for (int got; (got = batch.receive(receiver_.handle(), BatchReceiver::kBatch)) > 0;)
            taken += got;
        return taken;
    }

    Csock receiver_;
    int port_ = 0;
};

TEST_F(BatchReceiverTest, ABatchArrivesWholeInOrderWithEachSender)
{
    receiver_.setReceiveBuffer(8 << 20);
    Csock a, b;
    const std::uint64_t senders[] = {open(a, "127.0.0.1"), open(b, "127.0.0.2")};
    const int lengths[] = {0, 1, 8, 1032, 65507, 1472, 9000, 0};
    std::vector<std::string> sent;
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        std::string bytes(static_cast<std::size_t>(lengths[i]), '\0');
        for (std::size_t k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<char>(i * 31 + k);
        Csock& from = i % 2 == 0 ? a : b;
        ASSERT_EQ(from.sendTo(bytes.data(), lengths[i], "127.0.0.1", port_), lengths[i]);
        sent.push_back(bytes);
    }

    BatchReceiver batch;
    ASSERT_EQ(batch.receive(receiver_.handle(), BatchReceiver::kBatch),
              static_cast<int>(sent.size()));
    for (std::size_t i = 0; i < sent.size(); ++i) {
        SCOPED_TRACE(i);
        const int k = static_cast<int>(i);
        ASSERT_EQ(batch.length(k), lengths[i]);
        EXPECT_TRUE(std::string(reinterpret_cast<const char*>(batch.data(k)),
                                static_cast<std::size_t>(batch.length(k))) == sent[i]);
        EXPECT_EQ(batch.sender(k), senders[i % 2]);
        EXPECT_EQ(batch.dropCount(k), 0u);
    }

    // No more than asked for; then nothing, after the time-out.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(a.sendTo("x", 1, "127.0.0.1", port_), 1);
    EXPECT_EQ(batch.receive(receiver_.handle(), 2), 2);
    EXPECT_EQ(batch.receive(receiver_.handle(), 2), 1);
    EXPECT_EQ(batch.receive(receiver_.handle(), 2), 0);

    // A datagram longer than the buffer is a failed receive.
    BatchReceiver small(16);
    for (const int length : {16, 17, 3})
        ASSERT_EQ(a.sendTo(std::string(17, 'y').data(), length, "127.0.0.1", port_), length);
    ASSERT_EQ(small.receive(receiver_.handle(), BatchReceiver::kBatch), 3);
    EXPECT_EQ(small.length(0), 16);
    EXPECT_EQ(small.length(1), -1);
    EXPECT_EQ(small.length(2), 3);
    a.close();
    b.close();
}

TEST_F(BatchReceiverTest, DatagramsDroppedForWantOfRoomAreCounted)
{
    const int room = 4096;   // a few datagrams of 1000 bytes
    ASSERT_EQ(::setsockopt(receiver_.handle(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
    Csock sender;
    open(sender, "127.0.0.1");
    const std::string bytes(1000, 'z');
    constexpr int kSent = 100;
    for (int i = 0; i < kSent; ++i)
        ASSERT_EQ(sender.sendTo(bytes.data(), 1000, "127.0.0.1", port_), 1000);

    // Every drop came after the last datagram that found room: the count
    // is read from the socket once nothing more comes.
    BatchReceiver batch;
    const int received = drain(batch);
    ASSERT_GT(received, 0);
    ASSERT_LT(received, kSent);
    const auto dropped = static_cast<std::uint32_t>(kSent - received);
    EXPECT_EQ(batch.dropCount(), dropped);

    // A datagram queued afterwards carries the count itself.
    ASSERT_EQ(sender.sendTo(bytes.data(), 1000, "127.0.0.1", port_), 1000);
    BatchReceiver fresh;
    ASSERT_EQ(fresh.receive(receiver_.handle(), BatchReceiver::kBatch), 1);
    EXPECT_EQ(fresh.dropCount(0), dropped);
    EXPECT_EQ(fresh.dropCount(), dropped);
    sender.close();
}

}   // namespace
