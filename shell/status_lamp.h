#pragma once

#include "core/engine_sink.h"

#include <QObject>
#include <QTimer>

class QLabel;
class QPoint;
class QWidget;

// The three stacked lamp pictures of a main dialog (active, error, idle), of
// which one is visible at a time, named by their control ids. A run may
// flash any lamp; every 500 ms the timer shows the default lamp again, so a
// flash lasts until the next tick. Everything runs on the UI thread.
class StatusLamp : public QObject {
    Q_OBJECT
public:
    static constexpr int kTickMs = 500;

    // Makes the three labels on dialog, in the order active, error, idle,
    // with their top-left corner at topLeft (pixels). The default is idle.
    StatusLamp(QWidget* dialog, QPoint topLeft, int activeId, int errorId, int idleId);

    // Hides the active, error and idle lamps, in that order, then shows
    // lampId. An id that names none of them leaves all three hidden.
    void flash(int lampId);

    // The lamp the next tick shows.
    void setDefault(int lampId) { default_ = lampId; }
    int defaultLamp() const { return default_; }

    // What the timer does: flash the default lamp.
    void tick() { flash(defaultLamp()); }

    // The 500 ms timer, started by start(); tests stop it and tick by hand.
    void start() { timer_.start(); }
    QTimer& timer() { return timer_; }

    // The control id of an engine's lamp.
    int idOf(Lamp lamp) const
    {
        switch (lamp) {
        case Lamp::Active: return activeId_;
        case Lamp::Error: return errorId_;
        case Lamp::Idle: break;
        }
        return idleId_;
    }

    int activeId() const { return activeId_; }
    int errorId() const { return errorId_; }
    int idleId() const { return idleId_; }

    QLabel* active() const { return active_; }
    QLabel* error() const { return error_; }
    QLabel* idle() const { return idle_; }

private:
    int activeId_;
    int errorId_;
    int idleId_;
    QLabel* active_ = nullptr;
    QLabel* error_ = nullptr;
    QLabel* idle_ = nullptr;
    int default_;
    QTimer timer_;
};
