#include "channel/dc_pool.h"
#include "sender/sender_dialog.h"
#include "shell/dialog_app.h"

#include <QGuiApplication>

int main(int argc, char* argv[])
{
    DialogApp app(argc, argv);
    // The name of its desktop entry: docks and task bars match the window to
    // the entry's icon and name through it (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.dovrin_kestil.Dovrin"));
    SenderDialog dialog(DcPool::global());
    return app.run(dialog);
}
