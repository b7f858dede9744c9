#include "shell/end_signals.h"

#include "platform/end_signal_set.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QWidget>

#include <sys/signalfd.h>
#include <unistd.h>

EndSignals::EndSignals()
{
    const sigset_t set = endSignalSet();
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &set, &before);
    fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    // Blocked without a reader, they would be lost: they keep their default
    // of ending the program at once.
    if (fd_ < 0)
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

EndSignals::~EndSignals()
{
    if (fd_ >= 0)
        ::close(fd_);
}

std::unique_ptr<QSocketNotifier> EndSignals::endOnSignal(QDialog& dialog)
{
    if (fd_ < 0)
        return nullptr;
    auto notifier = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &dialog, [this, &dialog] {
        signalfd_siginfo info{};
        while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        // A box open over the dialog (About) runs a loop of its own inside
        // the dialog's, which must end too.
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            auto* box = qobject_cast<QDialog*>(window);
            if (box && box != &dialog && box->isVisible())
                box->reject();
        }
        dialog.reject();
    });
    return notifier;
}
