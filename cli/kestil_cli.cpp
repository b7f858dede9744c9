// kestil-cli: the receiver without a display, on the same engine as the dialog.

#include "channel/dc_pool.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_run.h"
#include "cli/cli_start.h"
#include "cli/live_view.h"
#include "cli/metrics_endpoint.h"
#include "cli/run_files.h"
#include "cli/silence_watch.h"
#include "core/receive_format.h"
#include "engine/receive_engine.h"
#include "file/capture_file.h"
#include "file/whole_file.h"
#include "platform/steady_clock.h"
#include "report/event_text.h"
#include "report/figure_text.h"
#include "report/messages.h"
#include "report/receive_lines.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr const char* kProgram = "kestil-cli";

// Exit codes beside runExitCode's 1 and the usage errors' 2.
constexpr int kNothingArrived = 3;
constexpr int kLossAboveLimit = 4;
// A run whose capture failed: a write failed, or the file was deleted or
// replaced.
constexpr int kCaptureFailed = 5;
// A run whose picture or metrics file could not be written.
constexpr int kFilesFailed = 6;

// The picture of a long run is written again each minute.
constexpr std::uint64_t kPlotEveryMs = 60'000;

// "cannot write to \"run.svg\": No such file or directory".
std::string cannotWrite(const std::string& name, int error)
{
    return say("cannot write to \"{1}\": {2}", {name, fileReason(name, error)});
}

// "2026-12-07 17:25:53 +01:00", for the picture's title.
std::string titleTime(std::chrono::system_clock::time_point at)
{
    std::string text = rfc3339(at);
    text[10] = ' ';
    return text.substr(0, 19) + " " + text.substr(23);
}

std::uint64_t lostOf(const FlowCounts& counts)
{
    return counts.lost > 0 ? static_cast<std::uint64_t>(counts.lost) : 0;
}

// One line or object per interval and per outage; the statistics of every
// 50th datagram are the dialog's and are not printed. In a run of several
// groups the outages of an interval are printed with it, so that a silence of
// every group shows as one report, not hundreds.
class CliReceiveSink : public CliSink<ReceiveSink> {
public:
    // The engine's times are milliseconds since its run started.
    // capture is the file saved into, empty when none is.
    CliReceiveSink(CliOutput& output, RunFiles& files, SilenceWatch& watch,
                   const ReceiveSettings& settings, const std::vector<IpAddress>& groups,
                   std::string capture, bool verbose)
        : output_(output), files_(files), watch_(watch), settings_(settings),
          capture_(std::move(capture)), verbose_(verbose), manyGroups_(groups.size() > 1),
          groupsText_(manyGroups_ ? groups.front().text() + " \u2026 " + groups.back().text()
                                  : settings.group.text())
    {
    }

    // A channel that cannot be built ends the run, which then says why.
    void showStatus(const ReceiveStatus& status) override
    {
        if (status.kind == ReceiveStatus::BuildFailed)
            return;
        // A silence is said once, not at every time-out that it lasts: a
        // permanent receiver's log would fill with it. Datagrams end it.
        if (status.kind == ReceiveStatus::NoData) {
            if (silenceSaid_ && counted_ == countedAtSilence_)
                return;
            silenceSaid_ = true;
            countedAtSilence_ = counted_;
        }
        const EventText e = receiveStatusEvent(status, settings_.port, capture_);
        // A capture that fails is said also under --quiet.
        if (status.kind == ReceiveStatus::SaveFailed || status.kind == ReceiveStatus::CaptureGone)
            output_.alert(e.name, e.text, e.fields);
        else
            output_.event(e.name, e.text, e.fields);
    }

    // The engine shows what arrived before it says no-data.
    void showStatistics(const ReceiveReport& report) override { counted_ = report.datagrams; }

