// kestil-cli: the receiver without a display, on the same engine as the dialog.

#include "channel/dc_pool.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_run.h"
#include "cli/receive_lines.h"
#include "cli/run_files.h"
#include "core/group_list.h"
#include "core/receive_format.h"
#include "engine/receive_engine.h"
#include "file/capture_file.h"
#include "platform/steady_clock.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr const char* kProgram = "kestil-cli";

// Exit codes beside runExitCode's 1 and the usage errors' 2.
constexpr int kNothingArrived = 3;
constexpr int kLossAboveLimit = 4;
// A run whose capture failed: a write failed, or the file was deleted or
// replaced.
constexpr int kCaptureFailed = 5;

// A sender silent for longer than this had an outage.
constexpr std::uint64_t kOutageMs = 1000;
// The picture of a long run is written again each minute.
constexpr std::uint64_t kPlotEveryMs = 60'000;

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

// "2026-12-07 17:25:53 +01:00", for the picture's title.
std::string titleTime(std::chrono::system_clock::time_point at)
{
    std::string text = rfc3339(at);
    text[10] = ' ';
    return text.substr(0, 19) + " " + text.substr(23);
}

// One line or object per interval and per outage; the statistics of every
// 50th datagram are the dialog's and are not printed.
class CliReceiveSink : public ReceiveSink {
public:
    // The engine's times are milliseconds since its run started.
    CliReceiveSink(CliOutput& output, RunFiles& files, const ReceiveSettings& settings)
        : output_(output), files_(files), settings_(settings)
    {
    }

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

    void showStatistics(const ReceiveReport&) override {}

    void showReceiveInterval(const ReceiveInterval& interval) override
    {
        const auto now = std::chrono::system_clock::now();
        output_.report(intervalLine(interval), intervalFields(interval));
        if (files_.plotting()) {
            files_.addInterval(
                {seconds(interval.endMs),
                 static_cast<double>(interval.endMs - interval.startMs) / 1000, interval.kbps(),
                 interval.interval.lost > 0 ? static_cast<std::uint64_t>(interval.interval.lost)
                                            : 0});
            if (interval.endMs - plottedMs_ >= kPlotEveryMs) {
                plottedMs_ = interval.endMs;
                files_.setTitle(title(interval, now));
                files_.rewritePlot();
            }
        }
        if (files_.metering())
            files_.setMetrics(metrics(interval));
        std::lock_guard lock(mutex_);
        last_ = interval;
    }

    void showSenderOutage(const Outage& outage) override
    {
        const auto now = std::chrono::system_clock::now();
        output_.report(outageLine(outage, now), outageFields(outage, now));
        files_.addOutage({seconds(outage.beganMs), static_cast<double>(outage.lastedMs) / 1000,
                          outage.lost > 0 ? static_cast<std::uint64_t>(outage.lost) : 0});
        std::lock_guard lock(mutex_);
        outages_.emplace_back(outage.sender, 1);
    }

    // The picture's title: the group and the senders of the run so far.
    PlotTitle title(const ReceiveInterval& interval,
                    std::chrono::system_clock::time_point end) const
    {
        PlotTitle t{settings_.group, settings_.port, {}, startedAt_, titleTime(end)};
        for (const SenderFigures& s : interval.senders)
            t.senders.push_back(senderText(s.sender));
        return t;
    }

