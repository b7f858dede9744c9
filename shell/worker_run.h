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

// Where a run's reports show, on the UI thread.
struct RunDisplay {
    std::function<void(const QString&)> showStatus;
    std::function<void(Lamp)> flashLamp;
    std::function<void(Lamp)> setDefaultLamp;
    // The run ended by itself: Start comes back.
    std::function<void()> restoreButtons;
};

// One worker thread per run and what it shares with the UI thread: the
// running flag, the clock whose sleeps a stop cuts short, and every report
// the worker sends, each kind coalesced so that at most one delivery of it
// waits in the UI queue and the newest value wins.
class WorkerRun {
public:
    using Launcher = std::function<std::thread(std::function<void()>)>;

    // One kind of report from the worker to the UI thread, coalesced. The
    // run's own kinds are of this sort; a program adds its own beside them.
    template <typename T>
    class Feed {
    public:
        // show runs on the UI thread with the newest value.
        Feed(WorkerRun& run, std::function<void(const T&)> show)
            : context_(run.context_), show_(std::move(show))
        {
        }
        Feed(const Feed&) = delete;
        Feed& operator=(const Feed&) = delete;

        // Worker thread.
        void post(T value)
        {
            update_.post(&context_, std::move(value), [this](const T& latest) { show_(latest); });
        }

    private:
        QObject& context_;
        std::function<void(const T&)> show_;
        LatestUpdate<T> update_;
    };

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
    void postStatus(std::string text) { status_.post(std::move(text)); }
    void postFlash(Lamp lamp) { flash_.post(lamp); }
    // Carried only when it differs from the last one posted: engines name
    // the default on every round of their loop.
    void postDefaultLamp(Lamp lamp);
    // The run has ended by itself. Start comes back unless another run has
    // started by the time this arrives.
    void postRestore() { restore_.post(runs_.load()); }

private:
    void restoreIfCurrent(int run);

    QObject& context_;
    RunDisplay display_;
    Launcher launcher_;
    std::atomic<bool> running_{false};
    // Runs started; a worker's own run is the count while it lives, since
    // the next start waits for it first.
    std::atomic<int> runs_{0};
    // The default lamp posted last, -1 before any.
    std::atomic<int> postedDefault_{-1};
    SteadyClock clock_;
    std::thread worker_;
    Feed<std::string> status_{*this, [this](const std::string& text) {
                                  display_.showStatus(QString::fromStdString(text));
                              }};
    Feed<Lamp> flash_{*this, [this](Lamp lamp) { display_.flashLamp(lamp); }};
    Feed<Lamp> defaultLamp_{*this, [this](Lamp lamp) { display_.setDefaultLamp(lamp); }};
    Feed<int> restore_{*this, [this](int run) { restoreIfCurrent(run); }};
};

// A sink whose calls shared by every engine go to a WorkerRun; each program
// adds its own.
template <class Sink>
class RunSink : public Sink {
public:
    explicit RunSink(WorkerRun& run) : run_(run) {}

    bool isRunning() const override { return run_.isRunning(); }
    void flashLamp(Lamp lamp) override { run_.postFlash(lamp); }
    void setDefaultLamp(Lamp lamp) override { run_.postDefaultLamp(lamp); }
    void restoreButtons() override { run_.postRestore(); }

protected:
    WorkerRun& run_;
};
