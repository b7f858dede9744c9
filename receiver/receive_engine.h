#pragma once

#include <atomic>
#include <cstdint>

class CaptureFile;
class Clock;
class DcPool;
class EngineView;

// One receiver run, on the worker thread: joins the group, receives with a
// 10 ms time-out, counts datagrams, bytes and sequence gaps, writes payloads
// to the capture file while it is open, and reports every 50 datagrams.
// run() returns after the view stops running; it always releases its slot.
class ReceiveEngine {
public:
    ReceiveEngine(EngineView& view, CaptureFile& capture, Clock& clock, DcPool& pool);

    void run();

    // The pool slot of the run in progress, -1 while none.
    int slot() const { return slot_.load(std::memory_order_relaxed); }

private:
    // Up to 100 builds; true when the channel works and has a socket.
    bool buildChannel(int slot);
    void waitOutTimeout(std::uint64_t before);
    void showStatistics(const char* from, std::uint64_t count, std::uint64_t bytes,
                        std::int64_t lost, std::uint64_t rate);

    EngineView& view_;
    CaptureFile& capture_;
    Clock& clock_;
    DcPool& pool_;
    std::atomic<int> slot_{-1};
};
