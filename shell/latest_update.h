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
        // The call is queued with the lock held, and it takes the same lock
        // before it reads: it therefore begins only after the worker has
        // finished making it. Qt's own queue gives that order too, but its
        // lock is invisible to the thread checker, which would then take the
        // call's release on the UI thread for a race with its making.
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = std::move(value);
        if (pending_.exchange(true))
            return;
        QMetaObject::invokeMethod(
            context,
            [this, apply] {
                T latest;
                {
                    std::lock_guard<std::mutex> reading(mutex_);
                    // Cleared with the read, so a value stored after it
                    // finds no delivery pending and queues its own.
                    pending_.store(false);
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
