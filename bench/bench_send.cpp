// One run of the real send engine with a view that only counts, for a fixed
// time. Prints key=value lines: datagrams sent, run time, CPU time, the sleep
// granularity seen during the run, and what the pacing rule predicts on it.

#include "bench_args.h"
#include "bench_view.h"
#include "dc_pool.h"
#include "measuring_clock.h"
#include "pacing_model.h"
#include "process_cpu.h"
#include "send_engine.h"
#include "sender_ids.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

namespace {

// The speed in the engine's "推送尺寸: %d, 速度: %d" status, or -1.
long long statusSpeed(const std::string& status)
{
    static const char kMark[] = "速度: ";
    const std::size_t at = status.find(kMark);
    return at == std::string::npos ? -1 : std::atoll(status.c_str() + at + std::strlen(kMark));
}

}  // namespace

int main(int argc, char** argv)
{
    BenchArgs args;
    if (!args.parse(argc, argv)) {
        std::fprintf(stderr, "bench_send: %s\n", args.error().c_str());
        return 2;
    }
    const double seconds = args.number("seconds", 10);
    const int speed = static_cast<int>(args.number("speed", 100000000));
    const int size = static_cast<int>(args.number("size", 1024));

    BenchView view;
    view.setSetting(SenderIds::IDC_GROUP_ADDR, args.text("group", "224.1.1.1"));
    view.setSetting(SenderIds::IDC_PORT, args.text("port", "9000"));
    view.setSetting(SenderIds::IDC_SPEED, std::to_string(speed));
    view.setSetting(SenderIds::IDC_PACKET_SIZE, std::to_string(size));

    MeasuringClock clock;
    SendEngine engine(view, clock, DcPool::global());
    // Zero payloads unless a source is named: a path below a regular file
    // can never be opened.
    engine.setSourcePath(args.text("source", "/dev/null/send.txt"));

    const double cpuBefore = processCpuSeconds();
    std::chrono::steady_clock::time_point runStart;
    std::chrono::steady_clock::time_point runEnd;
    std::thread worker([&] {
        runStart = std::chrono::steady_clock::now();
        engine.run();
        runEnd = std::chrono::steady_clock::now();
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    view.stop();
    worker.join();
    const double cpu = processCpuSeconds() - cpuBefore;
    const auto ms = [](std::chrono::steady_clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    const double runMs = ms(runEnd - runStart);

    // isRunning is asked before every datagram and once more at the end.
    const std::uint64_t datagrams = view.passes() > 0 ? view.passes() - 1 : 0;
    const double loopCostMs = datagrams > 0 ? (runMs - clock.totalSleepMs()) / static_cast<double>(datagrams) : 0;
    const double overshoot = clock.meanOvershootMs();
    // Each modelled pause lasts as long as one drawn from the pauses of the
    // same request that this run really took (fixed seed: repeatable).
    std::mt19937 draw(1);
    PacingModel model(
        [&clock, &draw, overshoot](int ms) -> double {
            const std::vector<float>& lengths = clock.sleepLengthsMs(ms);
            if (lengths.size() < 3)
                return ms + overshoot;
            std::uniform_int_distribution<std::size_t> pick(0, lengths.size() - 1);
            return lengths[pick(draw)];
        },
        loopCostMs);

    std::printf("datagrams=%llu\n", static_cast<unsigned long long>(datagrams));
    std::printf("run_s=%.4f\n", runMs / 1000.0);
    std::printf("cpu_s=%.4f\n", cpu);
    std::printf("sleeps=%llu\n", static_cast<unsigned long long>(clock.totalSleeps()));
    std::printf("sleep_overshoot_ms=%.4f\n", overshoot);
    std::printf("sleep1_ms=%.4f\n", clock.meanSleepMs(1));
    std::printf("loop_cost_us=%.3f\n", loopCostMs * 1000.0);
    if (clock.totalSleeps() > 0) {
        // Channel set-up before the first datagram, release after the last.
        std::printf("lead_in_ms=%.3f\n", ms(clock.firstSleepStart() - runStart));
        std::printf("tail_ms=%.3f\n", ms(runEnd - clock.lastSleepEnd()));
    }
    std::printf("engine_kbps=%lld\n", statusSpeed(view.lastStatus()));
    std::printf("model_kbps=%.2f\n", model.predictKbps(speed, size + 8, runMs / 1000.0));
    std::printf("restored=%d\n", view.restores());
    std::printf("status=%s\n", view.lastStatus().c_str());
    return 0;
}
