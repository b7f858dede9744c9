#pragma once

#include <string>
#include <string_view>

// What an engine's worker thread may ask of its dialog. Implementations are
// called on the worker thread and must not block on the UI thread.
class EngineView {
public:
    virtual ~EngineView() = default;

    virtual bool isRunning() const = 0;

    // The text of an edit control as it was when the run started.
    virtual std::string settingText(int controlId) const = 0;

    virtual void showStatus(std::string_view text) = 0;
    virtual void flashLamp(int lampId) = 0;
    virtual void setDefaultLamp(int lampId) = 0;

    // Sender: show Start again at the end of a run.
    virtual void restoreButtons() {}

    // Receiver: the four statistics texts, in the order of the dialog.
    virtual void showStatistics(std::string_view from, std::string_view bytes,
                                std::string_view rate, std::string_view packets)
    {
        (void)from; (void)bytes; (void)rate; (void)packets;
    }
};
