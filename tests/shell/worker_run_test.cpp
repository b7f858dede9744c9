#include "shell/status_lamp.h"
#include "shell/worker_run.h"
#include "tests/shell/event_wait.h"

#include <QLabel>
#include <QWidget>
#include <gtest/gtest.h>

#include <functional>

namespace {

class WorkerRunTest : public ::testing::Test {
protected:
    // Runs body as one whole run and waits for its worker.
    void runToEnd(std::function<void()> body)
    {
        ASSERT_TRUE(run.start(std::move(body)));
        run.stop();
    }

    QWidget dialog;
    StatusLamp lamp{&dialog, QPoint(0, 0), 1011, 1012, 1013};
    int restores = 0;
    WorkerRun run{dialog,
                  RunDisplay{[](const QString&) {}, [this](Lamp l) { lamp.flash(lamp.idOf(l)); },
                             [this](Lamp l) { lamp.setDefault(lamp.idOf(l)); },
                             [this] { ++restores; }}};
};

TEST_F(WorkerRunTest, TheDefaultLampPostedByAWorkerShowsAtTheTimersTickNewestWinning)
{
    lamp.tick();
    lamp.start();
    runToEnd([this] {
        for (int i = 0; i < 1000; ++i)
            run.postDefaultLamp(Lamp::Active);
        run.postDefaultLamp(Lamp::Error);
    });
    EXPECT_TRUE(waitFor([this] { return !lamp.error()->isHidden(); }, 5000));

    // The next run's default shows too, though the previous run named it.
    runToEnd([this] { run.postDefaultLamp(Lamp::Active); });
    EXPECT_TRUE(waitFor([this] { return !lamp.active()->isHidden(); }, 5000));
    lamp.timer().stop();
}

TEST_F(WorkerRunTest, ARestoreBringsStartBackOnlyWhileNoLaterRunHasBegun)
{
    // The first run's restore is still queued when the second run begins.
    runToEnd([this] { run.postRestore(); });
    ASSERT_TRUE(run.start([this] {
        while (run.isRunning())
            run.clock().sleepMs(1);
        run.postRestore();
    }));
    QCoreApplication::processEvents();
    EXPECT_EQ(restores, 0);

    run.stop();
    QCoreApplication::processEvents();
    EXPECT_EQ(restores, 1);
}

}   // namespace
