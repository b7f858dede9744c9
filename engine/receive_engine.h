#pragma once

#include "core/settings.h"

#include <atomic>
#include <cstdint>

class CaptureFile;
class Clock;
class DcPool;
class ReceiveSink;

// One receiver run, on the worker thread: joins the group, receives with a
// 10 ms time-out, counts datagrams, bytes and sequence gaps, writes payloads
// to the capture file while it is open, and reports every 50 datagrams.
// run() returns after the sink stops running; it always releases its slot.
class ReceiveEngine {
public:
    static constexpr int kReceiveTimeoutMs = 10;

    ReceiveEngine(ReceiveSink& sink, CaptureFile& capture, Clock& clock, DcPool& pool,
                  ReceiveSettings settings);

    void run();

    // The pool slot of the run in progress, -1 while none.
    int slot() const { return slot_.load(std::memory_order_relaxed); }

private:
    // Up to 100 builds; true when the channel works and has a socket.
    bool buildChannel(int slot);
    void waitOutTimeout(std::uint64_t before);

    ReceiveSink& sink_;
    CaptureFile& capture_;
    Clock& clock_;
    DcPool& pool_;
    ReceiveSettings settings_;
    std::atomic<int> slot_{-1};
};
