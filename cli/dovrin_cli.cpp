// dovrin-cli: the sender without a display, on the same engine as the dialog.

#include "channel/dc_pool.h"
#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/cli_run.h"
#include "cli/cli_start.h"
#include "core/datagram.h"
#include "core/send_format.h"
#include "engine/send_engine.h"
#include "file/data_file.h"
#include "platform/executable_path.h"
#include "platform/steady_clock.h"
#include "report/event_text.h"
#include "report/figure_text.h"
#include "report/messages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr const char* kProgram = "dovrin-cli";

// The human line of an interval: its speed and datagrams, and the
// datagrams since the start, e.g. "512.3 kbit/s  datagrams 62  total 1000".
std::string intervalText(const SendInterval& interval)
{
    return say("{1}  datagrams {2}  total {3}",
               {speedText(interval.kbps()), std::to_string(interval.datagrams),
                std::to_string(interval.totalDatagrams)});
}

std::vector<JsonField> totalFields(const SendInterval& interval)
{
    return {jsonDecimal("interval", static_cast<double>(interval.endMs - interval.startMs) / 1000),
            jsonNumber("datagrams", interval.datagrams),
            jsonNumber("bytes", interval.bytes),
            jsonDecimal("kbps", interval.kbps()),
            jsonNumber("total_datagrams", interval.totalDatagrams),
            jsonNumber("total_bytes", interval.totalBytes)};
}

class CliSendSink : public CliSink<SendSink> {
public:
    // source is the payload file and destination the group and port, for
    // naming them in events.
    CliSendSink(CliOutput& output, std::string source, std::string destination)
        : output_(output), source_(std::move(source)), destination_(std::move(destination))
    {
    }

    // Sending rides out outages here: each shows once when it begins and
    // once when it ends, rather than every attempt 10 ms apart.
    void showStatus(const SendStatus& status) override
    {
        if (status.kind == SendStatus::SendFailed)
            return;
        const EventText e = sendStatusEvent(status, source_, destination_);
        output_.event(e.name, e.text, e.fields);
    }
    void showOutage(const SendOutage& outage) override
    {
        const EventText e = sendOutageEvent(outage);
        output_.event(e.name, e.text, e.fields);
    }

    // The pacing's reports stay the dialog's; here each interval prints.
    void showReport(const SendReport&) override {}
    void showSendInterval(const SendInterval& interval) override
    {
        if (!intervals_)
            firstMs_ = interval.startMs;
        ++intervals_;
        lastMs_ = interval.endMs;
        if (interval.groups.empty()) {
            output_.report(intervalText(interval), totalFields(interval));
            return;
        }
        // A line of the totals; in JSON also an object per group, made on
        // the output's thread: a thousand groups take a while to format.
        output_.reportsLater([interval,
                              groups = groups_](std::vector<std::string>& texts,
                                                std::vector<std::vector<JsonField>>& objects) {
            texts.push_back(intervalText(interval) + "  " +
                            say("groups {1}", {std::to_string(interval.groups.size())}));
            objects.push_back(totalFields(interval));
            const double seconds = static_cast<double>(interval.endMs - interval.startMs) / 1000;
            for (std::size_t g = 0; g < interval.groups.size() && g < groups.size(); ++g) {
                const SendGroupFigures& f = interval.groups[g];
                objects.push_back(
                    {jsonText("group", groups[g].text()), jsonDecimal("interval", seconds),
                     jsonNumber("datagrams", f.datagrams), jsonNumber("bytes", f.bytes),
                     jsonDecimal("kbps", seconds == 0
                                             ? 0
                                             : static_cast<double>(f.bytes) * 8 / (seconds * 1000)),
                     jsonNumber("total_datagrams", f.totalDatagrams)});
            }
        });
    }

    // The run's groups, for naming them in JSON.
    void setGroups(std::vector<IpAddress> groups) { groups_ = std::move(groups); }

    // The run's span on the engine's clock, from its start to its end; 0
    // when it never started. Read after the run.
    std::uint64_t runMs() const { return lastMs_ - firstMs_; }

private:
    CliOutput& output_;
    const std::string source_;
    const std::string destination_;
    std::uint64_t intervals_ = 0;
    std::uint64_t firstMs_ = 0;
    std::uint64_t lastMs_ = 0;
    std::vector<IpAddress> groups_;
};

