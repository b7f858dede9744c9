// One run of the real receive engine with a recording sink, for a fixed
// time, on one group or several (--group ADDR+N, as kestil-cli takes them),
// optionally saving into a capture file that is checked after the run;
// --coalesce 0 turns coalesced receives off. Prints key=value lines:
// datagrams and losses as the engine last reported them, CPU time, and the
// capture check.

#include "bench/bench_args.h"
#include "bench/capture_check.h"
#include "bench/process_cpu.h"
#include "channel/batch_receive.h"
#include "channel/dc_pool.h"
#include "core/receive_format.h"
#include "core/settings.h"
#include "engine/receive_engine.h"
#include "engine/recording_sink.h"
#include "file/capture_file.h"
#include "platform/steady_clock.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

int main(int argc, char** argv)
{
    BenchArgs args;
    if (!args.parse(argc, argv)) {
        std::fprintf(stderr, "bench_recv: %s\n", args.error().c_str());
        return 2;
    }
    const double seconds = args.number("seconds", 10);
    const std::string capturePath = args.text("capture");
    const int recordSize = static_cast<int>(args.number("record", 1032));
    // --coalesce 0: one datagram per receive, as without the kernel's help.
    const bool coalesce = args.number("coalesce", 1) != 0;

    const GroupList list = args.groups();
    if (list.groups.empty()) {
        std::fprintf(stderr, "bench_recv: --group: %s\n", list.error.c_str());
        return 2;
    }
    // The port is read as the dialog reads it, the groups as kestil-cli's.
    Parsed<ReceiveSettings> settings = ReceiveSettings::parse(
        RunDefaults::kGroup, args.text("port", std::to_string(RunDefaults::kPort)));
    if (!settings.settings) {
        std::fprintf(stderr, "bench_recv: %.*s\n", static_cast<int>(settings.refusal.size()),
                     settings.refusal.data());
        return 2;
    }
    settings.settings->group = list.groups.front();
    RecordingSink sink;

    CaptureFile capture;
    if (!capturePath.empty()) {
        // The capture file appends; each run starts from an empty one.
        std::remove(capturePath.c_str());
        if (capture.open(capturePath) != 1) {
            std::fprintf(stderr, "bench_recv: cannot create %s\n", capturePath.c_str());
            return 1;
        }
    }

    SteadyClock clock;
    ReceiveEngine engine(sink, capture, clock, DcPool::global(), *settings.settings);
    if (!coalesce)
        engine.setReceiverFactory(
            [] { return std::make_unique<BatchReceiver>(BatchReceiver::kBufferSize, false); });
    if (list.groups.size() > 1)
        engine.setGroups(list.groups);
    const double cpuBefore = processCpuSeconds();
    std::thread worker([&] { engine.run(); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    sink.setRunning(false);
    worker.join();
    const double cpu = processCpuSeconds() - cpuBefore;
    capture.close();

    const RecordingSink::Events events = sink.events();
    const ReceiveReport last =
        events.statistics.empty() ? ReceiveReport{} : events.statistics.back();
    const std::string status = events.receiveStatuses.empty()
                                   ? std::string()
                                   : receiveStatusText(events.receiveStatuses.back());
    std::printf("count=%llu\n", static_cast<unsigned long long>(last.datagrams));
    std::printf("groups=%zu\n", list.groups.size());
    std::printf("lost=%lld\n", static_cast<long long>(last.lost));
    std::printf("overflowed=%llu\n", static_cast<unsigned long long>(engine.totals().overflowed));
    std::printf("reports=%zu\n", events.statistics.size());
    std::printf("cpu_s=%.4f\n", cpu);
    std::printf("from=%s\n", receiveReportTexts(last).from.c_str());
    std::printf("status=%s\n", status.c_str());

    if (!capturePath.empty()) {
        CaptureCheck check(recordSize);
        const bool read = check.check(capturePath);
        std::printf("capture_read=%d\n", read ? 1 : 0);
        std::printf("capture_records=%llu\n", static_cast<unsigned long long>(check.records()));
        std::printf("capture_final=%llu\n", static_cast<unsigned long long>(check.finalRecords()));
        std::printf("capture_first=%lld\n", static_cast<long long>(check.firstSeq()));
        std::printf("capture_last=%lld\n", static_cast<long long>(check.lastSeq()));
        std::printf("capture_gaps=%llu\n", static_cast<unsigned long long>(check.gaps()));
        std::printf("capture_mismatches=%llu\n",
                    static_cast<unsigned long long>(check.mismatches()));
        std::printf("capture_trailing=%llu\n",
                    static_cast<unsigned long long>(check.trailingBytes()));
        std::printf("capture_exact=%d\n", read && check.exact() ? 1 : 0);
        if (args.text("keep", "0") != "1")
            std::remove(capturePath.c_str());
    }
    return 0;
}
