#pragma once

#include "core/engine_sink.h"
#include "core/interval_figures.h"
#include "core/ip_address.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The receiver's statistics since its run started: every 50 datagrams, once
// when the flow pauses (the moment no data is reported), and at the end of
// the run.
struct ReceiveReport {
    // The latest sender; no address before the first datagram.
    SocketAddress sender;
    std::uint64_t datagrams = 0;
    std::uint64_t bytes = 0;   // whole datagrams, headers included
    std::uint64_t kbps = 0;
    std::int64_t lost = 0;   // from sequence gaps
    // Dropped by this host's own socket, its receive buffer being full; they
    // show in lost too once a later datagram of their sender arrives.
    std::uint64_t overflowed = 0;
    // Whose payload went into the capture file whole; one without payload
    // counts while the file is open, having nothing to lose.
    std::uint64_t saved = 0;
    // Sent to the port but not to the group (unicast, broadcast): in none of
    // the figures above, nor in the capture.
    std::uint64_t stray = 0;
    // Streams (a sender's datagrams to one group) dropped from the sequence
    // tracker to make room for others: what they lost afterwards is missing
    // from lost, which thus says less than it seems when this is not 0.
    std::uint64_t evicted = 0;

    bool operator==(const ReceiveReport&) const = default;
};

// Events that the receiver shows in its status line.
struct ReceiveStatus {
    enum Kind {
        NoSlot,        // every pool slot is in use: no run
        BuildFailed,   // the attempt-th build of the channel failed
        NoData,        // ten receives in a row found nothing
        SaveFailed,    // a capture write failed (once per series of failures)
        CaptureGone,   // the capture file was deleted or replaced: saving stopped
        Overflow,      // the socket dropped datagrams since the last report
        JoinFailed,    // joining silent groups again failed (once per series for one reason)
    };
    Kind kind = NoData;
    int attempt = 0;                // BuildFailed only
    std::uint64_t overflowed = 0;   // Overflow only: the total since the run started
    // BuildFailed, SaveFailed and JoinFailed: the system's reason (an errno).
    int error = 0;
    // JoinFailed only: the first group whose join failed, and how many failed.
    IpAddress group{};
    std::size_t groups = 0;

    bool operator==(const ReceiveStatus&) const = default;
};

class ReceiveSink : public EngineSink {
public:
    virtual void showStatus(const ReceiveStatus& status) = 0;
    virtual void showStatistics(const ReceiveReport& report) = 0;
    // The figures of each interval as it closes, the last (shorter) one at
    // the end of the run; a front end that shows only the statistics may
    // leave these out.
    virtual void showReceiveInterval(const ReceiveInterval& /*interval*/) {}
    // A sender's outage, as its next datagram ended it.
    virtual void showSenderOutage(const Outage& /*outage*/) {}
    // A sender's datagrams came with another hop limit: its route changed.
    virtual void showRouteChange(const RouteChange& /*change*/) {}
    // The run ended by itself (no slot, no channel): the front end offers
    // Start again.
    virtual void restoreButtons() = 0;
};
