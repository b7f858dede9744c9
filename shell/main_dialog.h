#pragma once

#include "about_dialog.h"
#include "engine_view.h"
#include "latest_update.h"
#include "steady_clock.h"

#include <QDialog>
#include <QString>

#include <array>
#include <atomic>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <thread>
#include <vector>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class StatusLamp;

// What both programs' main dialogs share: fixed layout in dialog units with
// controls found by id, the About box from its button and from the context
// menu, the status line and lamp, and one worker thread per run that reports
// through EngineView. The worker never touches a widget: its reports travel
// as coalesced queued calls to the UI thread.
class MainDialog : public QDialog, public EngineView {
    Q_OBJECT
public:
    ~MainDialog() override;

    // The control with this id, nullptr when there is none.
    QWidget* control(int id) const;

    // Every control in template order, labels included; also the tab order
    // of those that take focus.
    const std::vector<QWidget*>& controls() const { return controls_; }

    StatusLamp& lamp() const { return *lamp_; }
    QAction* aboutAction() const { return aboutAction_; }

    // Opens the About box modally and returns when it is closed.
    void showAbout();

    // A window-menu command: the About entry's id (in bits 4 to 15) opens
    // the About box; anything else is left to the window system.
    void systemCommand(int commandId);

    // The OK command (Start button, or Enter outside a push button).
    virtual void okCommand() = 0;

    // The Cancel command (Esc, close box): ends an active run, waiting for
    // its worker, then ends the dialog.
    void reject() override;

    bool workerActive() const { return worker_.joinable(); }

    // EngineView, called on the worker thread.
    bool isRunning() const override { return running_.load(); }
    std::string settingText(int controlId) const override;
    void showStatus(std::string_view text) override;
    void flashLamp(int lampId) override;
    void setDefaultLamp(int lampId) override;

protected:
    // sizeUnits is the client size in dialog units; aboutMenuText is the
    // context-menu entry that opens the About box.
    MainDialog(QSize sizeUnits, const QString& aboutMenuText, AboutTemplate about);

    // Control factories, called in template order. name becomes the
    // objectName; id -1 marks a control that is not addressed.
    QPushButton* addButton(int id, const char* name, const QString& text, QRect units);
    QLabel* addLabel(int id, const char* name, const QString& text, QRect units);
    QLineEdit* addEdit(int id, const char* name, QRect units, QLabel* label);
    QCheckBox* addCheckBox(int id, const char* name, const QString& text, QRect units);
    QGroupBox* addGroupBox(const QString& text, QRect units);
    QPushButton* addAboutButton(int id, QRect units);
    void addStatusLine(int id, QRect units);
    void addLamp(int activeId, int errorId, int idleId, QRect units);

    // Sets the default lamp to idle, shows it, and starts the 500 ms tick.
    void startLamp();

    // Waits for the previous worker, takes the texts of the settings' edits
    // for the new run (so edits during a run affect only the next one), sets
    // the running flag and starts body on a new worker thread. When the
    // thread cannot be made, the flag is cleared, the failure shows in the
    // status line with the error lamp, and the result is false.
    bool startWorker(std::initializer_list<int> settingIds, std::function<void()> body);

    // Clears the running flag, wakes a sleeping worker and waits for it.
    void stopWorker();

    // How the worker thread is made; tests replace it.
    virtual std::thread launchThread(std::function<void()> body);

    void setRunning(bool running) { running_.store(running); }
    SteadyClock& clock() { return clock_; }

    // UI thread: the status line and an error flash at once.
    void reportError(const QString& text);
    void setStatusText(const QString& text);

    void keyPressEvent(QKeyEvent* event) override;

private:
    void registerControl(QWidget* widget, int id, const char* name);
    void captureSettings(std::initializer_list<int> editIds);

    AboutTemplate about_;
    QAction* aboutAction_ = nullptr;
    std::vector<QWidget*> controls_;
    std::map<int, QWidget*> byId_;
    QLabel* status_ = nullptr;
    StatusLamp* lamp_ = nullptr;

    std::atomic<bool> running_{false};
    std::map<int, std::string> settings_;
    SteadyClock clock_;
    std::thread worker_;

    LatestUpdate<std::string> statusUpdate_;
    LatestUpdate<int> flashUpdate_;
};
