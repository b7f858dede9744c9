#pragma once

#include <signal.h>

// The signals that end a run: SIGINT, SIGTERM and SIGHUP (Ctrl-C, kill, a
// closed terminal or a logout), less any the program was started
// with ignored, as nohup leaves SIGHUP and a script's background job SIGINT.
// Blocked, an ignored signal would be taken all the same.
sigset_t endSignalSet();
