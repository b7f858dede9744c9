#pragma once

#include <QApplication>

class QDialog;

// The application of each program: sets up the font, runs the one main
// dialog modally, and ends the program when the dialog closes.
class DialogApp {
public:
    DialogApp(int& argc, char** argv);

    // The dialogs' face is "宋体" at 9 points. Linux has no such face and
    // would resolve it to a Latin one, so an installed CJK face stands in for
    // it; every Chinese text then renders in one face. Call before the first
    // widget is made.
    static void installFont();

    // Runs dialog modally; its own Cancel ends it, which ends the program.
    int run(QDialog& dialog);

private:
    QApplication app_;
};
