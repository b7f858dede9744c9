#pragma once

#include "shell/end_signals.h"

#include <QApplication>

class QDialog;

// The application of each program: sets up the font, runs the one main
// dialog modally, and ends the program when the dialog closes, also on
// SIGINT, SIGTERM and SIGHUP. Made first in main, before any thread starts.
class DialogApp {
public:
    DialogApp(int& argc, char** argv);

    // The dialogs' face is "宋体" at 9 points. Linux has no such face and
    // would resolve it to a Latin one, so an installed CJK face stands in for
    // it; every Chinese text then renders in one face. Call before the first
    // widget is made.
    static void installFont();

    // Runs dialog modally; its own Cancel ends it, as a signal does, which
    // ends the program.
    int run(QDialog& dialog);

private:
    // First: the signals are blocked before the application starts threads.
    EndSignals signals_;
    QApplication app_;
};
