#include "shell/dialog_app.h"

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QSocketNotifier>
#include <QStringList>

DialogApp::DialogApp(int& argc, char** argv) : app_(argc, argv)
{
    installFont();
    const QIcon icon(QStringLiteral(":/app/icon.png"));
    if (!icon.isNull())
        QApplication::setWindowIcon(icon);
}

void DialogApp::installFont()
{
    const QString face = QStringLiteral("宋体");
    QFont::insertSubstitutions(face, {QStringLiteral("WenQuanYi Zen Hei"),
                                      QStringLiteral("Noto Sans CJK SC"),
                                      QStringLiteral("AR PL UMing CN")});
    QApplication::setFont(QFont(face, 9));
}

int DialogApp::run(QDialog& dialog)
{
    // The modal dialog is the program's only event loop, so quitting the
    // application would not end it; the dialog ends itself.
    const auto ending = signals_.endOnSignal(dialog);
    dialog.exec();
    return 0;
}