    void showReceiveInterval(const ReceiveInterval& interval) override
    {
        counted_ = std::max(counted_, interval.total.datagrams);
        watch_.noteInterval(interval);
        const auto now = std::chrono::system_clock::now();
        if (live_ != nullptr) {
            // The view takes the figures in place of the lines.
            live_->offer(interval);
        } else if (!manyGroups_) {
            output_.report(intervalLine(interval) + verboseText(interval, verbose_),
                           intervalFields(interval));
        } else {
            // Hundreds of groups take milliseconds to format: not on this
            // thread, which is receiving.
            auto pending = std::make_shared<Pending>(std::move(pending_));
            pending_ = {};
            pending->interval = interval;
            pending->verbose = verboseText(interval, verbose_);
            output_.reportsLater([pending](std::vector<std::string>& texts,
                                           std::vector<std::vector<JsonField>>& objects) {
                texts.push_back(intervalLine(pending->interval) + pending->verbose);
                texts.insert(texts.end(), pending->texts.begin(), pending->texts.end());
                if (pending->outages > pending->texts.size())
                    texts.push_back(
                        say("outages of {1} more groups",
                            {std::to_string(pending->outages - pending->texts.size())}));
                objects = std::move(pending->objects);
                for (std::vector<JsonField>& object : intervalObjects(pending->interval))
                    objects.push_back(std::move(object));
            });
        }
        if (files_.plotting()) {
            PlotInterval plotted{seconds(interval.endMs),
                                 static_cast<double>(interval.endMs - interval.startMs) / 1000,
                                 interval.kbps(), lostOf(interval.interval)};
            if (const DelayCounts& d = interval.delay; d.stamped != 0) {
                plotted.stamped = d.stamped;
                plotted.delayMin = static_cast<double>(d.minNs) / 1e6;
                plotted.delayMean = d.meanNs() / 1e6;
                plotted.delayMax = static_cast<double>(d.maxNs) / 1e6;
                plotted.jitter = d.jitterNs / 1e6;
            }
            files_.addInterval(plotted);
            if (interval.endMs - plottedMs_ >= kPlotEveryMs) {
                plottedMs_ = interval.endMs;
                files_.setTitle(title(interval, now));
                files_.setGroups(plotGroups(interval));
                files_.rewritePlot();
            }
        }
        if (files_.metering() || endpoint_ != nullptr) {
            MetricsTotals totals = metrics(interval);
            if (endpoint_ != nullptr)
                endpoint_->publish(totals);
            if (files_.metering())
                files_.setMetrics(std::move(totals));
        }
    }

    // Where the metrics are also served, handed over each interval.
    void serveMetrics(MetricsEndpoint* endpoint) { endpoint_ = endpoint; }
    // The live view that shows the intervals instead of the lines.
    void showLive(LiveView* view) { live_ = view; }

    void showSenderOutage(const Outage& outage) override
    {
        const auto now = std::chrono::system_clock::now();
        // While the links are watched, each outage says when a querier was
        // last heard: a membership a switch let go silences a group too.
        std::vector<JsonField> fields = outageFields(outage, now);
        const std::string note = watch_.watching() ? "; " + watch_.querierNote() : std::string();
        if (watch_.watching())
            for (JsonField& f : watch_.querierFields())
                fields.push_back(std::move(f));
        if (live_ != nullptr) {
            // The view shows the silences as they happen.
        } else if (!manyGroups_) {
            output_.report(outageLine(outage, now) + note, fields);
        } else {
            if (pending_.texts.size() < kGroupsNamed)
                pending_.texts.push_back(outageLine(outage, now, true) + note);
            ++pending_.outages;
            pending_.objects.push_back(std::move(fields));
        }
        files_.addOutage({seconds(outage.beganMs), static_cast<double>(outage.lastedMs) / 1000,
                          outage.lost > 0 ? static_cast<std::uint64_t>(outage.lost) : 0});
        // A run of several groups counts its outages per group.
        if (manyGroups_)
            return;
        std::lock_guard lock(mutex_);
        outages_.emplace_back(outage.sender, 1);
    }

    void showRouteChange(const RouteChange& change) override
    {
        output_.report(routeLine(change), routeFields(change));
    }

    // The picture's title: the group and the senders of the run so far.
    PlotTitle title(const ReceiveInterval& interval,
                    std::chrono::system_clock::time_point end) const
    {
        PlotTitle t{groupsText_, settings_.port, {}, startedAt_, titleTime(end)};
        for (const SenderFigures& s : interval.senders)
            t.senders.push_back({senderText(s.sender), s.sender.port});
        return t;
    }

