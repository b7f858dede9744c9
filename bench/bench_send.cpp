// One run of the real send engine with a recording sink, for a fixed time,
// to one group or to several in turn (--group ADDR+N, each at --speed, as
// dovrin-cli sends them). Prints key=value lines: datagrams sent, run time,
// CPU time, the path the engine's runs of datagrams took, the sleep
// granularity seen during the run, and what the pacing rule predicts on it.
// --path segmented|multiple|single names the fastest path the engine may
// use; without it the engine starts from the fastest of all, as in the
// dialog.

#include "bench/bench_args.h"
#include "bench/measuring_clock.h"
#include "bench/pacing_model.h"
#include "bench/process_cpu.h"
#include "channel/batch_send.h"
#include "channel/dc_pool.h"
#include "core/send_format.h"
#include "core/settings.h"
#include "engine/recording_sink.h"
#include "engine/send_engine.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

int main(int argc, char** argv)
{
    BenchArgs args;
    if (!args.parse(argc, argv)) {
        std::fprintf(stderr, "bench_send: %s\n", args.error().c_str());
        return 2;
    }
    const double seconds = args.number("seconds", 10);
    const int speed = static_cast<int>(args.number("speed", 100000000));
    const int size = static_cast<int>(args.number("size", RunDefaults::kPacketSize));
    const std::string pathText = args.text("path", "segmented");
    BatchSender::Path fastest = BatchSender::Path::Segmented;
    bool known = false;
    for (const BatchSender::Path path :
         {BatchSender::Path::Segmented, BatchSender::Path::Multiple, BatchSender::Path::Single}) {
        if (pathText == BatchSender::pathName(path)) {
            fastest = path;
            known = true;
        }
    }
    if (!known) {
        std::fprintf(stderr, "bench_send: --path is segmented, multiple or single\n");
        return 2;
    }

    const GroupList list = args.groups();
    if (list.groups.empty()) {
        std::fprintf(stderr, "bench_send: --group: %s\n", list.error.c_str());
        return 2;
    }
    Parsed<SendSettings> settings = SendSettings::parse(
        RunDefaults::kGroup, args.text("port", std::to_string(RunDefaults::kPort)),
        std::to_string(speed), std::to_string(size));
    if (!settings.settings) {
        std::fprintf(stderr, "bench_send: %.*s\n", static_cast<int>(settings.refusal.size()),
                     settings.refusal.data());
        return 2;
    }
    settings.settings->group = list.groups.front();

    RecordingSink sink;
    MeasuringClock clock;
    SendEngine engine(sink, clock, DcPool::global(), *settings.settings);
    if (list.groups.size() > 1)
        engine.setGroups(list.groups);
    // Zero payloads unless a source is named: a path below a regular file
    // can never be opened.
    engine.setSourcePath(args.text("source", "/dev/null/send.txt"));
    engine.setFastestPath(fastest);

    const double cpuBefore = processCpuSeconds();
    std::chrono::steady_clock::time_point runStart;
    std::chrono::steady_clock::time_point runEnd;
    std::thread worker([&] {
        runStart = std::chrono::steady_clock::now();
        engine.run();
        runEnd = std::chrono::steady_clock::now();
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    sink.setRunning(false);
    worker.join();
    const RecordingSink::Events events = sink.events();
    const double cpu = processCpuSeconds() - cpuBefore;
    const auto ms = [](std::chrono::steady_clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    const double runMs = ms(runEnd - runStart);

    const std::uint64_t datagrams = engine.datagramsSent();
    const double loopCostMs =
        datagrams > 0 ? (runMs - clock.totalSleepMs()) / static_cast<double>(datagrams) : 0;
    const double overshoot = clock.meanOvershootMs();
    // Each modelled pause lasts as long as one drawn from the pauses of the
    // same request that this run really took (fixed seed: repeatable).
    std::mt19937 draw(1);
    PacingModel model(
        [&clock, &draw, overshoot](int requested) -> double {
            const std::vector<float>& lengths = clock.sleepLengthsMs(requested);
            if (lengths.size() < 3)
                return requested + overshoot;
            std::uniform_int_distribution<std::size_t> pick(0, lengths.size() - 1);
            return lengths[pick(draw)];
        },
        loopCostMs);

    std::printf("datagrams=%llu\n", static_cast<unsigned long long>(datagrams));
    std::printf("run_s=%.4f\n", runMs / 1000.0);
    std::printf("cpu_s=%.4f\n", cpu);
    std::printf("path=%s\n", BatchSender::pathName(engine.pathTaken()));
    std::printf("sleeps=%llu\n", static_cast<unsigned long long>(clock.totalSleeps()));
    std::printf("sleep_overshoot_ms=%.4f\n", overshoot);
    std::printf("sleep1_ms=%.4f\n", clock.meanSleepMs(1));
    std::printf("loop_cost_us=%.3f\n", loopCostMs * 1000.0);
    if (clock.totalSleeps() > 0) {
        // Channel set-up before the first datagram, release after the last.
        std::printf("lead_in_ms=%.3f\n", ms(clock.firstSleepStart() - runStart));
        std::printf("tail_ms=%.3f\n", ms(runEnd - clock.lastSleepEnd()));
    }
    const long long engineKbps = events.reports.empty() ? -1 : events.reports.back().kbps;
    std::printf("engine_kbps=%lld\n", engineKbps);
    std::printf("model_kbps=%.2f\n", model.predictKbps(speed, size + 8, runMs / 1000.0));
    std::printf("restored=%d\n", events.restores);
    // The last failure, else the last report, as the status line shows it.
    std::string status;
    if (!events.sendStatuses.empty())
        status = sendStatusText(events.sendStatuses.back());
    else if (!events.reports.empty())
        status = sendReportText(events.reports.back());
    std::printf("status=%s\n", status.c_str());
    return 0;
}
