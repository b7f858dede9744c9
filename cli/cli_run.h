#pragma once

#include "core/engine_sink.h"

#include <atomic>
#include <functional>
#include <signal.h>
#include <vector>

// Ends a command-line run on SIGINT, SIGTERM or SIGHUP (a closed terminal or
// a logout) unless the program was started with it ignored, after a
// duration, or when the worker is done. Made before any thread starts: it
// blocks those signals in the calling thread, and so in every thread started
// later, and takes them only in wait(). A signal during the shutdown after wait() stays pending and
// harmless, so a second Ctrl-C cannot cut the shutdown short.
class StopSignals {
public:
    enum class Ended { Signal, Deadline, Done };

    StopSignals();

    // Waits until a signal comes, durationSeconds pass (0: no limit) or done()
    // is true; done is asked every 20 ms.
    Ended wait(double durationSeconds, const std::function<bool()>& done);

    // Runs body on a worker thread until it returns, a signal comes,
    // durationSeconds pass or abandon() is true (Done then too); then stop()
    // asks the worker to end, and it is waited for.
    Ended run(double durationSeconds, const std::function<void()>& body,
              const std::function<void()>& stop, const std::function<bool()>& abandon);

private:
    sigset_t set_{};
};

// What the programs' engine sinks share: a run that goes on until stop(),
// and no lamps or buttons to show it on.
template <typename Sink>
class CliSink : public Sink {
public:
    void stop() { running_.store(false, std::memory_order_relaxed); }

    bool isRunning() const override { return running_.load(std::memory_order_relaxed); }
    void flashLamp(Lamp) override {}
    void setDefaultLamp(Lamp) override {}
    // The end of a run shows in the summary, printed once the worker is done.
    void restoreButtons() override {}

private:
    std::atomic<bool> running_{true};
};

class CliOutput;
struct CliOptions;
struct JsonField;

// What the run's first JSON object says of the settings both programs
// share: the program, the groups as given, the port, the interval, the
// limits and the interface (null where none is given).
std::vector<JsonField> runSettingsFields(const char* program, const CliOptions& options, int port);

// The exit code of a run: 1, with a line on stderr, when standard output
// could not be written, or when the engine ended the run by itself before its
// limit (it could not start or could not go on; its last event says why);
// else 0.
int runExitCode(StopSignals::Ended ended, bool limitReached, CliOutput& output);
