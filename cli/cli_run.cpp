#include "cli/cli_run.h"

#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "platform/end_signal_set.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

StopSignals::StopSignals()
{
    set_ = endSignalSet();
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
}

StopSignals::Ended StopSignals::wait(double durationSeconds, const std::function<bool()>& done)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(durationSeconds));
    constexpr long kPollNs = 20'000'000;
    for (;;) {
        if (done())
            return Ended::Done;
        if (durationSeconds > 0 && Clock::now() >= deadline)
            return Ended::Deadline;
        const timespec poll{0, kPollNs};
        if (sigtimedwait(&set_, nullptr, &poll) >= 0)
            return Ended::Signal;
    }
}

StopSignals::Ended StopSignals::run(double durationSeconds, const std::function<void()>& body,
                                    const std::function<void()>& stop,
                                    const std::function<bool()>& abandon)
{
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        body();
        finished.store(true);
    });
    const Ended ended = wait(durationSeconds, [&] { return finished.load() || abandon(); });
    stop();
    worker.join();
    return ended;
}

int runExitCode(StopSignals::Ended ended, bool limitReached, CliOutput& output)
{
    if (output.closed()) {
        output.fail("standard output was closed");
        return 1;
    }
    if (ended != StopSignals::Ended::Done || limitReached)
        return 0;
    output.fail(output.lastEvent().empty() ? "the run ended early" : output.lastEvent());
    return 1;
}

std::vector<JsonField> runSettingsFields(const char* program, const CliOptions& options, int port)
{
    return {jsonText("program", program),
            {"groups", jsonTexts(options.groups)},
            jsonNumber("port", std::int64_t{port}),
            jsonDecimal("interval", options.intervalSeconds),
            options.count != 0 ? jsonNumber("count", options.count) : JsonField{"count", "null"},
            options.durationSeconds > 0 ? jsonDecimal("duration", options.durationSeconds)
                                        : JsonField{"duration", "null"},
            options.interface.empty() ? JsonField{"interface", "null"}
                                      : jsonText("interface", options.interface)};
}
