// kestil-cli: the receiver without a display, on the same engine as the dialog.

#include "channel/dc_pool.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_run.h"
#include "core/receive_format.h"
#include "engine/receive_engine.h"
#include "file/capture_file.h"
#include "platform/steady_clock.h"

#include <atomic>
#include <cstdio>

namespace {

constexpr const char* kProgram = "kestil-cli";

// A run whose capture failed: a write failed, or the file was deleted or
// replaced.
constexpr int kCaptureFailed = 5;

// The dialog's four statistics on one line, what this host dropped itself,
// the datagrams that reached the port without being sent to the group, and
// while saving, the datagrams in the capture file.
std::string statisticsLine(const ReceiveReport& report, bool saving)
{
    const ReceiveTexts texts = receiveReportTexts(report);
    std::string line = "来自 " + texts.from + "  接收尺寸 " + texts.bytes + "  接收速度 " +
                       texts.rate + "  数据包 " + texts.packets + "  本机溢出 " +
                       std::to_string(report.overflowed) + "  stray " +
                       std::to_string(report.stray);
    if (saving)
        line += "  已保存 " + std::to_string(report.saved);
    return line;
}

std::vector<JsonField> statisticsFields(const ReceiveReport& report, bool saving)
{
    std::vector<JsonField> fields{jsonText("from", receiveReportTexts(report).from),
                                  jsonNumber("datagrams", report.datagrams),
                                  jsonNumber("bytes", report.bytes),
                                  jsonNumber("kbps", report.kbps),
                                  jsonNumber("lost", report.lost),
                                  jsonNumber("overflowed", report.overflowed),
                                  jsonNumber("stray", report.stray)};
    if (saving)
        fields.push_back(jsonNumber("saved", report.saved));
    return fields;
}

class CliReceiveSink : public ReceiveSink {
public:
    CliReceiveSink(CliOutput& output, bool saving) : output_(output), saving_(saving) {}

    void stop() { running_.store(false, std::memory_order_relaxed); }

    bool isRunning() const override { return running_.load(std::memory_order_relaxed); }
    void flashLamp(Lamp) override {}
    void setDefaultLamp(Lamp) override {}
    // The end of a run shows in the summary, printed once the worker is done.
    void restoreButtons() override {}

    void showStatus(const ReceiveStatus& status) override
    {
        output_.event(receiveStatusText(status));
    }

    void showStatistics(const ReceiveReport& report) override
    {
        output_.report(statisticsLine(report, saving_), statisticsFields(report, saving_));
    }

private:
    CliOutput& output_;
    bool saving_;
    std::atomic<bool> running_{true};
};

int run(const CliOptions& options, const ReceiveSettings& settings)
{
    CaptureFile capture;
    if (!options.save.empty() && capture.open(options.save) != 1) {
        std::fprintf(stderr, "%s: 无法打开文件. (%s)\n", kProgram, options.save.c_str());
        return 1;
    }

    StopSignals signals;
    CliOutput output(kProgram, options.json, options.quiet);
    const bool saving = !options.save.empty();
    CliReceiveSink sink(output, saving);
    SteadyClock clock;
    ReceiveEngine engine(sink, capture, clock, DcPool::global(), settings);
    engine.setDatagramLimit(options.count);
    MulticastOptions multicast;
    std::snprintf(multicast.interface, sizeof multicast.interface, "%s", options.interface.c_str());
    engine.setMulticastOptions(multicast);

    const StopSignals::Ended ended = signals.run(
        options.durationSeconds, [&] { engine.run(); },
        [&] {
            sink.stop();
            clock.wake();
        },
        [&] { return output.closed(); });
    // Everything received is in the file before the summary counts it.
    capture.closeIfGone();
    capture.close();

    const ReceiveReport& totals = engine.totals();
    output.summary("总计 " + statisticsLine(totals, saving), statisticsFields(totals, saving));

    const int code =
        runExitCode(ended, options.count != 0 && totals.datagrams >= options.count, output);
    if (code == 0 && saving && (capture.failed() || totals.saved < totals.datagrams)) {
        output.fail("capture failed: " + std::to_string(totals.saved) + " of " +
                    std::to_string(totals.datagrams) + " datagrams saved in " + options.save);
        return kCaptureFailed;
    }
    return code;
}

}   // namespace

int main(int argc, char* argv[])
{
    const CliStart start = startCli(CliOptions::Receiver, kProgram, argc, argv);
    if (!start.options)
        return start.exitCode;
    const CliOptions& options = *start.options;
    const Parsed<ReceiveSettings> settings = ReceiveSettings::parse(options.group, options.port);
    if (!settings.settings)
        return refuseSetting(kProgram, settings.refusal);
    return run(options, *settings.settings);
}
