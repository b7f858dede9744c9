#pragma once

#include "core/engine_sink.h"
#include "platform/steady_clock.h"
#include "shell/latest_update.h"

#include <QString>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class QObject;

// Where a run's reports show, on the UI thread (setDefaultLamp on any).
struct RunDisplay {
    std::function<void(const QString&)> showStatus;
    std::function<void(Lamp)> flashLamp;
    std::function<void(Lamp)> setDefaultLamp;
};

// One worker thread per run and what it shares with the UI thread: the
// running flag, the clock whose sleeps a stop cuts short, and the status line
// and lamp reports, each coalesced so that at most one delivery of each kind
// waits in the UI queue and the newest value wins.
class WorkerRun {
public:
    using Launcher = std::function<std::thread(std::function<void()>)>;

    // Deliveries run on context's thread and are dropped when it goes first.
    WorkerRun(QObject& context, RunDisplay display);
    ~WorkerRun();
    WorkerRun(const WorkerRun&) = delete;
    WorkerRun& operator=(const WorkerRun&) = delete;

    // Waits for the previous worker, sets the running flag and starts body on
    // a new thread. When the thread cannot be made, the flag is cleared, the
    // failure shows in the status line with the error lamp, and the result is
    // false.
    bool start(std::function<void()> body);

    // Clears the running flag; the worker ends in its own time.
    void requestStop() { running_.store(false); }
    // Clears the running flag, wakes a sleeping worker and waits for it.
    void stop();

    bool isRunning() const { return running_.load(); }
    // A worker was started and has not been waited for.
    bool active() const { return worker_.joinable(); }
    SteadyClock& clock() { return clock_; }

    // How the worker thread is made; tests replace it.
    void setLauncher(Launcher launcher) { launcher_ = std::move(launcher); }

    // Worker thread.
    void postStatus(std::string text);
    void postFlash(Lamp lamp);
    void setDefaultLamp(Lamp lamp) { display_.setDefaultLamp(lamp); }

private:
    QObject& context_;
    RunDisplay display_;
    Launcher launcher_;
    std::atomic<bool> running_{false};
    SteadyClock clock_;
    std::thread worker_;
    LatestUpdate<std::string> statusUpdate_;
    LatestUpdate<Lamp> flashUpdate_;
};

// A sink whose calls shared by every engine go to a WorkerRun; each program
// adds its own.
template <class Sink>
class RunSink : public Sink {
public:
    explicit RunSink(WorkerRun& run) : run_(run) {}

    bool isRunning() const override { return run_.isRunning(); }
    void flashLamp(Lamp lamp) override { run_.postFlash(lamp); }
    void setDefaultLamp(Lamp lamp) override { run_.setDefaultLamp(lamp); }

protected:
    WorkerRun& run_;
};
