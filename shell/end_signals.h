#pragma once

#include <memory>

class QDialog;
class QSocketNotifier;

// Ends a dialog program on SIGINT, SIGTERM or SIGHUP (Ctrl-C, kill, a logout,
// a closed terminal) as its close box does: the run stops, a capture is
// written whole and closed, and then the dialog ends, and with it the program.
// A signal the program was started with ignored (nohup's SIGHUP) stays so.
// Made before any thread starts, it blocks the signals in the calling
// thread, and so in every thread started later, and reads them from a
// descriptor on the UI thread: no handler interrupts a thread's calls, and a
// second signal during the shutdown stays pending and harmless. Where no such
// descriptor can be had, the signals are left as they were.
class EndSignals {
public:
    EndSignals();
    ~EndSignals();
    EndSignals(const EndSignals&) = delete;
    EndSignals& operator=(const EndSignals&) = delete;

    // UI thread, once the application exists. While the result lives, a
    // signal, also one that came before, ends dialog as its close box does,
    // closing any box open over it first. Null when the signals are left as
    // they were.
    std::unique_ptr<QSocketNotifier> endOnSignal(QDialog& dialog);

private:
    int fd_ = -1;
};
