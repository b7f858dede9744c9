#pragma once

#include "shell/main_dialog.h"
#include "tests/support/netns_lab.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <functional>
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
