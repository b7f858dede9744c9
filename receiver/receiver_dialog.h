#pragma once

#include "core/receive_events.h"
#include "core/settings.h"
#include "file/capture_file.h"
#include "shell/main_dialog.h"

#include <cstdint>
#include <optional>

class DcPool;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Kestil's main window: group address and port; Start runs one
// ReceiveEngine on a worker thread, Stop ends it and shows Start at once; the
// statistics, status line and lamp show what the worker reports. The
// save-to-file box opens the capture file under the typed name when ticked
// (unticking itself again when the file cannot be opened) and closes it when
// unticked.
class ReceiverDialog : public MainDialog {
    Q_OBJECT
public:
    explicit ReceiverDialog(DcPool& pool);
    ~ReceiverDialog() override;

    // Start: ignored while a run shows Stop; waits for the worker of the
    // previous run before starting the next.
    void okCommand() override;
    void stopCommand();
    // Cancel: the run ends, then the capture file closes with everything
    // written, then the dialog ends.
    void reject() override;
    void saveToFileSwitch();

    const CaptureFile& captureFile() const { return capture_; }

    // What the worker reports through.
    ReceiveSink& sink() { return sink_; }

protected:
    // The worker's whole run.
    virtual void runEngine(const ReceiveSettings& settings);
    CaptureFile& capture() { return capture_; }
    void restoreButtons() override;

private:
    // Calls come from the worker thread, except reset, made between runs.
    class Sink final : public RunSink<ReceiveSink> {
    public:
        explicit Sink(ReceiverDialog& dialog);
        void showStatus(const ReceiveStatus& status) override;
        void showStatistics(const ReceiveReport& report) override;
        void showReceiveInterval(const ReceiveInterval& interval) override;
        void reset();

    private:
        // The status line's "no datagrams" goes once datagrams flow again.
        void counted(std::uint64_t datagrams);

        ReceiverDialog& dialog_;
        std::uint64_t counted_ = 0;   // the run's datagrams, as last reported
        // While the status line says no datagrams arrive: how many had then.
        std::optional<std::uint64_t> silentAt_;
    };

    void applyStatistics(const ReceiveReport& report);

    DcPool& pool_;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLineEdit* group_ = nullptr;
    QLineEdit* port_ = nullptr;
    QCheckBox* saveToFile_ = nullptr;
    QLineEdit* fileName_ = nullptr;
    // The statistics.
    QLabel* from_ = nullptr;
    QLabel* bytes_ = nullptr;
    QLabel* rate_ = nullptr;
    QLabel* packets_ = nullptr;
    CaptureFile capture_;
    WorkerRun::Feed<ReceiveReport> statistics_{
        worker(), [this](const ReceiveReport& report) { applyStatistics(report); }};
    Sink sink_{*this};
};
