// One run of the real receive engine with a view that only counts, for a
// fixed time, optionally saving into a capture file that is checked after
// the run. Prints key=value lines: datagrams and losses as the engine last
// reported them, CPU time, and the capture check.

#include "bench_args.h"
#include "bench_view.h"
#include "capture_check.h"
#include "capture_file.h"
#include "dc_pool.h"
#include "process_cpu.h"
#include "receive_engine.h"
#include "receiver_ids.h"
#include "steady_clock.h"

#include <chrono>
#include <cstdio>
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

    BenchView view;
    view.setSetting(ReceiverIds::IDC_GROUP_ADDR, args.text("group", "224.1.1.1"));
    view.setSetting(ReceiverIds::IDC_PORT, args.text("port", "9000"));

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
    ReceiveEngine engine(view, capture, clock, DcPool::global());
    const double cpuBefore = processCpuSeconds();
    std::thread worker([&] { engine.run(); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    view.stop();
    worker.join();
    const double cpu = processCpuSeconds() - cpuBefore;
    capture.close();

    std::printf("count=%lld\n", static_cast<long long>(view.reportedCount()));
    std::printf("lost=%lld\n", static_cast<long long>(view.reportedLost()));
    std::printf("reports=%llu\n", static_cast<unsigned long long>(view.statisticsCount()));
    std::printf("cpu_s=%.4f\n", cpu);
    std::printf("from=%s\n", view.lastFrom().c_str());
    std::printf("status=%s\n", view.lastStatus().c_str());

    if (!capturePath.empty()) {
        CaptureCheck check(recordSize);
        const bool read = check.check(capturePath);
        std::printf("capture_read=%d\n", read ? 1 : 0);
        std::printf("capture_records=%llu\n", static_cast<unsigned long long>(check.records()));
        std::printf("capture_final=%llu\n", static_cast<unsigned long long>(check.finalRecords()));
        std::printf("capture_first=%lld\n", static_cast<long long>(check.firstSeq()));
        std::printf("capture_last=%lld\n", static_cast<long long>(check.lastSeq()));
        std::printf("capture_gaps=%llu\n", static_cast<unsigned long long>(check.gaps()));
        std::printf("capture_mismatches=%llu\n", static_cast<unsigned long long>(check.mismatches()));
        std::printf("capture_trailing=%llu\n", static_cast<unsigned long long>(check.trailingBytes()));
        std::printf("capture_exact=%d\n", read && check.exact() ? 1 : 0);
        if (args.text("keep", "0") != "1")
            std::remove(capturePath.c_str());
    }
    return 0;
}