    ReceiveInterval last() const
    {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    static double seconds(std::uint64_t ms) { return static_cast<double>(ms) / 1000; }

    MetricsTotals metrics(const ReceiveInterval& interval) const
    {
        MetricsTotals m{settings_.group, settings_.port, {}, interval.overflowedTotal};
        for (const SenderFigures& s : interval.senders) {
            std::uint64_t outages = 0;
            {
                std::lock_guard lock(mutex_);
                for (const auto& [sender, count] : outages_)
                    outages += sender == s.sender ? count : 0;
            }
            m.senders.push_back({senderText(s.sender), s.total.datagrams, s.total.bytes,
                                 s.total.lost > 0 ? static_cast<std::uint64_t>(s.total.lost) : 0,
                                 outages});
        }
        return m;
    }

    CliOutput& output_;
    RunFiles& files_;
    const ReceiveSettings& settings_;
    std::uint64_t plottedMs_ = 0;
    std::string startedAt_ = titleTime(std::chrono::system_clock::now());
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    ReceiveInterval last_;
    std::vector<std::pair<SocketAddress, std::uint64_t>> outages_;   // sender, count
};

int run(const CliOptions& options, const ReceiveSettings& settings,
        const std::vector<IpAddress>& groups, const IpAddress& source)
{
    CaptureFile capture;
    if (!options.save.empty() && capture.open(options.save) != 1) {
        std::fprintf(stderr, "%s: 无法打开文件. (%s)\n", kProgram, options.save.c_str());
        return 1;
    }

    StopSignals signals;
    CliOutput output(kProgram, options.json, options.quiet);
    const bool saving = !options.save.empty();
    SteadyClock clock;
    RunFiles files(options.plot, options.metrics);
    CliReceiveSink sink(output, files, settings);
    ReceiveEngine engine(sink, capture, clock, DcPool::global(), settings);
    engine.setDatagramLimit(options.count);
    engine.setIntervals(static_cast<std::uint64_t>(std::llround(options.intervalSeconds * 1000)),
                        kOutageMs);
    MulticastOptions multicast;
    std::snprintf(multicast.interface, sizeof multicast.interface, "%s", options.interface.c_str());
    engine.setMulticastOptions(multicast);
    engine.setGroups(groups, source);

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
    if (const int error = engine.buildError(); error != 0) {
        std::string reason = std::strerror(error);
        // The per-socket memberships are spread over sockets; what still runs
        // out is the memory a socket may spend on its options.
        if (error == ENOBUFS)
            reason += " (raise net.ipv4.igmp_max_memberships or net.core.optmem_max)";
        output.fail("cannot receive on port " + std::to_string(settings.port) + ": " + reason);
        return 1;
    }

    const ReceiveReport& totals = engine.totals();
    const ReceiveInterval last = engine.lastInterval();
    const OutageSummary& outages = engine.outages();
    if (files.plotting())
        files.setTitle(sink.title(last, std::chrono::system_clock::now()));
    const int filesFailed = files.finish();

    std::vector<JsonField> fields = statisticsFields(totals, saving);
    fields.push_back(jsonDecimal("loss_pct", last.total.lossPercent()));
    fields.push_back(jsonNumber("late", last.total.late));
    fields.push_back(jsonNumber("repeated", last.total.repeated));
    fields.push_back(jsonDecimal("kbps_first_to_last", last.total.kbpsFirstToLast()));
    for (JsonField& f : outageSummaryFields(outages))
        fields.push_back(std::move(f));
    output.summary("总计 " + statisticsLine(totals, saving) + "  " + outageSummaryText(outages),
                   fields);
    if (filesFailed != 0)
        output.event(std::string("writing the picture or the metrics failed: ") +
                     std::strerror(filesFailed));

    const int code =
        runExitCode(ended, options.count != 0 && totals.datagrams >= options.count, output);
    if (code != 0)
        return code;
    if (saving && (capture.failed() || totals.saved < totals.datagrams)) {
        output.fail("capture failed: " + std::to_string(totals.saved) + " of " +
                    std::to_string(totals.datagrams) + " datagrams saved in " + options.save);
        return kCaptureFailed;
    }
    if (totals.datagrams == 0) {
        output.fail("no datagrams arrived");
        return kNothingArrived;
    }
    if (options.maxLossPercent && last.total.lossPercent() > *options.maxLossPercent) {
        output.fail("loss " + fixedText(last.total.lossPercent(), 2) + "% is above --max-loss " +
                    fixedText(*options.maxLossPercent, 2) + "%");
        return kLossAboveLimit;
    }
    return 0;
}

}   // namespace

int main(int argc, char* argv[])
{
    const CliStart start = startCli(CliOptions::Receiver, kProgram, argc, argv);
    if (!start.options)
        return start.exitCode;
    const CliOptions& options = *start.options;
    const GroupList list = parseGroupList(options.groups, kMaxGroups);
    if (list.groups.empty())
        return refuseSetting(kProgram, list.error);
    // The port is read as the dialog reads it; the groups were read above.
    Parsed<ReceiveSettings> settings = ReceiveSettings::parse(RunDefaults::kGroup, options.port);
    if (!settings.settings)
        return refuseSetting(kProgram, settings.refusal);
    settings.settings->group = list.groups.front().text();
    IpAddress source;
    if (!options.ssmSource.empty()) {
        const SourceAddress parsed =
            parseSourceAddress(options.ssmSource, list.groups.front().family);
        if (!parsed.source)
            return refuseSetting(kProgram, "--ssm-source: " + parsed.error);
        source = *parsed.source;
    }
    if (options.interface.empty()) {
        for (const IpAddress& group : list.groups) {
            if (needsInterface(group))
                return refuseSetting(kProgram, "group " + group.text() +
                                                   " is of link-local scope: name its interface "
                                                   "with --interface");
        }
    }
    return run(options, *settings.settings, list.groups, source);
}
