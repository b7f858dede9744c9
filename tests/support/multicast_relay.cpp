// multicast_relay: a router of one group for the namespace lab, whose
// kernels have neither netem nor multicast routing. It joins the group on
// one interface and sends each datagram again on another, to the same group
// and port, after a scripted delay (fixed plus uniform jitter, the order
// kept), unless the scripted drop pattern drops it, with its TTL one less.
//
//   multicast_relay GROUP PORT IN_ADDRESS OUT_ADDRESS SECONDS
//                   [DELAY_MS [JITTER_MS [DROP_EVERY [BURST [SEED [PACE_MS]]]]]]
//
// IN_ADDRESS and OUT_ADDRESS are this host's IPv4 addresses on the two
// links. Of every DROP_EVERY * BURST datagrams it drops BURST in the middle
// (DROP_EVERY 0: none), so that a receiver sees each drop between datagrams
// that arrived: DROP_EVERY 100 and BURST 1 drop 1 % alone, BURST 10 the
// same 1 % in runs of 10. PACE_MS above 0 sends the datagrams evenly, as a
// shaper would, whatever the sender's own pacing: the k-th relayed is due
// 200 ms after the first arrived plus k times PACE_MS, or at its own
// arrival when that is later, and the scripted delay counts from there.
// It prints "ready" once joined, and at its end, after SECONDS or on
// SIGTERM, "relayed N dropped M own_ms X own_max_ms Y": X is its own mean
// delay beyond the scripted one, from the system's arrival time to the send,
// and Y the most of it. When datagrams carried their send time, it adds
// "sent_delay_ms MIN MEAN MAX sent_jitter_ms J": their delay from that time
// to the moment it handed them on, and RFC 3550's jitter of it, the figures a
// receiver right behind it should give whatever held up the sender or it.

#include "core/datagram.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <random>
#include <vector>

namespace {

std::int64_t nowNs(clockid_t clock)
{
    timespec at{};
    ::clock_gettime(clock, &at);
    return std::int64_t{at.tv_sec} * 1'000'000'000 + at.tv_nsec;
}

struct Held {
    std::int64_t sendNs = 0;      // CLOCK_REALTIME, as the arrival times are
    std::int64_t dueNs = 0;       // the scripted time, before the order is kept
    std::int64_t arrivedNs = 0;   // CLOCK_REALTIME
    std::int64_t scriptedNs = 0;
    int ttl = 1;
    std::optional<std::int64_t> stampNs;   // the send time it carried
    std::vector<unsigned char> bytes;
};

in_addr addressOf(const char* text)
{
    in_addr address{};
    if (::inet_pton(AF_INET, text, &address) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", text);
        std::exit(2);
    }
    return address;
}

volatile sig_atomic_t stopAsked = 0;

void askStop(int)
{
    stopAsked = 1;
}

bool check(int result, const char* what)
{
    if (result < 0)
        std::perror(what);
    return result >= 0;
}

}   // namespace

