// dovrin-cli: the sender without a display, on the same engine as the dialog.

#include "channel/dc_pool.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_run.h"
#include "core/datagram.h"
#include "core/send_format.h"
#include "engine/send_engine.h"
#include "file/data_file.h"
#include "platform/steady_clock.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kProgram = "dovrin-cli";

class CliSendSink : public SendSink {
public:
    CliSendSink(CliOutput& output, int datagramLength)
        : output_(output), datagramLength_(datagramLength)
    {
    }

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

    void showReport(const SendReport& report) override
    {
        const auto datagrams = static_cast<std::uint64_t>(report.bytesSent / datagramLength_);
        output_.report(sendReportText(report),
                       {jsonNumber("datagrams", datagrams), jsonNumber("bytes", report.bytesSent),
                        jsonNumber("kbps", report.kbps)});
    }

private:
    CliOutput& output_;
    std::int64_t datagramLength_;
    std::atomic<bool> running_{true};
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
    const int length = TestDatagram::kHeaderSize + settings.packetSize;
    CliSendSink sink(output, length);
    SteadyClock clock;
    SendEngine engine(sink, clock, DcPool::global(), settings);
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

    const std::uint64_t ms = output.elapsedMs();
    const std::int64_t bytes = engine.bytesSent();
    const auto kbps =
        static_cast<std::int64_t>(ms != 0 ? bytes / static_cast<std::int64_t>(ms) * 8 : 0);
    char text[128];
    std::snprintf(text, sizeof text, "总计 数据包 %llu, %s",
                  static_cast<unsigned long long>(engine.datagramsSent()),
                  sendReportText({bytes, kbps}).c_str());
    output.summary(text, {jsonNumber("datagrams", engine.datagramsSent()),
                          jsonNumber("bytes", bytes), jsonNumber("kbps", kbps)});

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
        SendSettings::parse(options.group, options.port, options.speed, options.size);
    if (!settings.settings)
        return refuseSetting(kProgram, settings.refusal);
    return run(options, *settings.settings);
}
