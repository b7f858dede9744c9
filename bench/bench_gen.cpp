// The load generator for the receivers' capacity: datagrams of one length
// to the group at an offered rate, sent in short runs through the fastest
// path the kernel accepts, each run at its place on a steady-clock schedule,
// from a socket of its own (an ephemeral port, TTL 20, no loop-back).
//   --format tagged   our header, sequence numbers from 0 up; the payload
//                     repeats the number big-endian in its first 4 bytes,
//                     then 12 zero bytes and a constant part, so that a
//                     capture of the payloads passes CaptureCheck
//   --format iperf    iperf2's client layout (sequence from 1, big-endian,
//                     send time, zero upper bits, constant part), ending with
//                     a few closing datagrams, so that iperf2's server counts
//                     and reports the run as it would its own client's
//   --group ADDR+N    the group ADDR and the N after it, IPv4 or IPv6 (tagged
//                     only): the datagrams go to them in turn, each group
//                     numbered from 0 on its own, as dovrin-cli sends them
// Prints key=value lines: datagrams sent, seconds, the path taken, and how
// often the schedule slipped by more than 10 ms.

#include "bench/bench_args.h"
#include "channel/batch_send.h"
#include "channel/csock.h"
#include "core/datagram.h"
#include "core/group_list.h"
#include "core/settings.h"

#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

using SteadyTime = std::chrono::steady_clock;

// The most wake-ups a second; above this rate the runs grow instead.
constexpr double kWakeupsPerSecond = 20000;
constexpr auto kMaxSlip = std::chrono::milliseconds(10);

void putBigEndian(unsigned char* at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

// Numbers the datagrams of one run, which lie back to back in buffer.
class Layout {
public:
    Layout(bool iperf, int length) : iperf_(iperf), length_(length) {}

    // Writes the constant parts of count datagrams. iperf2's server reads
    // option flags after its 16 bytes; zeros there ask for none.
    void prepare(unsigned char* buffer, int count) const
    {
        const int zeros = std::min(iperf_ ? 64 : TestDatagram::kHeaderSize + 16, length_);
        for (int d = 0; d < count; ++d) {
            unsigned char* datagram = buffer + static_cast<std::ptrdiff_t>(d) * length_;
            std::fill(datagram, datagram + zeros, 0);
            for (int i = zeros; i < length_; ++i)
                datagram[i] = static_cast<unsigned char>('0' + i % 10);
        }
    }

    // Numbers count datagrams from the run's datagram first on (0-based),
    // each group's on their own, and stamps the time.
    void number(unsigned char* buffer, int count, std::uint64_t first, std::uint64_t groups) const
    {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        for (int d = 0; d < count; ++d) {
            const auto seq =
                static_cast<std::uint32_t>((first + static_cast<std::uint64_t>(d)) / groups);
            unsigned char* datagram = buffer + static_cast<std::ptrdiff_t>(d) * length_;
            if (iperf_) {
                putBigEndian(datagram, seq + 1);
                putBigEndian(datagram + 4, static_cast<std::uint32_t>(now.tv_sec));
                putBigEndian(datagram + 8, static_cast<std::uint32_t>(now.tv_nsec / 1000));
            } else {
                TestDatagram::encodeHeader(datagram, seq);
                putBigEndian(datagram + TestDatagram::kHeaderSize, seq);
            }
        }
    }

    // iperf2's closing datagram after sent datagrams: the last number,
    // negated, with the upper bits all ones.
    void close(unsigned char* datagram, std::uint32_t sent) const
    {
        putBigEndian(datagram, static_cast<std::uint32_t>(-static_cast<std::int64_t>(sent)));
        putBigEndian(datagram + 12, 0xFFFFFFFFU);
    }

private:
    bool iperf_;
    int length_;
};

}   // namespace

