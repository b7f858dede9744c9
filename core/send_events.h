#pragma once

#include "core/engine_sink.h"

#include <cstdint>

// The sender's progress after an evaluation of its pacing.
struct SendReport {
    std::int64_t bytesSent = 0;   // headers included
    std::int64_t kbps = 0;

    bool operator==(const SendReport&) const = default;
};

// Events that the sender shows in its status line.
struct SendStatus {
    enum Kind {
        BuildFailed,        // no free slot, or the channel could not be built: no run
        SendFailed,         // the attempt-th send of the current datagram failed
        EmptySource,        // send.txt holds nothing to send: the run ends
        UnreadableSource,   // send.txt exists but cannot be read: no run, or the run ends
    };
    Kind kind = BuildFailed;
    int attempt = 0;   // SendFailed only

    bool operator==(const SendStatus&) const = default;
};

// Sending went down (its first failed attempt) or came back (the first
// datagram sent after failed attempts).
struct SendOutage {
    enum Kind { Down, Resumed };
    Kind kind = Down;
    int error = 0;              // Down only: the errno of the first failed attempt
    std::uint64_t downMs = 0;   // Resumed only: since the first failed attempt

    bool operator==(const SendOutage&) const = default;
};

class SendSink : public EngineSink {
public:
    virtual void showStatus(const SendStatus& status) = 0;
    virtual void showReport(const SendReport& report) = 0;
    // A front end that shows every failed attempt through showStatus may
    // leave this out.
    virtual void showOutage(const SendOutage& /*outage*/) {}
    // The run is over: the front end offers Start again.
    virtual void restoreButtons() = 0;
};