int main(int argc, char* argv[])
{
    if (argc < 6) {
        std::fputs("usage: multicast_relay GROUP PORT IN_ADDRESS OUT_ADDRESS SECONDS "
                   "[DELAY_MS [JITTER_MS [DROP_EVERY [BURST [SEED [PACE_MS]]]]]]\n",
                   stderr);
        return 2;
    }
    const in_addr group = addressOf(argv[1]);
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    const in_addr in = addressOf(argv[3]);
    const in_addr out = addressOf(argv[4]);
    const double seconds = std::atof(argv[5]);
    const double delayMs = argc > 6 ? std::atof(argv[6]) : 0;
    const double jitterMs = argc > 7 ? std::atof(argv[7]) : 0;
    const long dropEvery = argc > 8 ? std::atol(argv[8]) : 0;
    const long burst = argc > 9 ? std::max(1L, std::atol(argv[9])) : 1;
    std::mt19937_64 random(argc > 10 ? std::strtoull(argv[10], nullptr, 10) : 1);
    std::uniform_real_distribution<double> jitter(-jitterMs, jitterMs);
    const auto paceNs = static_cast<std::int64_t>((argc > 11 ? std::atof(argv[11]) : 0) * 1e6);
    constexpr std::int64_t kPaceHoldNs = 200'000'000;

    const int rx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int tx = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const int off = 0;
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    bound.sin_addr = group;
    ip_mreq join{group, in};
    if (!check(rx, "socket") || !check(tx, "socket") ||
        !check(::setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on), "SO_REUSEADDR") ||
        !check(::bind(rx, reinterpret_cast<sockaddr*>(&bound), sizeof bound), "bind") ||
        !check(::setsockopt(rx, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), "join") ||
        !check(::setsockopt(rx, IPPROTO_IP, IP_RECVTTL, &on, sizeof on), "IP_RECVTTL") ||
        !check(::setsockopt(rx, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), "SO_TIMESTAMPNS") ||
        !check(::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out), "IF") ||
        !check(::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off), "LOOP"))
        return 1;
    struct sigaction stop {};
    stop.sa_handler = askStop;
    ::sigaction(SIGTERM, &stop, nullptr);
    std::puts("ready");
    std::fflush(stdout);

    const std::int64_t endNs = nowNs(CLOCK_MONOTONIC) + static_cast<std::int64_t>(seconds * 1e9);
    std::deque<Held> queue;
    std::int64_t lastSendNs = 0;
    std::int64_t firstNs = 0;   // the first arrival, when paced
    std::int64_t paced = 0;
    std::uint64_t received = 0;
    std::uint64_t relayed = 0;
    std::uint64_t dropped = 0;
    double ownNs = 0;
    std::int64_t ownMaxNs = 0;
    int ttlSet = -1;
    // The stamped datagrams' delay as they leave, in ns.
    std::uint64_t stamped = 0;
    double sentDelaySum = 0;
    std::int64_t sentDelayMin = 0;
    std::int64_t sentDelayMax = 0;
    std::int64_t lastSentDelay = 0;
    double sentJitter = 0;
    std::vector<unsigned char> buffer(65536);
    sockaddr_in to = bound;
    while (nowNs(CLOCK_MONOTONIC) < endNs && stopAsked == 0) {
        // Whatever is due goes out first, in the order it came.
        while (!queue.empty() && queue.front().sendNs <= nowNs(CLOCK_REALTIME)) {
            Held& h = queue.front();
            if (h.ttl != ttlSet) {
                ttlSet = h.ttl;
                ::setsockopt(tx, IPPROTO_IP, IP_MULTICAST_TTL, &ttlSet, sizeof ttlSet);
            }
            const std::int64_t handedNs = nowNs(CLOCK_REALTIME);
            if (::sendto(tx, h.bytes.data(), h.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof to) >= 0) {
                if (h.stampNs) {
                    const std::int64_t delay = handedNs - *h.stampNs;
                    if (stamped++ > 0)
                        sentJitter +=
                            (std::abs(static_cast<double>(delay - lastSentDelay)) - sentJitter) /
                            16;
                    sentDelayMin = stamped == 1 ? delay : std::min(sentDelayMin, delay);
                    sentDelayMax = stamped == 1 ? delay : std::max(sentDelayMax, delay);
                    sentDelaySum += static_cast<double>(delay);
                    lastSentDelay = delay;
                }
                ++relayed;
                const std::int64_t own = nowNs(CLOCK_REALTIME) - h.dueNs;
                ownNs += static_cast<double>(own);
                ownMaxNs = std::max(ownMaxNs, own);
            }
            queue.pop_front();
        }
        int waitMs = 5;
        if (!queue.empty())
            waitMs = static_cast<int>(std::clamp<std::int64_t>(
                (queue.front().sendNs - nowNs(CLOCK_REALTIME)) / 1'000'000, 0, 5));
        pollfd wanted{rx, POLLIN, 0};
        if (::poll(&wanted, 1, waitMs) <= 0)
            continue;
        iovec part{buffer.data(), buffer.size()};
        alignas(cmsghdr) unsigned char control[256];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(rx, &message, MSG_DONTWAIT);
        if (n < 0)
            continue;
        Held h;
        h.arrivedNs = nowNs(CLOCK_REALTIME);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) {
                std::memcpy(&h.ttl, CMSG_DATA(c), sizeof h.ttl);
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at{};
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                h.arrivedNs = std::int64_t{at.tv_sec} * 1'000'000'000 + at.tv_nsec;
            }
        }
        const long place = static_cast<long>(received++);
        const long block = dropEvery * burst;
        if (dropEvery > 0 && place % block >= block / 2 && place % block < block / 2 + burst) {
            ++dropped;
            continue;
        }
        // One router crossed; one whose TTL runs out here goes no further.
        if (--h.ttl <= 0)
            continue;
        h.scriptedNs = static_cast<std::int64_t>((delayMs + jitter(random)) * 1e6);
        std::int64_t from = h.arrivedNs;
        if (paceNs > 0) {
            if (firstNs == 0)
                firstNs = h.arrivedNs;
            from = std::max(from, firstNs + kPaceHoldNs + paced++ * paceNs);
        }
        h.dueNs = from + h.scriptedNs;
        h.sendNs = std::max(h.dueNs, lastSendNs);
        lastSendNs = h.sendNs;
        h.bytes.assign(buffer.begin(), buffer.begin() + n);
        if (n > TestDatagram::kHeaderSize)
            h.stampNs = SendStamp::parse(h.bytes.data() + TestDatagram::kHeaderSize,
                                         static_cast<int>(n) - TestDatagram::kHeaderSize);
        queue.push_back(std::move(h));
    }
    std::printf("relayed %llu dropped %llu own_ms %.3f own_max_ms %.3f\n",
                static_cast<unsigned long long>(relayed), static_cast<unsigned long long>(dropped),
                relayed == 0 ? 0.0 : ownNs / static_cast<double>(relayed) / 1e6,
                static_cast<double>(ownMaxNs) / 1e6);
    if (stamped > 0)
        std::printf("sent_delay_ms %.3f %.3f %.3f sent_jitter_ms %.3f\n",
                    static_cast<double>(sentDelayMin) / 1e6,
                    sentDelaySum / static_cast<double>(stamped) / 1e6,
                    static_cast<double>(sentDelayMax) / 1e6, sentJitter / 1e6);
    ::close(rx);
    ::close(tx);
    return 0;
}