int main(int argc, char** argv)
{
    BenchArgs args;
    if (!args.parse(argc, argv)) {
        std::fprintf(stderr, "bench_gen: %s\n", args.error().c_str());
        return 2;
    }
    const GroupList list = args.groups();
    if (list.groups.empty()) {
        std::fprintf(stderr, "bench_gen: --group: %s\n", list.error.c_str());
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(args.number("port", RunDefaults::kPort));
    const int length = static_cast<int>(args.number("length", 1032));
    const double mbps = args.number("mbps", 100);
    const double seconds = args.number("seconds", 10);
    const std::string format = args.text("format", "tagged");
    if ((format != "tagged" && format != "iperf") || length < TestDatagram::kHeaderSize + 16 ||
        length > 65507 || mbps <= 0) {
        std::fprintf(stderr, "bench_gen: needs --format tagged|iperf, --length 24-65507 and "
                             "--mbps above 0\n");
        return 2;
    }
    const bool iperf = format == "iperf";
    const std::uint64_t groups = list.groups.size();
    if (iperf && groups > 1) {
        std::fprintf(stderr, "bench_gen: --format iperf takes one group\n");
        return 2;
    }
    const double perSecond = mbps * 1e6 / 8.0 / length;
    const int run = std::clamp(static_cast<int>(std::ceil(perSecond / kWakeupsPerSecond)), 1,
                               BatchSender::kMaxPerCall);
    const auto period = std::chrono::duration_cast<SteadyTime::duration>(
        std::chrono::duration<double>(run / perSecond));

    Csock socket;
    if (!socket.init(Csock::Datagram, list.groups.front().family) ||
        !socket.bind({IpAddress{list.groups.front().family, {}}, 0}) ||
        !socket.setMulticastTtl(RunDefaults::kTtl) || !socket.setMulticastLoop(false)) {
        std::fprintf(stderr, "bench_gen: socket set-up: %s\n", std::strerror(socket.lastError()));
        return 1;
    }
    const int fd = socket.handle();
    // Sleeps end within a microsecond or two of the schedule, not 50.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);

    std::vector<SocketAddress> destinations;
    for (const IpAddress& group : list.groups)
        destinations.push_back({group, port});
    BatchSender sender(fd, destinations);
    const Layout layout(iperf, length);
    std::vector<unsigned char> buffer(static_cast<std::size_t>(run) * length);
    layout.prepare(buffer.data(), run);

    std::uint64_t sent = 0;
    unsigned long long slips = 0;
    unsigned long long failures = 0;
    const auto start = SteadyTime::now();
    const auto end = start + std::chrono::duration_cast<SteadyTime::duration>(
                                 std::chrono::duration<double>(seconds));
    for (auto due = start; due < end; due += period) {
        std::this_thread::sleep_until(due);
        const auto now = SteadyTime::now();
        // After a stall the schedule starts again from now rather than
        // making up for it in one burst.
        if (now - due > kMaxSlip) {
            ++slips;
            due = now;
        }
        layout.number(buffer.data(), run, sent, groups);
        for (int done = 0; done < run;) {
            const int n = sender.send(buffer.data() + static_cast<std::ptrdiff_t>(done) * length,
                                      length, run - done, (sent % groups));
            // What did not go out is numbered afresh in the next run.
            if (n <= 0) {
                ++failures;
                break;
            }
            done += n;
            sent += static_cast<std::uint64_t>(n);
        }
    }
    const double runSeconds = std::chrono::duration<double>(SteadyTime::now() - start).count();

    if (iperf) {
        std::vector<unsigned char> closing(buffer.begin(), buffer.begin() + length);
        layout.close(closing.data(), static_cast<std::uint32_t>(sent));
        for (int i = 0; i < 5; ++i) {
            sender.send(closing.data(), length, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    socket.close();

    std::printf("sent=%llu\n", static_cast<unsigned long long>(sent));
    std::printf("groups=%llu\n", static_cast<unsigned long long>(groups));
    std::printf("run_s=%.4f\n", runSeconds);
    std::printf("rate=%.0f\n", static_cast<double>(sent) / runSeconds);
    std::printf("per_run=%d\n", run);
    std::printf("path=%s\n", BatchSender::pathName(sender.path()));
    std::printf("slips=%llu\n", slips);
    std::printf("failures=%llu\n", failures);
    return 0;
}
