#include "shell/worker_run.h"

#include <system_error>

WorkerRun::WorkerRun(QObject& context, RunDisplay display)
    : context_(context), display_(std::move(display)),
      launcher_([](std::function<void()> body) { return std::thread(std::move(body)); })
{
}

WorkerRun::~WorkerRun()
{
    stop();
}

bool WorkerRun::start(std::function<void()> body)
{
    // The previous worker may still be ending after a Stop.
    if (worker_.joinable())
        worker_.join();
    // Counted once the previous worker is gone, so that a restore it sent
    // names its own run, not this one.
    runs_.fetch_add(1);
    clock_.rearm();
    running_.store(true);
    try {
        worker_ = launcher_(std::move(body));
    } catch (const std::system_error&) {
        running_.store(false);
        display_.showStatus(QStringLiteral("无法启动工作线程."));
        display_.flashLamp(Lamp::Error);
        return false;
    }
    return true;
}

void WorkerRun::stop()
{
    running_.store(false);
    if (!worker_.joinable())
        return;
    clock_.wake();
    worker_.join();
}

void WorkerRun::postDefaultLamp(Lamp lamp)
{
    if (postedDefault_.exchange(static_cast<int>(lamp)) == static_cast<int>(lamp))
        return;
    defaultLamp_.post(lamp);
}

void WorkerRun::restoreIfCurrent(int run)
{
    if (run == runs_.load())
        display_.restoreButtons();
}
