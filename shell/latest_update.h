#pragma once

#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <mutex>
#include <utility>

// Carries a value from a worker thread to the UI thread with at most one
// queued delivery outstanding: post() stores the value and queues a call only
// when none is queued yet; the call applies whatever value is newest when it
// runs. A worker that reports thousands of times a second therefore adds one
// event to the UI queue, not thousands, and the UI never falls behind after a
// stall.
template <typename T>
class LatestUpdate {
public:
    // apply runs on context's thread; the delivery is dropped when context
    // is destroyed first.
    template <typename Apply>
    void post(QObject* context, T value, Apply apply)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            value_ = std::move(value);
        }
        if (pending_.exchange(true))
            return;
        QMetaObject::invokeMethod(
            context,
            [this, apply] {
                // Cleared before reading, so a value stored after the read
                // finds no delivery pending and queues its own.
                pending_.store(false);
                T latest;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    latest = value_;
                }
                apply(latest);
            },
            Qt::QueuedConnection);
    }

    bool pending() const { return pending_.load(); }

private:
    std::mutex mutex_;
    T value_{};
    std::atomic<bool> pending_{false};
};
