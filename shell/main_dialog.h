#pragma once

#include "shell/about_dialog.h"
#include "shell/worker_run.h"

#include <QDialog>
#include <QString>

#include <map>
#include <vector>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class StatusLamp;

// What both programs' main dialogs share: fixed layout in dialog units with
// each control registered under its id, the About box from its button and
// from the context menu, Enter and Esc, and the status line and lamp that the
// worker run reports to.
class MainDialog : public QDialog {
    Q_OBJECT
public:
    ~MainDialog() override;

    // The control with this id, nullptr when there is none. The dialogs keep
    // their own controls typed; this serves those who only know the ids.
    QWidget* control(int id) const;

    // Every control in template order, labels included; also the tab order
    // of those that take focus.
    const std::vector<QWidget*>& controls() const { return controls_; }

    StatusLamp& lamp() const { return *lamp_; }
    QAction* aboutAction() const { return aboutAction_; }

    // Opens the About box modally and returns when it is closed.
    void showAbout();

    // The OK command (Start button, or Enter outside a push button).
    virtual void okCommand() = 0;

    // The Cancel command (Esc, close box): ends an active run, waiting for
    // its worker, then ends the dialog.
    void reject() override;

    WorkerRun& worker() { return worker_; }

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

    // Once every control is added: grows the text controls that are too
    // short for the dialog's face, each about its centre.
    void fitTextHeights();

    // Sets the default lamp to idle, shows it, and starts the 500 ms tick.
    void startLamp();

    // A run that ended by itself brings Start back; the worker run calls
    // this on the UI thread.
    virtual void restoreButtons() = 0;

    // UI thread: the status line and an error flash at once.
    void reportError(const QString& text);
    void setStatusText(const QString& text);

    void keyPressEvent(QKeyEvent* event) override;

private:
    void registerControl(QWidget* widget, int id, const char* name);

    AboutTemplate about_;
    QAction* aboutAction_ = nullptr;
    std::vector<QWidget*> controls_;
    std::map<int, QWidget*> byId_;
    QLabel* status_ = nullptr;
    StatusLamp* lamp_ = nullptr;
    // Last: it stops its worker before the widgets it reports to go.
    WorkerRun worker_;
};
