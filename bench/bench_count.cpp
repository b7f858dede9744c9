// A plain reference receiver for the pacing figures: joins the group, counts
// the datagrams on one port for a fixed time and prints the rate between the
// first and the last arrival. Used alike for our sender and for iperf2's.

#include "bench/bench_args.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    BenchArgs args;
    if (!args.parse(argc, argv)) {
        std::fprintf(stderr, "bench_count: %s\n", args.error().c_str());
        return 2;
    }
    const std::string group = args.text("group", "224.1.1.1");
    const int port = static_cast<int>(args.number("port", 9000));
    const double seconds = args.number("seconds", 10);

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq join{};
    join.imr_multiaddr.s_addr = inet_addr(group.c_str());
    join.imr_interface.s_addr = htonl(INADDR_ANY);
    timeval timeout{0, 100000};
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        std::perror("bench_count: socket set-up");
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    Clock::time_point first;
    Clock::time_point last;
    unsigned long long datagrams = 0;
    unsigned long long bytes = 0;
    long long firstBytes = 0;
    static unsigned char buffer[65536];
    while (Clock::now() < deadline) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            continue;
        last = Clock::now();
        if (datagrams == 0) {
            first = last;
            firstBytes = n;
        }
        ++datagrams;
        bytes += static_cast<unsigned long long>(n);
    }
    close(fd);

    const double spanMs = std::chrono::duration<double, std::milli>(last - first).count();
    const double kbps =
        datagrams > 1 && spanMs > 0 ? static_cast<double>(bytes - firstBytes) * 8.0 / spanMs : 0;
    std::printf("datagrams=%llu\n", datagrams);
    std::printf("bytes=%llu\n", bytes);
    std::printf("span_s=%.4f\n", spanMs / 1000.0);
    std::printf("span_kbps=%.2f\n", kbps);
    return 0;
}
