#include "shell/latest_update.h"
#include "tests/shell/event_wait.h"

#include <QObject>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(LatestUpdateTest, AFloodWhileTheUiIsBusyBecomesOneDeliveryOfTheLastValue)
{
    QObject context;
    LatestUpdate<std::string> update;
    std::vector<std::string> applied;

    // The UI thread does not run its loop while the worker reports.
    std::thread worker([&] {
        for (int i = 0; i < 20000; ++i)
            update.post(&context, "report " + std::to_string(i),
                        [&applied](const std::string& v) { applied.push_back(v); });
    });
    worker.join();
    EXPECT_TRUE(update.pending());

    QCoreApplication::processEvents();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied.front(), "report 19999");
    EXPECT_FALSE(update.pending());
}

TEST(LatestUpdateTest, ReportsDuringDeliveryAreNeverLost)
{
    QObject context;
    LatestUpdate<int> update;
    int shown = -1;
    int deliveries = 0;
    std::atomic<bool> done{false};
    constexpr int kLast = 20000;

    std::thread worker([&] {
        for (int i = 0; i <= kLast; ++i)
            update.post(&context, i, [&](int v) {
                EXPECT_GE(v, shown);   // values arrive in order, never stale
                shown = v;
                ++deliveries;
            });
        done = true;
    });
    // Generous: a sanitizer's build on a busy machine runs this slowly.
    EXPECT_TRUE(waitFor([&] { return done.load() && !update.pending(); }, 120000))
        << "shown " << shown << " after " << deliveries << " deliveries, worker "
        << (done.load() ? "done" : "still posting");
    worker.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(shown, kLast) << deliveries << " deliveries";
    EXPECT_LE(deliveries, kLast + 1);
}

TEST(LatestUpdateTest, NothingIsDeliveredToADestroyedContext)
{
    LatestUpdate<int> update;
    int applied = 0;
    {
        QObject context;
        update.post(&context, 7, [&applied](int) { ++applied; });
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(applied, 0);
}

}   // namespace
