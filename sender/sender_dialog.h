#pragma once

#include "core/send_events.h"
#include "core/settings.h"
#include "shell/main_dialog.h"

class DcPool;
class QLineEdit;
class QPushButton;

// Dovrin's main window: group address, port, speed and packet size; Start
// reads the settings and runs one SendEngine on a worker thread, Stop asks
// it to end, and the worker shows Start again when its run is over.
class SenderDialog : public MainDialog {
    Q_OBJECT
public:
    explicit SenderDialog(DcPool& pool);
    ~SenderDialog() override;

    // Start: ignored while a run shows Stop; settings that make no run are
    // refused in the status line with the error lamp.
    void okCommand() override;
    // Stop: only clears the running flag; the worker restores the buttons.
    void stopCommand();

    // What the worker reports through.
    SendSink& sink() { return sink_; }

protected:
    // The worker's whole run.
    virtual void runEngine(const SendSettings& settings);
    void restoreButtons() override;

private:
    class Sink final : public RunSink<SendSink> {
    public:
        explicit Sink(SenderDialog& dialog);
        void showStatus(const SendStatus& status) override;
        void showReport(const SendReport& report) override;
    };

    DcPool& pool_;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLineEdit* group_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLineEdit* speed_ = nullptr;
    QLineEdit* packetSize_ = nullptr;
    Sink sink_{*this};
};
