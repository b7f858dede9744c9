#pragma once

#include "core/receive_events.h"
#include "core/send_events.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

// A sink for either engine without a front end: every call recorded, a way
// to stop the run, and a way to wait until the records reach a state.
class RecordingSink final : public SendSink, public ReceiveSink {
public:
    struct Events {
        std::vector<SendStatus> sendStatuses;
        std::vector<SendReport> reports;
        std::vector<SendOutage> outages;
        std::vector<SendInterval> sendIntervals;
        std::vector<ReceiveStatus> receiveStatuses;
        std::vector<ReceiveReport> statistics;
        std::vector<ReceiveInterval> intervals;
        std::vector<Outage> senderOutages;
        std::vector<Lamp> flashes;
        std::vector<Lamp> defaultLamps;
        int restores = 0;
        std::uint64_t runningChecks = 0;
        bool held = false;   // a worker waits in isRunning

        int statusCount(ReceiveStatus::Kind kind) const
        {
            return static_cast<int>(
                std::count_if(receiveStatuses.begin(), receiveStatuses.end(),
                              [kind](const ReceiveStatus& s) { return s.kind == kind; }));
        }
        int flashCount(Lamp lamp) const
        {
            return static_cast<int>(std::count(flashes.begin(), flashes.end(), lamp));
        }
    };

    // Forgets every record and runs again without a limit.
    void reset()
    {
        record([&] {
            events_ = {};
            running_ = true;
            hold_ = false;
            checkLimit_ = UINT64_MAX;
        });
    }
    void setRunning(bool running)
    {
        record([&] { running_ = running; });
    }
    // isRunning answers true for the first checks calls only: a sender run
    // then stops after exactly that many datagrams.
    void stopAfterChecks(std::uint64_t checks)
    {
        record([&] { checkLimit_ = checks; });
    }

    // While held, isRunning waits until release: the worker then takes
    // nothing in, so that what is sent meanwhile queues up for it.
    void hold()
    {
        record([&] { hold_ = true; });
    }
    void release()
    {
        record([&] { hold_ = false; });
    }

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
        std::unique_lock lock(mutex_);
        if (hold_) {
            events_.held = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return !hold_; });
            events_.held = false;
        }
        const bool running = running_ && events_.runningChecks++ < checkLimit_;
        changed_.notify_all();
        return running;
    }
    void flashLamp(Lamp lamp) override
    {
        record([&] { events_.flashes.push_back(lamp); });
    }
    void setDefaultLamp(Lamp lamp) override
    {
        record([&] { events_.defaultLamps.push_back(lamp); });
    }
    void showStatus(const SendStatus& status) override
    {
        record([&] { events_.sendStatuses.push_back(status); });
    }
    void showReport(const SendReport& report) override
    {
        record([&] { events_.reports.push_back(report); });
    }
    void showOutage(const SendOutage& outage) override
    {
        record([&] { events_.outages.push_back(outage); });
    }
    void showSendInterval(const SendInterval& interval) override
    {
        record([&] { events_.sendIntervals.push_back(interval); });
    }
    void restoreButtons() override
    {
        record([&] { ++events_.restores; });
    }
    void showStatus(const ReceiveStatus& status) override
    {
        record([&] { events_.receiveStatuses.push_back(status); });
    }
    void showStatistics(const ReceiveReport& report) override
    {
        record([&] { events_.statistics.push_back(report); });
    }
    void showReceiveInterval(const ReceiveInterval& interval) override
    {
        record([&] { events_.intervals.push_back(interval); });
    }
    void showSenderOutage(const Outage& outage) override
    {
        record([&] { events_.senderOutages.push_back(outage); });
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
    bool running_ = true;
    bool hold_ = false;
    std::uint64_t checkLimit_ = UINT64_MAX;
};
