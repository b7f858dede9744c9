#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

// Runs the event loop until done() holds or timeoutMs pass; true when done()
// held. The loop wakes for posted events and every few milliseconds, so
// conditions set by other threads are seen promptly.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// The same for modal dialogs: runs fn on the event loop once the loop turns,
// e.g. to close the About box that the code under test is about to open.
inline void whenIdle(std::function<void()> fn, int delayMs = 0)
{
    QTimer::singleShot(delayMs, QCoreApplication::instance(), std::move(fn));
}
