#pragma once

#include "engine_view.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// An EngineView for tests: settings from a table, every call recorded, and
// a way to wait until the records reach a state.
class RecordingView : public EngineView {
public:
    struct Statistics {
        std::string from, bytes, rate, packets;
    };
    struct Events {
        std::vector<std::string> statuses;
        std::vector<int> flashes;
        std::vector<int> defaultLamps;
        std::vector<Statistics> statistics;
        int restores = 0;
        std::uint64_t runningChecks = 0;

        int statusCount(const std::string& text) const
        {
            return static_cast<int>(std::count(statuses.begin(), statuses.end(), text));
        }
        int flashCount(int lamp) const
        {
            return static_cast<int>(std::count(flashes.begin(), flashes.end(), lamp));
        }
    };

    void setSetting(int controlId, std::string text) { record([&] { settings_[controlId] = text; }); }
    void setRunning(bool running) { record([&] { running_ = running; }); }
    // isRunning answers true for the first checks calls only: a sender run
    // then stops after exactly that many datagrams.
    void stopAfterChecks(std::uint64_t checks) { record([&] { checkLimit_ = checks; }); }

    Events events() const
    {
        std::lock_guard guard(mutex_);
        return events_;
    }

    template <class Done>
    bool waitUntil(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(60)) const
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(events_); });
    }

    bool isRunning() const override
    {
        bool running = false;
        record([&] { running = running_ && events_.runningChecks++ < checkLimit_; });
        return running;
    }
    std::string settingText(int controlId) const override
    {
        std::lock_guard guard(mutex_);
        const auto found = settings_.find(controlId);
        return found == settings_.end() ? std::string() : found->second;
    }
    void showStatus(std::string_view text) override
    {
        record([&] { events_.statuses.emplace_back(text); });
    }
    void flashLamp(int lampId) override { record([&] { events_.flashes.push_back(lampId); }); }
    void setDefaultLamp(int lampId) override
    {
        record([&] { events_.defaultLamps.push_back(lampId); });
    }
    void restoreButtons() override { record([&] { ++events_.restores; }); }
    void showStatistics(std::string_view from, std::string_view bytes, std::string_view rate,
                        std::string_view packets) override
    {
        record([&] {
            events_.statistics.push_back({std::string(from), std::string(bytes),
                                          std::string(rate), std::string(packets)});
        });
    }

private:
    template <class Change>
    void record(Change change) const
    {
        std::lock_guard guard(mutex_);
        change();
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    mutable Events events_;
    std::map<int, std::string> settings_;
    bool running_ = true;
    std::uint64_t checkLimit_ = UINT64_MAX;
};
