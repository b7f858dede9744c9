#include "channel/batch_receive.h"
#include "channel/csock.h"
#include "tests/channel/lab_channels.h"
#include "tests/support/scripted_receiver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

// Loopback only: nothing leaves the machine, so its own namespace is fine.
namespace {

// Binds s to address; the sender a receiver sees for it.
SocketAddress bound(Csock& s, const char* address)
{
    EXPECT_EQ(s.init(Csock::Datagram), 1);
    EXPECT_EQ(s.bind(at(address)), 1);
    return at(address, boundPort(s.handle()));
}

TEST(BatchReceiverTest, ABatchArrivesWholeInOrderWithEachSenderAndTruncationFails)
{
    Csock rx, a, b;
    bound(rx, "127.0.0.1");
    const int port = boundPort(rx.handle());
    ASSERT_EQ(rx.setReceiveTimeout(100), 1);
    ASSERT_EQ(rx.setReceiveBuffer(8 << 20), 1);
    const SocketAddress senders[] = {bound(a, "127.0.0.1"), bound(b, "127.0.0.2")};
    const int lengths[] = {0, 1, 1032, 65507, 9000, 0};
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ((i % 2 ? b : a)
                      .sendTo(std::string(65507, char('a' + i)).data(), lengths[i],
                              at("127.0.0.1", port)),
                  lengths[i]);

    BatchReceiver batch;
    ASSERT_EQ(batch.receive(rx.handle(), BatchReceiver::kBatch), 6);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(batch.length(i), lengths[i]);
        EXPECT_TRUE(std::string(reinterpret_cast<const char*>(batch.data(i)), lengths[i]) ==
                    std::string(lengths[i], char('a' + i)));
        EXPECT_EQ(batch.sender(i), senders[i % 2]);
    }

    // Longer than the buffer: a failed receive. Then nothing, after the time-out.
    BatchReceiver small(16);
    for (const int length : {16, 17})
        ASSERT_EQ(a.sendTo("0123456789abcdefg", length, at("127.0.0.1", port)), length);
    ASSERT_EQ(small.receive(rx.handle(), BatchReceiver::kBatch), 2);
    EXPECT_EQ(small.length(0), 16);
    EXPECT_EQ(small.length(1), -1);
    EXPECT_EQ(small.receive(rx.handle(), BatchReceiver::kBatch), 0);
    for (Csock* s : {&rx, &a, &b})
        s->close();
}

