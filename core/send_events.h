#pragma once

#include "core/engine_sink.h"

#include <cstdint>
#include <vector>

// The sender's progress after an evaluation of its pacing.
struct SendReport {
    std::int64_t bytesSent = 0;   // headers included
    std::int64_t kbps = 0;
    std::uint64_t datagrams = 0;   // sent so far

    bool operator==(const SendReport&) const = default;
};

// What one group of a run of several was sent in an interval and since the
// start.
struct SendGroupFigures {
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;   // headers included
    std::uint64_t totalDatagrams = 0;

    bool operator==(const SendGroupFigures&) const = default;
};

// What the sender sent in one interval (times are its clock's, in ms) and
// since its start.
struct SendInterval {
    std::uint64_t startMs = 0;
    std::uint64_t endMs = 0;
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;   // headers included
    std::uint64_t totalDatagrams = 0;
    std::uint64_t totalBytes = 0;
    // A run of several groups: each group's, in the order of its groups.
    std::vector<SendGroupFigures> groups;

    // kbit/s, bits per ms.
    double kbps() const
    {
        return endMs == startMs
                   ? 0
                   : static_cast<double>(bytes) * 8 / static_cast<double>(endMs - startMs);
    }
    bool operator==(const SendInterval&) const = default;
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
    // BuildFailed and UnreadableSource: the system's reason (an errno), 0
    // when it gave none (no free slot, not a regular file).
    int error = 0;

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
    // What each interval sent, as it closes, the last (shorter) one at the
    // end of the run; a front end may leave this out.
    virtual void showSendInterval(const SendInterval& /*interval*/) {}
    // The run is over: the front end offers Start again.
    virtual void restoreButtons() = 0;
};
