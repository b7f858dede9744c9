#include "shell/dialog_app.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

// Dialog tests run headless, with the programs' own font set-up.
int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    DialogApp::installFont();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
