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

using Told = std::vector<std::pair<std::string, int>>;

TEST(RunFiles, AFailureIsToldOnceWhenItBeginsAndOnceWhenItClears)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::filesystem::path folder = dir.file("metrics");
    std::filesystem::create_directory(folder);
    const std::string metrics = (folder / "run.prom").string();
    const std::string plot = dir.file("missing/run.svg");
    std::mutex mutex;
    Told told;
    RunFiles files(plot, metrics, [&](const std::string& name, int error) {
        std::lock_guard lock(mutex);
        told.emplace_back(name, error);
    });
    // Hands over totals until done(), at most tries times 20 ms.
    const auto writeUntil = [&](std::uint64_t datagrams, auto done, int tries = 500) {
        for (int i = 0; i < tries; ++i) {
            files.setMetrics({"224.1.1.1", 9000, {{"10.0.0.1", datagrams, 0, 0, 0}}, 0});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::lock_guard lock(mutex);
            if (done())
                return true;
        }
        return false;
    };

    ASSERT_TRUE(writeUntil(1, [&] { return std::filesystem::exists(metrics); }));
    std::filesystem::remove_all(folder);
    // Failing again and again, told once.
    ASSERT_TRUE(writeUntil(2, [&] { return told.size() == 1; }));
    writeUntil(
        3, [] { return false; }, 5);
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(writeUntil(4, [&] { return told.size() == 2; }));

    // The picture's folder is missing: its one write, at the end, fails.
    EXPECT_EQ(files.finish(), ENOENT);
    EXPECT_EQ(files.failedName(), metrics);
    EXPECT_EQ(told, (Told{{metrics, ENOENT}, {metrics, 0}, {plot, ENOENT}}));
    EXPECT_NE(TempDir::contents(metrics).find("} 4\n"), std::string::npos);
}

}   // namespace
