#pragma once

#include "core/settings.h"

#include <string>
#include <utility>

class Clock;
class DcPool;
class SendSink;

// One sender run, on the worker thread: streams numbered test datagrams to
// the group from send.txt beside the executable (zeros without it), paces
// towards the target speed, and reports through the sink. run() returns when
// the sink stops running or 100 attempts in a row fail; it always releases
// its slot and restores the buttons.
class SendEngine {
public:
    static constexpr int kSendAttempts = 100;

    SendEngine(SendSink& sink, Clock& clock, DcPool& pool, SendSettings settings);

    void run();

    // Payload source; defaults to send.txt in the executable's directory.
    void setSourcePath(std::string path) { sourcePath_ = std::move(path); }

private:
    SendSink& sink_;
    Clock& clock_;
    DcPool& pool_;
    SendSettings settings_;
    std::string sourcePath_;
};
