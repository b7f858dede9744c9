// A plain reference receiver: joins the group, counts the datagrams on one
// port for a fixed time and prints the rate between the first and the last
// arrival. Used alike for our sender and for iperf2's. With --group ADDR+N
// it joins every group of the range: the socket that reads takes as many as
// the system lets one socket join, and sockets that only hold memberships
// take the rest, whose datagrams still reach the reading socket (it leaves
// IP_MULTICAST_ALL on). Our tagged datagrams are checked on the way, each
// group's on their own: in order or not, their length (--length), the TTL
// they arrived with, and with --pattern 1 every byte after the header, which
// must be (sequence + i) mod 256 at payload byte i (a source file of 256
// chunks, chunk k holding (k + i) mod 256, sends exactly that).
// At full speed the socket's 8 MiB buffer still overflows now and then, so
// the checks see a sample; the sequence gaps say how much went past.

#include "bench/bench_args.h"
#include "core/datagram.h"
#include "core/settings.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kBatch = 64;
constexpr int kBufferSize = 65536;
constexpr int kReceiveBuffer = 8 << 20;

// What the tagged datagrams looked like.
struct WireCheck {
    int length = 0;   // expected length, 0 for any
    bool pattern = false;
    std::array<unsigned char, 256 + kBufferSize> ramp{};

    unsigned long long tagged = 0;
    unsigned long long inOrder = 0;
    unsigned long long outOfOrder = 0;
    unsigned long long missed = 0;
    unsigned long long wrongLength = 0;
    unsigned long long wrongBytes = 0;
    unsigned long long stray = 0;   // to none of the groups
    int ttlMin = 256;
    int ttlMax = -1;

    // Each group's last sequence number, by the group's address (host order).
    struct Stream {
        bool any = false;
        std::uint32_t last = 0;
    };
    std::unordered_map<std::uint32_t, Stream> streams;

    explicit WireCheck(const std::vector<IpAddress>& groups)
    {
        for (std::size_t i = 0; i < ramp.size(); ++i)
            ramp[i] = static_cast<unsigned char>(i);
        for (const IpAddress& group : groups)
            streams[group.v4Value()] = {};
    }

    // The groups whose tagged datagrams came.
    std::size_t heard() const
    {
        return static_cast<std::size_t>(std::count_if(streams.begin(), streams.end(),
                                                      [](const auto& s) { return s.second.any; }));
    }

    // A datagram sent to destination (host order; 0 when unknown: then the
    // only group's).
    void observe(const unsigned char* datagram, int n, int ttl, std::uint32_t destination)
    {
        const TestDatagram parsed = TestDatagram::parse(datagram, n);
        if (!parsed.tagged)
            return;
        const auto stream =
            destination == 0 && streams.size() == 1 ? streams.begin() : streams.find(destination);
        if (stream == streams.end()) {
            ++stray;
            return;
        }
        ++tagged;
        if (ttl >= 0) {
            ttlMin = std::min(ttlMin, ttl);
            ttlMax = std::max(ttlMax, ttl);
        }
        const auto seq = static_cast<std::uint32_t>(parsed.seq);
        Stream& s = stream->second;
        if (!s.any || static_cast<std::int32_t>(seq - s.last) > 0) {
            if (s.any)
                missed += seq - s.last - 1;
            ++inOrder;
            s.last = seq;
            s.any = true;
        } else {
            ++outOfOrder;
        }
        if (length > 0 && n != length)
            ++wrongLength;
        const int payload = n - TestDatagram::kHeaderSize;
        if (std::memcmp(datagram + 1, "\0\0\0", 3) != 0 ||
            (pattern &&
             std::memcmp(datagram + TestDatagram::kHeaderSize, ramp.data() + (seq & 0xFF),
                         static_cast<std::size_t>(payload)) != 0))
            ++wrongBytes;
    }
};

}   // namespace

