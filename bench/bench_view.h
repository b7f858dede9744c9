#pragma once

#include "engine_view.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

// An EngineView without a window: hands out fixed settings, runs until stop(),
// and only counts and keeps the last of what the engine reports, so that the
// view itself costs next to nothing per datagram. Read the results after the
// engine's run() has returned.
class BenchView : public EngineView {
public:
    void setSetting(int controlId, std::string text) { settings_[controlId] = std::move(text); }
    void stop() { running_.store(false, std::memory_order_relaxed); }

    bool isRunning() const override;
    std::string settingText(int controlId) const override;
    void showStatus(std::string_view text) override;
    void flashLamp(int lampId) override;
    void setDefaultLamp(int lampId) override;
    void restoreButtons() override { ++restores_; }
    void showStatistics(std::string_view from, std::string_view bytes,
                        std::string_view rate, std::string_view packets) override;

    // Loop passes: isRunning is asked once before each datagram.
    std::uint64_t passes() const { return passes_; }
    std::uint64_t statusCount() const { return statusCount_; }
    std::uint64_t flashCount() const { return flashCount_; }
    std::uint64_t statisticsCount() const { return statisticsCount_; }
    int restores() const { return restores_; }
    int defaultLamp() const { return defaultLamp_; }
    const std::string& lastStatus() const { return lastStatus_; }
    const std::string& lastFrom() const { return lastFrom_; }

    // From the last "count (丢包lost)" text; 0 before the first report.
    std::int64_t reportedCount() const;
    std::int64_t reportedLost() const;

private:
    std::atomic<bool> running_{true};
    std::map<int, std::string> settings_;
    mutable std::uint64_t passes_ = 0;
    std::uint64_t statusCount_ = 0;
    std::uint64_t flashCount_ = 0;
    std::uint64_t statisticsCount_ = 0;
    int restores_ = 0;
    int defaultLamp_ = 0;
    std::string lastStatus_;
    std::string lastFrom_;
    std::string lastPackets_;
};
