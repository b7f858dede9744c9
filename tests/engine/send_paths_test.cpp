#include "channel/dc_pool.h"
#include "core/datagram.h"
#include "core/group_list.h"
#include "engine/recording_sink.h"
#include "engine/send_engine.h"
#include "platform/steady_clock.h"
#include "tests/support/netns_lab.h"
#include "tests/support/payload_stream.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Path = BatchSender::Path;

constexpr const char* kGroup = "239.1.2.5";
constexpr int kPort = 9200;
constexpr int kPacketSize = 200;
constexpr int kDatagrams = 150;

struct SendPath {
    const char* name;
    int speedKbps;   // the fast ones leave no pause after the first check
    Path fastest;
    std::optional<Path> taken;   // paced runs may or may not reach a batch
};

void PrintTo(const SendPath& path, std::ostream* out)
{
    *out << path.name;
}

// A datagram as it arrived, with the TTL it carried.
struct Arrival {
    std::string bytes;
    int ttl = -1;
};

// A plain socket on a lab host, joined to the group, that keeps the TTL of
// every datagram.
int joinedPeer()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kPort);
    ip_mreq join{};
    join.imr_multiaddr.s_addr = ::inet_addr(kGroup);
    const int on = 1;
    const int buffer = 4 << 20;
    const timeval wait{0, 300000};
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
        ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::vector<Arrival> drain(int fd)
{
    std::vector<Arrival> arrivals;
    for (;;) {
        Arrival a;
        a.bytes.resize(65536);
        iovec part{a.bytes.data(), a.bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &message, 0);
        if (n < 0)
            return arrivals;
        a.bytes.resize(static_cast<std::size_t>(n));
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                std::memcpy(&a.ttl, CMSG_DATA(c), sizeof a.ttl);
        arrivals.push_back(std::move(a));
    }
}

class SendPathTest : public ::testing::TestWithParam<SendPath> {};

}   // namespace

// Every path puts the same datagrams on the wire: numbered in order, the
// payloads of send.txt read chunk by chunk across batch boundaries and
// rewinds, TTL 20. A short chunk falls on the first datagram of the fourth
// batch, so its tail comes from the last datagram of the batch before.
TEST_P(SendPathTest, PutsTheSameDatagramsOnTheWire)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    TempDir dir;
    std::string source(kPacketSize * 13 / 2, '\0');
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(i * 7 % 251);

    int peer = -1;
    lab.start(1, [&] { peer = joinedPeer(); }).join();
    ASSERT_GE(peer, 0);

    RecordingSink sink;
    SteadyClock clock;
    DcPool pool;
    SendEngine engine(
        sink, clock, pool,
        SendSettings{*parseIpAddress(kGroup), kPort, GetParam().speedKbps, kPacketSize});
    engine.setSourcePath(dir.put("send.txt", source));
    engine.setFastestPath(GetParam().fastest);
    engine.setDatagramLimit(kDatagrams);
    lab.start(0, [&] { engine.run(); }).join();
    const std::vector<Arrival> arrivals = drain(peer);
    ::close(peer);

    EXPECT_EQ(sink.events().flashCount(Lamp::Error), 0);
    EXPECT_EQ(engine.datagramsSent(), static_cast<std::uint64_t>(kDatagrams));
    if (GetParam().taken) {
        EXPECT_EQ(engine.pathTaken(), *GetParam().taken);
    }
    ASSERT_EQ(arrivals.size(), static_cast<std::size_t>(kDatagrams));
    const std::string payloads = payloadStream(source, kPacketSize, kDatagrams);
    for (int seq = 0; seq < kDatagrams; ++seq) {
        SCOPED_TRACE(seq);
        const Arrival& a = arrivals[seq];
        ASSERT_EQ(a.bytes.size(),
                  static_cast<std::size_t>(TestDatagram::kHeaderSize + kPacketSize));
        const TestDatagram header =
            TestDatagram::parse(reinterpret_cast<const unsigned char*>(a.bytes.data()),
                                static_cast<int>(a.bytes.size()));
        EXPECT_TRUE(header.tagged);
        EXPECT_EQ(header.seq, seq);
        EXPECT_TRUE(a.bytes.compare(TestDatagram::kHeaderSize, kPacketSize, payloads,
                                    static_cast<std::size_t>(seq) * kPacketSize, kPacketSize) == 0);
        EXPECT_EQ(a.ttl, RunDefaults::kTtl);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SendPathTest,
    ::testing::Values(SendPath{"paced", 800, Path::Segmented, std::nullopt},
                      SendPath{"segmented", 100000000, Path::Segmented, Path::Segmented},
                      SendPath{"multiple", 100000000, Path::Multiple, Path::Multiple},
                      SendPath{"single", 100000000, Path::Single, Path::Single}),
    [](const ::testing::TestParamInfo<SendPath>& path) { return std::string(path.param.name); });