int main(int argc, char** argv)
{
    BenchArgs args;
    if (!args.parse(argc, argv)) {
        std::fprintf(stderr, "bench_count: %s\n", args.error().c_str());
        return 2;
    }
    const GroupList list = args.groups();
    if (list.groups.empty() || !list.groups.front().isV4()) {
        std::fprintf(stderr, "bench_count: --group: %s\n",
                     list.groups.empty() ? list.error.c_str() : "IPv4 groups only");
        return 2;
    }
    const int port = static_cast<int>(args.number("port", RunDefaults::kPort));
    const double seconds = args.number("seconds", 10);
    WireCheck wire(list.groups);
    wire.length = static_cast<int>(args.number("length", 0));
    wire.pattern = args.text("pattern", "0") == "1";

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    timeval timeout{0, 100000};
    const int on = 1;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        std::perror("bench_count: socket set-up");
        return 1;
    }
    // The reading socket joins first; a socket the system lets join no more
    // (ENOBUFS) hands the rest to a new one that only holds memberships.
    std::vector<int> holders;
    int joining = fd;
    std::size_t joinedHere = 0;
    for (std::size_t g = 0; g < list.groups.size();) {
        ip_mreq join{};
        join.imr_multiaddr.s_addr = htonl(list.groups[g].v4Value());
        join.imr_interface.s_addr = htonl(INADDR_ANY);
        if (setsockopt(joining, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0) {
            ++g;
            ++joinedHere;
            continue;
        }
        // A socket that could join none will not be helped by another.
        if (errno != ENOBUFS || joinedHere == 0) {
            std::perror("bench_count: joining");
            return 1;
        }
        joining = socket(AF_INET, SOCK_DGRAM, 0);
        if (joining < 0) {
            std::perror("bench_count: a socket for memberships");
            return 1;
        }
        holders.push_back(joining);
        joinedHere = 0;
    }
    // Beyond rmem_max only as root; the plain option then gets what it may.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);

    std::vector<unsigned char> buffers(static_cast<std::size_t>(kBatch) * kBufferSize);
    std::array<iovec, kBatch> iov{};
    std::array<mmsghdr, kBatch> messages{};
    std::array<std::array<char, CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(in_pktinfo))>, kBatch>
        controls{};
    for (int i = 0; i < kBatch; ++i) {
        iov[i] = {buffers.data() + static_cast<std::size_t>(i) * kBufferSize, kBufferSize};
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    Clock::time_point first;
    Clock::time_point last;
    unsigned long long datagrams = 0;
    unsigned long long bytes = 0;
    unsigned long long firstBytes = 0;
    while (Clock::now() < deadline) {
        for (int i = 0; i < kBatch; ++i) {
            messages[i].msg_hdr.msg_control = controls[i].data();
            messages[i].msg_hdr.msg_controllen = controls[i].size();
        }
        const int got = recvmmsg(fd, messages.data(), kBatch, MSG_WAITFORONE, nullptr);
        if (got <= 0)
            continue;
        // Arrivals are timed per receive call; at the paced rates each
        // call returns one datagram.
        last = Clock::now();
        unsigned long long batchBytes = 0;
        for (int i = 0; i < got; ++i) {
            const auto n = static_cast<int>(messages[i].msg_len);
            int ttl = -1;
            std::uint32_t destination = 0;
            msghdr& header = messages[i].msg_hdr;
            for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                    std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
                if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                    in_pktinfo info{};
                    std::memcpy(&info, CMSG_DATA(c), sizeof info);
                    destination = ntohl(info.ipi_addr.s_addr);
                }
            }
            wire.observe(static_cast<const unsigned char*>(iov[i].iov_base), n, ttl, destination);
            batchBytes += static_cast<unsigned long long>(n);
        }
        if (datagrams == 0) {
            first = last;
            firstBytes = batchBytes;
        }
        datagrams += static_cast<unsigned long long>(got);
        bytes += batchBytes;
    }
    close(fd);
    for (const int holder : holders)
        close(holder);

    const double spanMs = std::chrono::duration<double, std::milli>(last - first).count();
    const double kbps = bytes > firstBytes && spanMs > 0
                            ? static_cast<double>(bytes - firstBytes) * 8.0 / spanMs
                            : 0;
    std::printf("datagrams=%llu\n", datagrams);
    std::printf("groups=%zu\n", list.groups.size());
    std::printf("sockets=%zu\n", holders.size() + 1);
    std::printf("stray=%llu\n", wire.stray);
    std::printf("groups_heard=%zu\n", wire.heard());
    std::printf("bytes=%llu\n", bytes);
    std::printf("span_s=%.4f\n", spanMs / 1000.0);
    std::printf("span_kbps=%.2f\n", kbps);
    std::printf("tagged=%llu\n", wire.tagged);
    std::printf("in_order=%llu\n", wire.inOrder);
    std::printf("out_of_order=%llu\n", wire.outOfOrder);
    std::printf("missed=%llu\n", wire.missed);
    std::printf("wrong_length=%llu\n", wire.wrongLength);
    std::printf("wrong_bytes=%llu\n", wire.wrongBytes);
    std::printf("ttl_min=%d\n", wire.ttlMax < 0 ? -1 : wire.ttlMin);
    std::printf("ttl_max=%d\n", wire.ttlMax);
    return 0;
}