int run(const CliStart& start, const SendSettings& settings)
{
    const CliOptions& options = *start.options;
    const std::vector<IpAddress>& groups = start.groups;
    // An explicitly named source must be readable and hold something; the
    // default send.txt may be missing, as for the dialog (the payload is then
    // zero bytes).
    if (!options.source.empty()) {
        DataFile probe;
        const int opened = probe.openRead(options.source.c_str());
        const int error = opened == 0 ? ENOENT : errno;
        if (opened != 1) {
            std::fputs(errorLine(kProgram, options.json, cannotOpen(options.source, error)).c_str(),
                       stderr);
            return 1;
        }
        if (probe.size() == 0 && settings.packetSize > 0) {
            std::fputs(
                errorLine(kProgram, options.json, say("source \"{1}\" is empty", {options.source}))
                    .c_str(),
                stderr);
            return 1;
        }
    }
    // The send time takes the first 16 bytes of each payload.
    if (options.timestamps && settings.packetSize < SendStamp::kSize) {
        std::fputs(errorLine(kProgram, options.json,
                             say("--timestamps needs a size of at least {1} bytes",
                                 {std::to_string(SendStamp::kSize)}))
                       .c_str(),
                   stderr);
        return 2;
    }
    const std::string source = options.source.empty()
                                   ? executableDirectory() + std::string(RunDefaults::kSourceFile)
                                   : options.source;
    const std::string destination =
        (groups.size() > 1
             ? groups.front().text() + " and " + std::to_string(groups.size() - 1) + " more groups"
             : groups.front().text()) +
        " port " + std::to_string(settings.port);

    StopSignals signals;
    CliOutput output(kProgram, options.json, options.quiet);
    std::vector<JsonField> started = runSettingsFields(kProgram, options, settings.port);
    started.push_back(jsonNumber("speed_kbps", std::int64_t{settings.speedKbps}));
    started.push_back(jsonNumber("size", std::int64_t{settings.packetSize}));
    started.push_back(jsonNumber("ttl", std::int64_t{options.ttl}));
    started.push_back(jsonText("source", source));
    started.push_back({"timestamps", options.timestamps ? "true" : "false"});
    output.start(started);
    CliSendSink sink(output, source, destination);
    SteadyClock clock;
    SendEngine engine(sink, clock, DcPool::global(), settings);
    engine.setIntervalMs(static_cast<std::uint64_t>(std::llround(options.intervalSeconds * 1000)));
    engine.setSourcePath(options.source);
    // --count is per group: every group's stream is a run of its own. A
    // product past what the engine counts means no end but the others.
    const std::uint64_t limit =
        options.count > UINT64_MAX / groups.size() ? 0 : options.count * groups.size();
    engine.setDatagramLimit(limit);
    engine.setGroups(groups);
    sink.setGroups(groups);
    engine.setAttemptLimit(0);
    // A network that just came back, or a process continued, gets the target
    // speed, not the backlog.
    engine.setPaceRestarts(true);
    engine.setTimestamps(options.timestamps);
    engine.setMulticastOptions(start.multicast);

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
    const std::string text =
        std::string(tr("total")) + "  " +
        say("datagrams {1}  bytes {2}  {3}",
            {std::to_string(engine.datagramsSent()), std::to_string(bytes), speedText(kbps)});
    std::vector<JsonField> fields{jsonNumber("datagrams", engine.datagramsSent()),
                                  jsonNumber("bytes", bytes), jsonDecimal("kbps", kbps)};
    if (groups.size() > 1)
        fields.push_back(jsonNumber("groups", groups.size()));
    output.summary(text, fields);

    return runExitCode(ended, limit != 0 && engine.datagramsSent() >= limit, output);
}

}   // namespace

int main(int argc, char* argv[])
{
    const CliStart start = startCli(CliOptions::Sender, kProgram, argc, argv);
    if (!start.options)
        return start.exitCode;
    SendSettings settings;
    settings.group = start.groups.front();
    settings.port = start.options->port;
    settings.speedKbps = start.options->speedKbps;
    settings.packetSize = start.options->packetSize;
    return run(start, settings);
}
