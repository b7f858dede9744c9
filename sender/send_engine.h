#pragma once

#include <string>
#include <utility>

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
    static constexpr int kSendAttempts = 100;
    // Largest packet size accepted; far beyond what any network carries, so
    // only nonsense is refused before the run.
    static constexpr int kMaxPacketSize = 16 * 1024 * 1024;

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
