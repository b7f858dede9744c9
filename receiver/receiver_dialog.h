#pragma once

#include "capture_file.h"
#include "main_dialog.h"

#include <array>
#include <string>

class DcPool;
class QCheckBox;
class QPushButton;

// Kestil's main window: group address and port; Start runs one
// ReceiveEngine on a worker thread, Stop ends it and shows Start at once; the
// statistics, status line and lamp show what the worker reports. The
// save-to-file box opens the capture file under the typed name when ticked
// and closes it when unticked.
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

    // EngineView, on the worker thread.
    void showStatistics(std::string_view from, std::string_view bytes,
                        std::string_view rate, std::string_view packets) override;

protected:
    // The worker's whole run.
    virtual void runEngine();
    CaptureFile& capture() { return capture_; }

private:
    using Statistics = std::array<std::string, 4>;

    void applyStatistics(const Statistics& texts);

    DcPool& pool_;
    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QCheckBox* saveToFile_ = nullptr;
    CaptureFile capture_;
    LatestUpdate<Statistics> statisticsUpdate_;
};
