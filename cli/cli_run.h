#pragma once

#include <functional>
#include <signal.h>

// Ends a command-line run on SIGINT or SIGTERM, after a duration, or when the
// worker is done. Made before any thread starts: it blocks both signals in
// the calling thread, and so in every thread started later, and takes them
// only in wait(). A signal during the shutdown after wait() stays pending and
// harmless, so a second Ctrl-C cannot cut the shutdown short.
class StopSignals {
public:
    enum class Ended { Signal, Deadline, Done };

    StopSignals();

    // Waits until a signal comes, durationSeconds pass (0: no limit) or done()
    // is true; done is asked every 20 ms.
    Ended wait(double durationSeconds, const std::function<bool()>& done);

private:
    sigset_t set_{};
};
