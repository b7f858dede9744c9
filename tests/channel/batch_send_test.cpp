#include "channel/batch_send.h"

#include "core/group_list.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using Path = BatchSender::Path;

// A sender whose kernel refuses some paths, and may fail one call for
// reasons of its own or send only part of a run.
class ScriptedSender : public BatchSender {
public:
    using BatchSender::BatchSender;

    std::set<Path> refused;
    int failCall = -1;    // this call fails with ENOBUFS
    int shortCall = -1;   // this call sends one datagram fewer
    std::vector<Path> calls;

protected:
    int sendOnce(Path path, const unsigned char* data, int length, int count,
                 std::size_t first) override
    {
        calls.push_back(path);
        const int call = static_cast<int>(calls.size()) - 1;
        if (refused.count(path) != 0 || call == failCall) {
            errno = call == failCall ? ENOBUFS : (path == Path::Segmented ? EINVAL : ENOSYS);
            return -1;
        }
        if (call == shortCall && count > 1)
            --count;
        return BatchSender::sendOnce(path, data, length, count, first);
    }
};

// A socket on 127.0.0.1 or ::1 that takes what the sender sends.
class LoopbackPeer {
public:
    explicit LoopbackPeer(IpAddress::Family family = IpAddress::Family::V4)
    {
        address_.address = family == IpAddress::Family::V4 ? IpAddress::v4(INADDR_LOOPBACK)
                                                           : *parseIpAddress("::1");
        fd_ = ::socket(family == IpAddress::Family::V4 ? AF_INET : AF_INET6,
                       SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t size = systemAddress(address_, address);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            address_ = typedAddress(address);
        const timeval wait{0, 200000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~LoopbackPeer() { ::close(fd_); }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    const SocketAddress& address() const { return address_; }

    // Every datagram until none arrives for a while.
    std::vector<std::string> drain() const
    {
        std::vector<std::string> datagrams;
        char buffer[2048];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) >= 0;)
            datagrams.emplace_back(buffer, static_cast<std::size_t>(n));
        return datagrams;
    }

private:
    int fd_ = -1;
    SocketAddress address_;
};

constexpr int kLength = 100;
constexpr int kCount = 30;

std::string run()
{
    std::string bytes(static_cast<std::size_t>(kLength) * kCount, '\0');
    for (int i = 0; i < kCount; ++i)
        bytes[static_cast<std::size_t>(i) * kLength] = static_cast<char>('A' + i);
    return bytes;
}

}   // namespace

// Whatever the kernel refuses or fails, the datagrams arrive whole and in
// order, each once, and a refused path is not tried again.
TEST(BatchSenderTest, FallsBackWithoutLosingOrReorderingADatagram)
{
    struct Case {
        const char* name;
        Path fastest;
        std::set<Path> refused;
        int failCall;
        int shortCall;
        int firstSent;   // what the first send() reports
        Path after;
        std::vector<Path> calls;   // of both send()s
    };
    std::vector<Path> singles{Path::Segmented, Path::Multiple};
    singles.insert(singles.end(), kCount, Path::Single);
    const Case cases[] = {
        {"offload", Path::Segmented, {}, -1, -1, kCount, Path::Segmented, {Path::Segmented}},
        {"no offload",
         Path::Segmented,
         {Path::Segmented},
         -1,
         -1,
         kCount,
         Path::Multiple,
         {Path::Segmented, Path::Multiple}},
        {"neither",
         Path::Segmented,
         {Path::Segmented, Path::Multiple},
         -1,
         -1,
         kCount,
         Path::Single,
         singles},
        {"a failed call",
         Path::Multiple,
         {},
         0,
         -1,
         0,
         Path::Multiple,
         {Path::Multiple, Path::Multiple}},
        {"part of a run",
         Path::Multiple,
         {},
         -1,
         0,
         kCount,
         Path::Multiple,
         {Path::Multiple, Path::Multiple}},
    };
    const std::string bytes = run();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPeer peer;
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ScriptedSender sender(fd, peer.address(), c.fastest);
        sender.refused = c.refused;
        sender.failCall = c.failCall;
        sender.shortCall = c.shortCall;
        const int first = sender.send(data, kLength, kCount);
        EXPECT_EQ(first, c.firstSent);
        if (first == 0) {
            EXPECT_EQ(errno, ENOBUFS);
            EXPECT_EQ(sender.send(data, kLength, kCount), kCount) << "the same run again";
        }
        EXPECT_EQ(sender.path(), c.after);
        EXPECT_EQ(sender.calls, c.calls);

        const std::vector<std::string> got = peer.drain();
        ASSERT_EQ(got.size(), static_cast<std::size_t>(kCount));
        for (int i = 0; i < kCount; ++i)
            EXPECT_EQ(got[i], bytes.substr(static_cast<std::size_t>(i) * kLength, kLength)) << i;
        ::close(fd);
    }
}

// To IPv6 destinations, on every path: one destination takes the whole run;
// several take the datagrams in turn from the one given, each its share in
// order.
TEST(BatchSenderTest, SendsToIpv6DestinationsInTurn)
{
    struct Case {
        const char* name;
        Path fastest;
        std::size_t peers;
        std::size_t first;
    };
    const Case cases[] = {
        {"segmented, one", Path::Segmented, 1, 0},
        {"segmented asked, three", Path::Segmented, 3, 1},
        {"single, three", Path::Single, 3, 2},
    };
    const std::string bytes = run();
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::unique_ptr<LoopbackPeer>> peers;
        std::vector<SocketAddress> to;
        for (std::size_t i = 0; i < c.peers; ++i) {
            peers.push_back(std::make_unique<LoopbackPeer>(IpAddress::Family::V6));
            to.push_back(peers.back()->address());
        }
        const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        BatchSender sender(fd, to, c.fastest);
        EXPECT_EQ(sender.send(data, kLength, kCount, c.first), kCount);
        EXPECT_EQ(sender.path(),
                  c.peers > 1 && c.fastest == Path::Segmented ? Path::Multiple : c.fastest);
        for (std::size_t p = 0; p < c.peers; ++p) {
            std::vector<std::string> expected;
            for (int i = 0; i < kCount; ++i) {
                if ((c.first + static_cast<std::size_t>(i)) % c.peers == p)
                    expected.push_back(
                        bytes.substr(static_cast<std::size_t>(i) * kLength, kLength));
            }
            EXPECT_EQ(peers[p]->drain(), expected) << "peer " << p;
        }
        ::close(fd);
    }
}
