#pragma once

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

// Measures how long a posted event waits before the UI thread runs it: a
// thread of its own posts a time-stamped event every period, and the probe,
// living on the UI thread, records when each one arrives. The events queue
// up behind everything else posted to the UI thread, as the dialogs' own
// queued updates do.
class LatencyProbe : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    struct Sample {
        Clock::time_point posted;
        Clock::time_point handled;
        double latencyMs() const
        {
            return std::chrono::duration<double, std::milli>(handled - posted).count();
        }
    };

    explicit LatencyProbe(std::chrono::microseconds period) : period_(period) {}
    ~LatencyProbe() override { stop(); }

    void start();
    void stop();

    // UI thread only; complete after stop().
    const std::vector<Sample>& samples() const { return samples_; }

protected:
    bool event(QEvent* event) override;

private:
    std::chrono::microseconds period_;
    std::atomic<bool> posting_{false};
    std::thread poster_;
    std::vector<Sample> samples_;
};