    // Every group of a run of several, worst first; none for one group.
    std::vector<PlotGroup> plotGroups(const ReceiveInterval& interval) const
    {
        std::vector<PlotGroup> groups;
        if (!manyGroups_)
            return groups;
        groups.reserve(interval.groups.size());
        for (const GroupFigures* g : worstFirst(interval.groups, false))
            groups.push_back({g->group.text(), lostOf(g->total), g->outages});
        return groups;
    }

    bool manyGroups() const { return manyGroups_; }

private:
    static double seconds(std::uint64_t ms) { return static_cast<double>(ms) / 1000; }

    // Under --verbose, the lines on how each sender's datagrams arrived, each
    // after a newline; else nothing.
    static std::string verboseText(const ReceiveInterval& interval, bool verbose)
    {
        std::string text;
        if (verbose) {
            for (const std::string& line : qualityLines(interval))
                text += "\n  " + line;
        }
        return text;
    }

    MetricsTotals metrics(const ReceiveInterval& interval) const
    {
        MetricsTotals m{manyGroups_ ? std::string("all") : settings_.group.text(),
                        settings_.port,
                        {},
                        interval.overflowedTotal};
        m.linkWatched = watch_.watching();
        m.querierHeardAt = watch_.querierHeardAt();
        m.linkUnreceived = watch_.linkUnreceived();
        for (const SenderFigures& s : interval.senders) {
            std::uint64_t outages = 0;
            if (!manyGroups_) {
                std::lock_guard lock(mutex_);
                for (const auto& [sender, count] : outages_)
                    outages += sender == s.sender ? count : 0;
            }
            MetricsFlow flow = metricsFlow(senderText(s.sender), s.interval, s.total, outages,
                                           interval.startMs, interval.endMs);
            addQuality(flow, s.intervalQuality, s.totalQuality);
            m.senders.push_back(std::move(flow));
        }
        if (manyGroups_) {
            m.groups.reserve(interval.groups.size());
            for (const GroupFigures& g : interval.groups)
                m.groups.push_back(metricsFlow(g.group.text(), g.interval, g.total, g.outages,
                                               interval.startMs, interval.endMs));
        }
        return m;
    }

    CliOutput& output_;
    RunFiles& files_;
    MetricsEndpoint* endpoint_ = nullptr;
    LiveView* live_ = nullptr;
    SilenceWatch& watch_;
    const ReceiveSettings& settings_;
    const std::string capture_;
    const bool verbose_;
    const bool manyGroups_;
    const std::string groupsText_;   // for the picture's title
    // On the engine's thread: the datagrams it counted, and whether it said
    // no-data with nothing counted since.
    std::uint64_t counted_ = 0;
    std::uint64_t countedAtSilence_ = 0;
    bool silenceSaid_ = false;
    std::uint64_t plottedMs_ = 0;
    std::string startedAt_ = titleTime(std::chrono::system_clock::now());
    // An interval's report in a run of several groups, with the outages
    // that ended in it.
    struct Pending {
        std::vector<std::string> texts;   // of the first outages
        std::vector<std::vector<JsonField>> objects;
        std::size_t outages = 0;
        ReceiveInterval interval;
        std::string verbose;   // the lines of --verbose
    };
    Pending pending_;   // worker only
    mutable std::mutex mutex_;
    std::vector<std::pair<SocketAddress, std::uint64_t>> outages_;   // sender, count
};

