#include "cli/run_files.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// What RunFiles told of its files' trouble, in order.
class Troubles {
public:
    RunFiles::Trouble sink()
    {
        return [this](const std::string& name, int error) {
            std::lock_guard lock(mutex_);
            told_.emplace_back(name, error);
        };
    }

    std::vector<std::pair<std::string, int>> told() const
    {
        std::lock_guard lock(mutex_);
        return told_;
    }

    // Waits up to ten seconds until count were told.
    bool await(std::size_t count) const
    {
        for (int wait = 0; wait < 1000 && told().size() < count; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return told().size() >= count;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, int>> told_;
};

MetricsTotals totals(std::uint64_t datagrams)
{
    return {"224.1.1.1", 9000, {{"10.0.0.1", datagrams, datagrams * 1000, 0, 0}}, 0};
}

TEST(RunFiles, AFailureIsToldOnceWhenItBeginsAndOnceWhenItClears)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::filesystem::path folder = dir.file("metrics");
    std::filesystem::create_directory(folder);
    const std::string metrics = (folder / "run.prom").string();
    const std::string plot = dir.file("missing/run.svg");
    Troubles troubles;
    RunFiles files(plot, metrics, troubles.sink());

    files.setMetrics(totals(1));
    for (int wait = 0; wait < 1000 && !std::filesystem::exists(metrics); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(metrics));
    EXPECT_TRUE(troubles.told().empty());

    std::filesystem::remove_all(folder);
    for (std::uint64_t i = 2; i < 6; ++i) {
        files.setMetrics(totals(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(troubles.await(1));
    std::filesystem::create_directory(folder);
    files.setMetrics(totals(6));
    ASSERT_TRUE(troubles.await(2));
    files.setMetrics(totals(7));

    // The picture's folder is missing: its one write, at the end, fails.
    EXPECT_EQ(files.finish(), ENOENT);
    EXPECT_EQ(files.failedName(), metrics);
    const std::vector<std::pair<std::string, int>> expected{
        {metrics, ENOENT}, {metrics, 0}, {plot, ENOENT}};
    EXPECT_EQ(troubles.told(), expected);
    EXPECT_NE(TempDir::contents(metrics).find("} 7\n"), std::string::npos);
}

}   // namespace
