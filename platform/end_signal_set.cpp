#include "platform/end_signal_set.h"

#include <initializer_list>

sigset_t endSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        sigaddset(&set, signal);
    }
    return set;
}