TEST(BatchReceiverTest, EachDatagramSaysTheAddressItWasSentTo)
{
    // Bound on every address, as a multicast receiver is.
    Csock told, untold, tx;
    for (Csock* s : {&told, &untold}) {
        ASSERT_EQ(s->init(Csock::Datagram), 1);
        ASSERT_EQ(s->bind({}), 1);
        ASSERT_EQ(s->setReceiveTimeout(100), 1);
    }
    ASSERT_EQ(told.setDestinationInfo(), 1);
    bound(tx, "127.0.0.1");
    const char* destinations[] = {"127.0.0.1", "127.0.0.2", "127.0.0.1"};
    for (Csock* rx : {&told, &untold})
        for (const char* to : destinations)
            ASSERT_EQ(tx.sendTo("d", 1, at(to, boundPort(rx->handle()))), 1);

    BatchReceiver batch;
    ASSERT_EQ(batch.receive(told.handle(), BatchReceiver::kBatch), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(batch.destination(i), ip(destinations[i])) << i;
    // Without the option the datagrams do not say.
    ASSERT_EQ(batch.receive(untold.handle(), BatchReceiver::kBatch), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(batch.destination(i), IpAddress{}) << i;
    for (Csock* s : {&told, &untold, &tx})
        s->close();
}

TEST(BatchReceiverTest, DatagramsDroppedForWantOfRoomAreCounted)
{
    Csock rx, tx;
    bound(rx, "127.0.0.1");
    bound(tx, "127.0.0.1");
    const int port = boundPort(rx.handle());
    const int room = 4096;   // a few datagrams of 1000 bytes
    ASSERT_EQ(::setsockopt(rx.handle(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room), 0);
    ASSERT_EQ(rx.setReceiveTimeout(100), 1);
    ASSERT_EQ(rx.setDropCount(), 1);
    ASSERT_EQ(rx.setDestinationInfo(), 1);
    const std::string bytes(1000, 'z');
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(tx.sendTo(bytes.data(), 1000, at("127.0.0.1", port)), 1000);

    // The drops came after the last datagram that found room: the call that
    // finds nothing more reads the count from the socket.
    BatchReceiver batch;
    int received = 0;
    for (int got; (got = batch.receive(rx.handle(), BatchReceiver::kBatch)) > 0;)
        received += got;
    ASSERT_GT(received, 0);
    EXPECT_EQ(batch.dropCount(), static_cast<std::uint32_t>(100 - received));

    // A datagram queued afterwards carries the count itself, beside its
    // destination.
    ASSERT_EQ(tx.sendTo(bytes.data(), 1000, at("127.0.0.1", port)), 1000);
    BatchReceiver fresh;
    ASSERT_EQ(fresh.receive(rx.handle(), 1), 1);
    EXPECT_EQ(fresh.dropCount(0), static_cast<std::uint32_t>(100 - received));
    EXPECT_EQ(fresh.destination(0), ip("127.0.0.1"));
    rx.close();
    tx.close();
}

TEST(BatchReceiverTest, CoalescedDatagramsAreSplitAsSingleReceivesSeeThem)
{
    // Each send leaves as one segmented message: ten datagrams of 1032
    // bytes and a short last one from a, three whole ones from b, and one
    // alone from a. The same sends go to a socket read one datagram at a
    // time, and the two must agree.
    Csock coalesced, single, a, b;
    bound(coalesced, "127.0.0.1");
    bound(single, "127.0.0.1");
    for (Csock* rx : {&coalesced, &single}) {
        ASSERT_EQ(rx->setReceiveTimeout(100), 1);
        ASSERT_EQ(rx->setReceiveBuffer(8 << 20), 1);
    }
    const SocketAddress senders[] = {bound(a, "127.0.0.1"), bound(b, "127.0.0.2")};
    const int segment = 1032;
    for (Csock* tx : {&a, &b})
        ASSERT_EQ(::setsockopt(tx->handle(), SOL_UDP, UDP_SEGMENT, &segment, sizeof segment), 0);
    const std::pair<int, int> sends[] = {{0, 10 * segment + 500}, {1, 3 * segment}, {0, 700}};
    BatchReceiver batch;
    // The first receive asks the socket for coalesced receives.
    EXPECT_EQ(batch.receive(coalesced.handle(), 1), 0);
    int sent = 0;
    for (const auto& [from, length] : sends) {
        std::string bytes(static_cast<std::size_t>(length), '\0');
        for (int i = 0; i < length; ++i)
            bytes[static_cast<std::size_t>(i)] = static_cast<char>((sent + i) * 7 / 3);
        sent += length;
        for (Csock* rx : {&coalesced, &single})
            ASSERT_EQ((from ? b : a)
                          .sendTo(bytes.data(), length, at("127.0.0.1", boundPort(rx->handle()))),
                      length);
    }

    using Seen = std::pair<SocketAddress, std::string>;
    std::vector<Seen> expected;
    std::string buffer(65536, '\0');
    sockaddr_in from{};
    socklen_t size = sizeof from;
    for (ssize_t n; (n = ::recvfrom(single.handle(), buffer.data(), buffer.size(), 0,
                                    reinterpret_cast<sockaddr*>(&from), &size)) >= 0;
         size = sizeof from)
        expected.emplace_back(
            SocketAddress{IpAddress::v4(ntohl(from.sin_addr.s_addr)), ntohs(from.sin_port)},
            buffer.substr(0, static_cast<std::size_t>(n)));
    ASSERT_EQ(expected.size(), 15u);
    EXPECT_EQ(expected[10].second.size(), 500u);
    EXPECT_EQ(expected[11].first, senders[1]);

    // Taken five at a time, so that a coalesced message spans calls.
    std::vector<Seen> seen;
    for (int got; (got = batch.receive(coalesced.handle(), 5)) > 0;) {
        ASSERT_LE(got, 5);
        for (int i = 0; i < got; ++i)
            seen.emplace_back(batch.sender(i),
                              std::string(reinterpret_cast<const char*>(batch.data(i)),
                                          static_cast<std::size_t>(batch.length(i))));
    }
    EXPECT_TRUE(seen == expected) << seen.size() << " datagrams, not as single receives see them";
    if (batch.coalesced() == 0)
        GTEST_SKIP() << "this kernel does not coalesce: nothing was split";
    for (Csock* s : {&coalesced, &single, &a, &b})
        s->close();
}

// Messages as the system brings them, split by the receiver alone: each
// row's messages (length and segment size) in one system receive, taken
// max at a time; the lengths each call presents, and how many of them came
// coalesced.
TEST(BatchReceiverTest, ASegmentSizeSplitsAMessageAndWhatACallLeavesComesNextWithoutReceiving)
{
    struct Row {
        const char* name;
        std::vector<std::pair<int, int>> messages;   // length, segment
        int max;
        std::vector<std::vector<int>> calls;
        std::uint64_t coalesced;
    };
    const Row rows[] = {
        {"no segment size", {{100, 0}}, 64, {{100}}, 0},
        {"segments that divide the length", {{100, 50}}, 64, {{50, 50}}, 2},
        {"a short last segment", {{100, 40}}, 64, {{40, 40, 20}}, 3},
        {"a segment size of the whole length", {{100, 100}}, 64, {{100}}, 0},
        {"a segment size beyond the length", {{100, 300}}, 64, {{100}}, 0},
        {"a negative segment size", {{100, -8}}, 64, {{100}}, 0},
        {"a one-byte segment size", {{3, 1}}, 64, {{1, 1, 1}}, 3},
        {"an empty message", {{0, 8}, {5, 0}}, 64, {{0, 5}}, 0},
        {"too long to fit, with a segment size", {{70000, 1000}, {5, 2}}, 64, {{-1, 2, 2, 1}}, 3},
        {"a message across calls",
         {{35, 10}, {7, 0}, {9, 4}},
         3,
         {{10, 10, 10}, {5, 7, 4}, {4, 1}},
         7},
        {"one datagram a call", {{5, 2}}, 1, {{2}, {2}, {1}}, 3},
    };
    const SocketAddress from[] = {at("10.0.0.1", 5000), at("10.0.0.2", 5001)};
    const IpAddress to[] = {ip("239.1.1.1"), ip("239.1.1.2")};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedReceiver::Call call;
        for (std::size_t m = 0; m < row.messages.size(); ++m) {
            ScriptedReceiver::Message message;
            const auto length = static_cast<std::size_t>(row.messages[m].first);
            for (std::size_t k = 0; k < length; ++k)
                message.bytes.push_back(static_cast<unsigned char>(m * 31 + k * 7));
            message.sender = from[m % 2];
            message.destination = to[m % 2];
            message.segment = row.messages[m].second;
            call.push_back(std::move(message));
        }
        ScriptedReceiver batch(std::deque<ScriptedReceiver::Call>{call});
        // Where each message's next datagram starts.
        std::size_t message = 0;
        std::size_t offset = 0;
        for (const std::vector<int>& lengths : row.calls) {
            ASSERT_EQ(batch.receive(kInvalidSocket, row.max), static_cast<int>(lengths.size()));
            for (std::size_t i = 0; i < lengths.size(); ++i) {
                const int n = lengths[i];
                ASSERT_EQ(batch.length(static_cast<int>(i)), n) << "datagram " << i;
                EXPECT_EQ(batch.sender(static_cast<int>(i)), from[message % 2]);
                EXPECT_EQ(batch.destination(static_cast<int>(i)), to[message % 2]);
                const std::vector<unsigned char>& bytes = call[message].bytes;
                if (n > 0) {
                    EXPECT_TRUE(std::equal(batch.data(static_cast<int>(i)),
                                           batch.data(static_cast<int>(i)) + n,
                                           bytes.begin() + static_cast<std::ptrdiff_t>(offset)))
                        << "datagram " << i;
                }
                offset += static_cast<std::size_t>(std::max(n, 0));
                if (n < 0 || offset >= bytes.size()) {
                    ++message;
                    offset = 0;
                }
            }
            EXPECT_EQ(batch.pending(), &lengths != &row.calls.back());
        }
        EXPECT_EQ(message, call.size());
        EXPECT_EQ(batch.coalesced(), row.coalesced);
        // One system receive brought them all; the next finds nothing.
        EXPECT_EQ(batch.calls(), 1);
        EXPECT_EQ(batch.receive(kInvalidSocket, row.max), 0);
        EXPECT_EQ(batch.calls(), 2);
    }
}

}   // namespace

namespace {

// Each datagram says the TTL (IPv4) or hop limit (IPv6) it arrived with.
TEST(BatchReceiverTest, EachDatagramSaysTheHopLimitItArrivedWith)
{
    for (const bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "IPv6" : "IPv4");
        const char* loopback = v6 ? "::1" : "127.0.0.1";
        Csock rx, tx;
        const IpAddress::Family family = v6 ? IpAddress::Family::V6 : IpAddress::Family::V4;
        ASSERT_EQ(rx.init(Csock::Datagram, family), 1);
        ASSERT_EQ(rx.bind(at(loopback)), 1);
        ASSERT_EQ(rx.setReceiveTimeout(100), 1);
        ASSERT_EQ(tx.init(Csock::Datagram, family), 1);
        const int port = boundPort(rx.handle());
        for (const int hops : {7, 64, 1}) {
            ASSERT_EQ(::setsockopt(tx.handle(), v6 ? IPPROTO_IPV6 : IPPROTO_IP,
                                   v6 ? IPV6_UNICAST_HOPS : IP_TTL, &hops, sizeof hops),
                      0);
            ASSERT_EQ(tx.sendTo("d", 1, at(loopback, port)), 1);
        }
        BatchReceiver batch;
        ASSERT_EQ(batch.receive(rx.handle(), BatchReceiver::kBatch), 3);
        EXPECT_EQ(batch.hopLimit(0), 7);
        EXPECT_EQ(batch.hopLimit(1), 64);
        EXPECT_EQ(batch.hopLimit(2), 1);
        rx.close();
        tx.close();
    }
}

}   // namespace
