#pragma once

#include "main_dialog.h"

class DcPool;
class QPushButton;

// Dovrin's main window: group address, port, speed and packet size; Start
// runs one SendEngine on a worker thread, Stop asks it to end, and the worker
// shows Start again when its run is over.
class SenderDialog : public MainDialog {
    Q_OBJECT
public:
    explicit SenderDialog(DcPool& pool);
    ~SenderDialog() override;

    // Start: ignored while a run shows Stop.
    void okCommand() override;
    // Stop: only clears the running flag; the worker restores the buttons.
    void stopCommand();

    // EngineView, on the worker thread.
    void restoreButtons() override;

protected:
    // The worker's whole run.
    virtual void runEngine();

private:
    DcPool& pool_;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
};