int run(const CliStart& start, const ReceiveSettings& settings)
{
    const CliOptions& options = *start.options;
    const std::vector<IpAddress>& groups = start.groups;
    // First of all: the capture's writer thread must start with the signals
    // already blocked, or a second Ctrl-C lands on it and kills the run; a
    // resize likewise, which the live view takes.
    if (options.live)
        LiveView::blockResizes();
    StopSignals signals;
    // The picture and the metrics file are refused before the run when they
    // could not be written: a name that is not a regular file, or a folder
    // that is missing or closed.
    for (const std::string& name : {options.plot, options.metrics}) {
        if (const int error = name.empty() ? 0 : checkWholeFile(name.c_str()); error != 0) {
            std::fputs(errorLine(kProgram, options.json, cannotWrite(name, error)).c_str(), stderr);
            return 1;
        }
    }
    CaptureFile capture;
    if (!options.save.empty() && capture.open(options.save) != 1) {
        const int error = errno;
        std::fputs(errorLine(kProgram, options.json, cannotOpen(options.save, error)).c_str(),
                   stderr);
        return 1;
    }

    // Served only where told; a port taken or an address not this host's
    // ends the run before it starts.
    std::unique_ptr<MetricsEndpoint> endpoint;
    if (options.metricsPort != 0) {
        std::string reason;
        endpoint = MetricsEndpoint::open(options.metricsAddress, options.metricsPort, reason);
        if (!endpoint) {
            std::fputs(errorLine(kProgram, options.json,
                                 say("cannot serve the metrics on port {1}: {2}",
                                     {std::to_string(options.metricsPort), reason}))
                           .c_str(),
                       stderr);
            return 1;
        }
    }

    CliOutput output(kProgram, options.json, options.quiet);
    std::vector<JsonField> started = runSettingsFields(kProgram, options, settings.port);
    started.push_back(options.ssmSource.empty() ? JsonField{"ssm_source", "null"}
                                                : jsonText("ssm_source", start.ssmSource.text()));
    started.push_back(options.save.empty() ? JsonField{"save", "null"}
                                           : jsonText("save", options.save));
    started.push_back(options.maxLossPercent ? jsonDecimal("max_loss", *options.maxLossPercent)
                                             : JsonField{"max_loss", "null"});
    output.start(started);
    const bool saving = !options.save.empty();
    SteadyClock clock;
    RunFiles files(options.plot, options.metrics, [&output](const std::string& name, int error) {
        if (error != 0)
            output.alert("write-failed", cannotWrite(name, error),
                         {jsonText("file", name), jsonText("error", systemReason(error))});
        else
            output.alert("write-resumed", say("\"{1}\" written again", {name}),
                         {jsonText("file", name)});
    });
    SilenceWatchSettings why{groups, settings.port, options.interface};
    silenceWatchTimes(why);
    SilenceWatch watch(output, why);
    CliReceiveSink sink(output, files, watch, settings, groups, options.save, options.verbose);
    sink.serveMetrics(endpoint.get());
    // The live view replaces the lines on standard output; the events wait
    // for its end where standard error is that terminal too.
    std::unique_ptr<LiveView> live;
    if (options.live) {
        live = std::make_unique<LiveView>([&output, &watch] {
            return std::vector<std::string>{watch.watching() ? watch.querierNote() : std::string(),
                                            output.latestEvent()};
        });
        if (const std::string refusal = live->open(); !refusal.empty()) {
            output.fail(refusal);
            return 2;
        }
        output.showScreen(true, ::isatty(STDERR_FILENO) == 1);
        sink.showLive(live.get());
    }
    ReceiveEngine engine(sink, capture, clock, DcPool::global(), settings);
    engine.setDatagramLimit(options.count);
    engine.setIntervals(static_cast<std::uint64_t>(std::llround(options.intervalSeconds * 1000)),
                        RunDefaults::kOutageMs);
    engine.setMulticastOptions(start.multicast);
    engine.setGroups(groups, start.ssmSource);

    watch.start();
    StopSignals::Ended ended = signals.run(
        options.durationSeconds, [&] { engine.run(); },
        [&] {
            sink.stop();
            clock.wake();
        },
        [&] { return output.closed() || (live && live->poll()); });
    // The terminal as it was, before anything more is printed; quitting the
    // view ends the run as Ctrl-C does.
    if (live) {
        if (live->quitAsked())
            ended = StopSignals::Ended::Signal;
        live->close();
        output.showScreen(false, false);
    }
    watch.stop();
    // Everything received is in the file before the summary counts it.
    capture.closeIfGone();
    capture.close();
    if (const int error = engine.buildError(); error != 0) {
        std::string reason = std::strerror(error);
        // The per-socket memberships are spread over sockets; what still runs
        // out is the memory a socket may spend on its options.
        if (error == ENOBUFS || error == ENOMEM)
            reason += " (raise net.ipv4.igmp_max_memberships or net.core.optmem_max)";
        output.fail(
            say("cannot receive on port {1}: {2}", {std::to_string(settings.port), reason}));
        return 1;
    }

    const ReceiveReport& totals = engine.totals();
    const ReceiveInterval last = engine.lastInterval();
    const OutageSummary& outages = engine.outages();
    if (files.plotting()) {
        files.setTitle(sink.title(last, std::chrono::system_clock::now()));
        files.setGroups(sink.plotGroups(last));
    }
    const int filesFailed = files.finish();

    // Since the start, as the dialog's figure, to the millisecond.
    std::vector<JsonField> fields = summaryFields(totals, last, saving, outages);
    std::string text = summaryText(totals, last, saving, outages);
    // What the links told: the querier, and what they delivered unreceived.
    if (watch.watching()) {
        text += "\n" + std::string(tr("total")) + "  " + watch.querierNote() + "  " +
                say("on the links unreceived {1}", {std::to_string(watch.linkUnreceived())});
        for (JsonField& f : watch.querierFields())
            fields.push_back(std::move(f));
        fields.push_back(jsonNumber("link_unreceived", watch.linkUnreceived()));
    } else {
        fields.push_back({"querier", "null"});
        fields.push_back({"querier_last_heard_s", "null"});
        fields.push_back({"querier_interval_s", "null"});
        fields.push_back({"link_unreceived", "null"});
    }
    if (!sink.manyGroups()) {
        fields.insert(fields.begin(), jsonText("group", groups.front().text()));
        output.summary(text, fields);
    } else {
        // Every group, worst first, then the totals.
        std::vector<std::string> texts;
        std::vector<std::vector<JsonField>> objects;
        for (const GroupFigures* g : worstFirst(last.groups, false)) {
            texts.push_back(groupSummaryLine(*g));
            objects.push_back(groupSummaryFields(*g));
        }
        fields.insert(fields.begin(), jsonText("group", "all"));
        fields.push_back(jsonNumber("groups", static_cast<std::uint64_t>(groups.size())));
        texts.push_back(text);
        objects.push_back(std::move(fields));
        output.summaries(texts, objects);
    }

    const int code =
        runExitCode(ended, options.count != 0 && totals.datagrams >= options.count, output);
    if (code != 0)
        return code;
    if (saving && (capture.failed() || totals.saved < totals.datagrams)) {
        output.fail(
            say("capture failed: {1} of {2} datagrams saved in \"{3}\"",
                {std::to_string(totals.saved), std::to_string(totals.datagrams), options.save}));
        return kCaptureFailed;
    }
    if (filesFailed != 0) {
        output.fail(say("\"{1}\" could not be written: {2}",
                        {files.failedName(), fileReason(files.failedName(), filesFailed)}));
        return kFilesFailed;
    }
    if (totals.datagrams == 0) {
        output.fail(tr("no datagrams arrived"));
        return kNothingArrived;
    }
    // The totals, and each group of a run of several.
    if (options.maxLossPercent) {
        if (const std::string broke = lossAboveLimitText(last, *options.maxLossPercent);
            !broke.empty()) {
            output.fail(broke);
            return kLossAboveLimit;
        }
    }
    return 0;
}

}   // namespace

int main(int argc, char* argv[])
{
    const CliStart start = startCli(CliOptions::Receiver, kProgram, argc, argv);
    if (!start.options)
        return start.exitCode;
    if (start.options->live && ::isatty(STDOUT_FILENO) != 1) {
        std::fputs(errorLine(kProgram, start.options->json,
                             tr("--live draws on a terminal, and standard output is not one"))
                       .c_str(),
                   stderr);
        return 2;
    }
    ReceiveSettings settings;
    settings.group = start.groups.front();
    settings.port = start.options->port;
    return run(start, settings);
}
