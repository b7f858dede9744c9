// dovrin-cli: the sender without a display, on the same engine as the dialog.

#include "channel/dc_pool.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_run.h"
#include "core/send_format.h"
#include "engine/send_engine.h"
#include "file/data_file.h"
#include "platform/steady_clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kProgram = "dovrin-cli";

// The human line of an interval, in the dialog's words for bytes (since the
// start) and speed (the interval's), e.g.
// "推送尺寸: 1032000, 速度: 512.3, 数据包 62  总计 数据包 1000".
std::string intervalText(const SendInterval& interval)
{
    char text[160];
    std::snprintf(text, sizeof text, "推送尺寸: %llu, 速度: %s, 数据包 %llu  总计 数据包 %llu",
                  static_cast<unsigned long long>(interval.totalBytes),
                  fixedText(interval.kbps(), 1).c_str(),
                  static_cast<unsigned long long>(interval.datagrams),
                  static_cast<unsigned long long>(interval.totalDatagrams));
    return text;
}

class CliSendSink : public SendSink {
public:
    explicit CliSendSink(CliOutput& output) : output_(output) {}

    void stop() { running_.store(false, std::memory_order_relaxed); }

    bool isRunning() const override { return running_.load(std::memory_order_relaxed); }
    void flashLamp(Lamp) override {}
    void setDefaultLamp(Lamp) override {}
    void restoreButtons() override {}

    // Sending rides out outages here: each shows once when it begins and
    // once when it ends, rather than every attempt 10 ms apart.
    void showStatus(const SendStatus& status) override
    {
        if (status.kind != SendStatus::SendFailed)
            output_.event(sendStatusText(status));
    }
    void showOutage(const SendOutage& outage) override { output_.event(sendOutageText(outage)); }

    // The pacing's reports stay the dialog's; here each interval prints.
    void showReport(const SendReport&) override {}
    void showSendInterval(const SendInterval& interval) override
    {
        if (!intervals_)
            firstMs_ = interval.startMs;
        ++intervals_;
        lastMs_ = interval.endMs;
        output_.report(
            intervalText(interval),
            {jsonDecimal("interval", static_cast<double>(interval.endMs - interval.startMs) / 1000),
             jsonNumber("datagrams", interval.datagrams), jsonNumber("bytes", interval.bytes),
             jsonDecimal("kbps", interval.kbps()),
             jsonNumber("total_datagrams", interval.totalDatagrams),
             jsonNumber("total_bytes", interval.totalBytes)});
    }

    // The run's span on the engine's clock, from its start to its end; 0
    // when it never started. Read after the run.
    std::uint64_t runMs() const { return lastMs_ - firstMs_; }

private:
    CliOutput& output_;
    std::atomic<bool> running_{true};
    std::uint64_t intervals_ = 0;
    std::uint64_t firstMs_ = 0;
    std::uint64_t lastMs_ = 0;
};

int run(const CliOptions& options, const SendSettings& settings)
{
    // An explicitly named source must be readable; the default send.txt may
    // be missing, as for the dialog (the payload is then zero bytes).
    if (!options.source.empty()) {
        DataFile probe;
        if (probe.openRead(options.source.c_str()) != 1) {
            std::fprintf(stderr, "%s: 无法读取 %s.\n", kProgram, options.source.c_str());
            return 1;
        }
    }

    StopSignals signals;
    CliOutput output(kProgram, options.json, options.quiet);
    CliSendSink sink(output);
    SteadyClock clock;
    SendEngine engine(sink, clock, DcPool::global(), settings);
    engine.setIntervalMs(static_cast<std::uint64_t>(std::llround(options.intervalSeconds * 1000)));
    engine.setSourcePath(options.source);
    engine.setDatagramLimit(options.count);
    engine.setAttemptLimit(0);
    MulticastOptions multicast;
    std::snprintf(multicast.interface, sizeof multicast.interface, "%s", options.interface.c_str());
    multicast.ttl = options.ttl;
    engine.setMulticastOptions(multicast);

    const StopSignals::Ended ended = signals.run(
        options.durationSeconds, [&] { engine.run(); },
        [&] {
            sink.stop();
            clock.wake();
        },
        [&] { return output.closed(); });

    const auto bytes = static_cast<std::uint64_t>(engine.bytesSent());
    const double kbps = static_cast<double>(bytes) * 8 /
                        static_cast<double>(std::max<std::uint64_t>(sink.runMs(), 1));
    char text[160];
    std::snprintf(text, sizeof text, "总计 数据包 %llu, 推送尺寸: %llu, 速度: %s",
                  static_cast<unsigned long long>(engine.datagramsSent()),
                  static_cast<unsigned long long>(bytes), fixedText(kbps, 1).c_str());
    output.summary(text, {jsonNumber("datagrams", engine.datagramsSent()),
                          jsonNumber("bytes", bytes), jsonDecimal("kbps", kbps)});

    return runExitCode(ended, options.count != 0 && engine.datagramsSent() >= options.count,
                       output);
}

}   // namespace

int main(int argc, char* argv[])
{
    const CliStart start = startCli(CliOptions::Sender, kProgram, argc, argv);
    if (!start.options)
        return start.exitCode;
    const CliOptions& options = *start.options;
    const Parsed<SendSettings> settings =
        SendSettings::parse(options.groups.front(), options.port, options.speed, options.size);
    if (!settings.settings)
        return refuseSetting(kProgram, settings.refusal);
    return run(options, *settings.settings);
}
