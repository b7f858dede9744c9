#pragma once

#include "shell/main_dialog.h"
#include "tests/support/netns_lab.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <mutex>
#include <system_error>
#include <thread>

class DcPool;

// A program's dialog with its worker's run and thread creation under the
// test's control. Without a script the real engine runs; with a lab, its
// workers start on the lab's host 0. Self is the test's own subclass, which
// the script receives.
template <class Self, class Dialog, class Settings>
class ScriptedDialog : public Dialog {
public:
    explicit ScriptedDialog(DcPool& pool) : Dialog(pool)
    {
        this->worker().setLauncher([this](std::function<void()> body) {
            ++launches;
            if (failThread)
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            return lab ? lab->start(0, std::move(body)) : std::thread(std::move(body));
        });
    }

    std::function<void(Self&)> script;
    const NetnsLab* lab = nullptr;
    bool failThread = false;
    int launches = 0;

    bool running() { return this->worker().isRunning(); }
    void pause(int ms) { this->worker().clock().sleepMs(ms); }

    // The settings of the latest run.
    Settings settings() const
    {
        std::lock_guard guard(lock_);
        return settings_;
    }

protected:
    void runEngine(const Settings& settings) override
    {
        {
            std::lock_guard guard(lock_);
            settings_ = settings;
        }
        if (script)
            script(static_cast<Self&>(*this));
        else
            Dialog::runEngine(settings);
    }

private:
    mutable std::mutex lock_;
    Settings settings_;
};

inline QPushButton* button(const MainDialog& d, int id)
{
    return static_cast<QPushButton*>(d.control(id));
}
inline QLineEdit* edit(const MainDialog& d, int id)
{
    return static_cast<QLineEdit*>(d.control(id));
}
inline QString text(const MainDialog& d, int id)
{
    return static_cast<QLabel*>(d.control(id))->text();
}

// A control of a dialog in template order: its id (-1 when it has none) and
// the text it shows (nullptr for a picture).
struct ControlRow {
    int id;
    const char* text;
};

// The dialog's controls are exactly these, in this order, each found by its id.
inline void expectControls(const MainDialog& dialog, std::initializer_list<ControlRow> rows)
{
    const auto& controls = dialog.controls();
    ASSERT_EQ(controls.size(), rows.size());
    std::size_t i = 0;
    for (const ControlRow& row : rows) {
        QWidget* control = controls[i++];
        SCOPED_TRACE(i - 1);
        EXPECT_EQ(control->property("controlId").toInt(), row.id);
        if (row.id != -1) {
            EXPECT_EQ(dialog.control(row.id), control);
        }
        if (!row.text)
            continue;
        QString shown;
        if (auto* b = qobject_cast<QAbstractButton*>(control))
            shown = b->text();
        else if (auto* e = qobject_cast<QLineEdit*>(control))
            shown = e->text();
        else if (auto* g = qobject_cast<QGroupBox*>(control))
            shown = g->title();
        else
            shown = static_cast<QLabel*>(control)->text();
        EXPECT_EQ(shown, QString::fromUtf8(row.text));
    }
}
