#pragma once

#include <string>

class Clock;
class DcPool;
class EngineView;

// One sender run, on the worker thread: reads the settings from the view,
// streams numbered test datagrams to the group from send.txt beside the
// executable (zeros without it), paces towards the target speed, and reports
// through the view. run() returns when the view stops running or 100 attempts
// in a row fail; it always releases its slot and restores the buttons.
class SendEngine {
public:
    SendEngine(EngineView& view, Clock& clock, DcPool& pool);

    void run();

    // Payload source; defaults to send.txt in the executable's directory.
    void setSourcePath(std::string path) { sourcePath_ = std::move(path); }

private:
    EngineView& view_;
    Clock& clock_;
    DcPool& pool_;
    std::string sourcePath_;
};
