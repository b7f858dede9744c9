#include "sender/sender_dialog.h"

#include "channel/dc_pool.h"
#include "platform/executable_path.h"
#include "sender/sender_ids.h"
#include "shell/dialog_units.h"
#include "shell/status_lamp.h"
#include "tests/shell/event_wait.h"
#include "tests/shell/text_fit_check.h"
#include "tests/support/netns_lab.h"
#include "tests/support/scripted_dialog.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

using namespace SenderIds;

namespace {

class ScriptedSender : public ScriptedDialog<ScriptedSender, SenderDialog, SendSettings> {
public:
    using ScriptedDialog::ScriptedDialog;
};

// A run that streams until Stop and then restores the buttons, as the
// engine does.
void untilStopped(ScriptedSender& d)
{
    while (d.running())
        d.pause(1);
    d.sink().restoreButtons();
}

void pressKey(QWidget* target, Qt::Key key)
{
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

// Closes the About box once it is up, noting its caption and program line.
void closeAboutWhenShown(QString* caption, QString* programLine)
{
    whenIdle(
        [=] {
            QWidget* box = QApplication::activeModalWidget();
            if (!box) {
                closeAboutWhenShown(caption, programLine);
                return;
            }
            *caption = box->windowTitle();
            *programLine = box->findChildren<QLabel*>().at(1)->text();
            static_cast<QDialog*>(box)->reject();
        },
        10);
}

class SenderDialogTest : public ::testing::Test {
protected:
    DcPool pool;
    ScriptedSender dialog{pool};
};

TEST_F(SenderDialogTest, TitleDefaultsAndControlsInTemplateOrder)
{
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("组播测试 (发送端)"));
    EXPECT_EQ(dialog.size(), DialogUnits().size(150, 128));
    EXPECT_FALSE(dialog.windowFlags() &
                 (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    expectControls(dialog, {{IDOK, "开始"},
                            {-1, "组播地址"},
                            {IDC_GROUP_ADDR, "224.1.1.1"},
                            {-1, "端口"},
                            {IDC_PORT, "9000"},
                            {-1, "发送速度"},
                            {IDC_SPEED, "512"},
                            {-1, "包尺寸"},
                            {IDC_PACKET_SIZE, "1024"},
                            {IDC_STATUS, ""},
                            {IDC_STOP, "结束"},
                            {IDC_LAMP_ACTIVE, nullptr},
                            {IDC_LAMP_ERROR, nullptr},
                            {IDC_LAMP_IDLE, nullptr},
                            {IDC_ABOUT, "关于"}});

    // Each edit is named by the label before it.
    auto* addressLabel = static_cast<QLabel*>(dialog.controls()[1]);
    EXPECT_EQ(addressLabel->buddy(), dialog.control(IDC_GROUP_ADDR));
    EXPECT_EQ(edit(dialog, IDC_PACKET_SIZE)->accessibleName(), QStringLiteral("包尺寸"));

    // Start and Stop share a rectangle, Stop hidden; tab order is template order.
    EXPECT_EQ(button(dialog, IDOK)->geometry(), DialogUnits().rect(96, 13, 50, 22));
    EXPECT_EQ(button(dialog, IDC_STOP)->geometry(), button(dialog, IDOK)->geometry());
    EXPECT_TRUE(button(dialog, IDC_STOP)->isHidden());
    const std::vector<int> tabOrder{IDOK,     IDC_GROUP_ADDR, IDC_PORT, IDC_SPEED, IDC_PACKET_SIZE,
                                    IDC_STOP, IDC_ABOUT,      IDOK};
    QWidget* w = dialog.control(IDOK);
    for (std::size_t i = 1; i < tabOrder.size(); ++i) {
        do
            w = w->nextInFocusChain();
        while (!(w->focusPolicy() & Qt::TabFocus) || w == &dialog);
        EXPECT_EQ(w, dialog.control(tabOrder[i])) << "tab stop " << i;
    }

    EXPECT_EQ(dialog.lamp().defaultLamp(), IDC_LAMP_IDLE);
    EXPECT_FALSE(dialog.worker().isRunning());
}

TEST_F(SenderDialogTest, StartSwapsAtOnceAndTheWorkerRestoresTheButtonsAfterStop)
{
    std::atomic<bool> sawStop{false};
    std::atomic<bool> mayEnd{false};
    dialog.script = [&](ScriptedSender& d) {
        while (d.running())
            d.pause(1);
        sawStop = true;
        while (!mayEnd)
            d.pause(1);
        d.sink().restoreButtons();
    };
    auto* start = button(dialog, IDOK);
    auto* stop = button(dialog, IDC_STOP);

    start->click();
    EXPECT_TRUE(start->isHidden());
    EXPECT_FALSE(stop->isHidden());
    EXPECT_TRUE(dialog.worker().isRunning());

    // The run keeps the settings it started with.
    ASSERT_TRUE(waitFor([&] { return dialog.settings().speedKbps == 512; }));
    edit(dialog, IDC_SPEED)->setText(QStringLiteral("64"));

    stop->click();
    EXPECT_FALSE(dialog.worker().isRunning());
    ASSERT_TRUE(waitFor([&] { return sawStop.load(); }));
    stop->click();   // a second Stop while stopping changes nothing
    QCoreApplication::processEvents();
    EXPECT_TRUE(start->isHidden());
    EXPECT_FALSE(stop->isHidden());

    mayEnd = true;
    ASSERT_TRUE(waitFor([&] { return !start->isHidden() && stop->isHidden(); }));

    // A new Start after a finished run starts a fresh worker with the new text.
    dialog.script = untilStopped;
    start->click();
    stop->click();
    ASSERT_TRUE(waitFor([&] { return !start->isHidden(); }));
    EXPECT_EQ(dialog.settings().speedKbps, 64);
    EXPECT_EQ(dialog.launches, 2);
}

TEST_F(SenderDialogTest, EnterStartsOnceAndIsIgnoredWhileARunIsActive)
{
    dialog.script = untilStopped;
    pressKey(edit(dialog, IDC_PORT), Qt::Key_Return);
    EXPECT_EQ(dialog.launches, 1);
    EXPECT_TRUE(button(dialog, IDOK)->isHidden());

    pressKey(edit(dialog, IDC_PORT), Qt::Key_Return);
    pressKey(&dialog, Qt::Key_Enter);
    EXPECT_EQ(dialog.launches, 1);
    EXPECT_TRUE(dialog.worker().isRunning());

    button(dialog, IDC_STOP)->click();
    ASSERT_TRUE(waitFor([&] { return !button(dialog, IDOK)->isHidden(); }));
}

TEST_F(SenderDialogTest, EscDuringARunWakesTheSleepingWorkerAndEndsTheDialog)
{
    std::atomic<bool> ended{false};
    dialog.script = [&](ScriptedSender& d) {
        while (d.running())
            d.pause(3'600'000);   // a pacing pause only a wake can cut short
        ended = true;
        d.sink().restoreButtons();
    };
    dialog.show();
    button(dialog, IDOK)->click();

    QElapsedTimer elapsed;
    elapsed.start();
    pressKey(&dialog, Qt::Key_Escape);
    EXPECT_LT(elapsed.elapsed(), 20000);
    EXPECT_TRUE(ended);
    EXPECT_FALSE(dialog.worker().active());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

TEST_F(SenderDialogTest, StopCutsAPacingPauseShort)
{
    dialog.script = [](ScriptedSender& d) {
        while (d.running())
            d.pause(3'600'000);
        d.sink().restoreButtons();
    };
    button(dialog, IDOK)->click();
    button(dialog, IDC_STOP)->click();
    ASSERT_TRUE(waitFor([&] { return !button(dialog, IDOK)->isHidden(); }));
}

// A FIFO named send.txt without a writer used to hold the worker in open for
// good, so that neither Stop nor closing the window came back.
TEST_F(SenderDialogTest, ASendTxtThatIsNoRegularFileIsRefusedAndNothingWaits)
{
    struct Fifo {
        std::string path = executableDirectory() + "send.txt";
        Fifo() { EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0); }
        ~Fifo() { std::remove(path.c_str()); }
    } fifo;
    dialog.lamp().timer().stop();
    dialog.show();
    button(dialog, IDOK)->click();
    ASSERT_TRUE(waitFor([&] { return !button(dialog, IDOK)->isHidden(); }));
    EXPECT_EQ(text(dialog, IDC_STATUS), QStringLiteral("无法读取 send.txt."));
    EXPECT_FALSE(dialog.lamp().error()->isHidden());

    pressKey(&dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog.worker().active());
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(SenderDialogTest, AWorkerThatCannotStartIsReportedAndStartStays)
{
    dialog.failThread = true;
    dialog.lamp().timer().stop();
    button(dialog, IDOK)->click();

    EXPECT_EQ(text(dialog, IDC_STATUS), QStringLiteral("无法启动工作线程."));
    EXPECT_FALSE(dialog.lamp().error()->isHidden());
    EXPECT_TRUE(dialog.lamp().idle()->isHidden());
    EXPECT_FALSE(button(dialog, IDOK)->isHidden());
    EXPECT_TRUE(button(dialog, IDC_STOP)->isHidden());
    EXPECT_FALSE(dialog.worker().isRunning());

    // The next Start works once threads can be made again.
    dialog.failThread = false;
    dialog.script = untilStopped;
    button(dialog, IDOK)->click();
    EXPECT_TRUE(dialog.worker().active());
    button(dialog, IDC_STOP)->click();
    ASSERT_TRUE(waitFor([&] { return !button(dialog, IDOK)->isHidden(); }));
}

TEST_F(SenderDialogTest, SettingsThatMakeNoRunAreRefusedAtStart)
{
    dialog.lamp().timer().stop();
    struct Case {
        int id;
        const char* text;
        const char* refusal;
    };
    const Case cases[] = {
        {IDC_PACKET_SIZE, "-1", "包尺寸无效."},
        {IDC_GROUP_ADDR, "224.100.100.100.1234", "组播地址无效."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const QString before = edit(dialog, c.id)->text();
        edit(dialog, c.id)->setText(QString::fromUtf8(c.text));
        button(dialog, IDOK)->click();
        EXPECT_EQ(text(dialog, IDC_STATUS), QString::fromUtf8(c.refusal));
        EXPECT_FALSE(dialog.lamp().error()->isHidden());
        EXPECT_FALSE(button(dialog, IDOK)->isHidden());
        edit(dialog, c.id)->setText(before);
    }
    EXPECT_EQ(dialog.launches, 0);
}

TEST_F(SenderDialogTest, AboutOpensFromTheButtonAndFromTheContextMenu)
{
    QString caption, line;
    closeAboutWhenShown(&caption, &line);
    button(dialog, IDC_ABOUT)->click();
    EXPECT_EQ(caption, QStringLiteral("关于..."));
    EXPECT_EQ(line, QStringLiteral("组播测试 (发送端)"));

    ASSERT_NE(dialog.aboutAction(), nullptr);
    EXPECT_EQ(dialog.aboutAction()->text(), QStringLiteral("关于 Dovrin(&A)..."));
    EXPECT_EQ(dialog.contextMenuPolicy(), Qt::ActionsContextMenu);
    caption.clear();
    closeAboutWhenShown(&caption, &line);
    dialog.aboutAction()->trigger();
    EXPECT_EQ(caption, QStringLiteral("关于..."));
    EXPECT_TRUE(dialog.worker().isRunning() == false);
}

TEST_F(SenderDialogTest, EveryTextShowsWholeInTheDialogAndItsAboutBox)
{
    EXPECT_EQ(textFitFaults(dialog), "");
    EXPECT_EQ(aboutTextFitFaults(dialog), "");
}

TEST_F(SenderDialogTest, WorkerReportsReachTheDialogLastTextWinning)
{
    std::atomic<bool> reported{false};
    dialog.lamp().timer().stop();
    dialog.script = [&](ScriptedSender& d) {
        for (int i = 1; i <= 5000; ++i)
            d.sink().showReport({i, 512});
        d.sink().flashLamp(Lamp::Active);
        d.sink().setDefaultLamp(Lamp::Error);
        reported = true;
        while (d.running())
            d.pause(1);
        d.sink().restoreButtons();
    };
    button(dialog, IDOK)->click();
    ASSERT_TRUE(waitFor([&] { return reported.load(); }));
    ASSERT_TRUE(waitFor(
        [&] { return text(dialog, IDC_STATUS) == QStringLiteral("推送尺寸: 5000, 速度: 512"); }));
    // Screen readers read the status itself.
    EXPECT_EQ(
        QAccessible::queryAccessibleInterface(dialog.control(IDC_STATUS))->text(QAccessible::Name),
        text(dialog, IDC_STATUS));
    ASSERT_TRUE(waitFor([&] { return !dialog.lamp().active()->isHidden(); }));
    EXPECT_TRUE(dialog.lamp().idle()->isHidden());
    dialog.lamp().tick();
    EXPECT_FALSE(dialog.lamp().error()->isHidden());
    button(dialog, IDC_STOP)->click();
    ASSERT_TRUE(waitFor([&] { return !button(dialog, IDOK)->isHidden(); }));
}

// A real run: the dialog's worker on lab host 0 streams to a listener on host 1.
TEST(SenderDialogEndToEnd, TheFirstDatagramsArriveNumberedFromZero)
{
    NetnsLab lab(2);
    NETNS_LAB_OR_SKIP(lab);
    DcPool pool;
    ScriptedSender dialog(pool);
    dialog.lab = &lab;
    edit(dialog, IDC_PORT)->setText(QStringLiteral("9100"));

    std::atomic<bool> joined{false};
    std::vector<std::vector<unsigned char>> received;
    std::thread listener = lab.start(1, [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(9100);
        ip_mreq join{};
        join.imr_multiaddr.s_addr = ::inet_addr("224.1.1.1");
        timeval timeout{10, 0};
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0 ||
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
            ::close(fd);
            joined = true;
            return;
        }
        joined = true;
        for (int i = 0; i < 3; ++i) {
            std::vector<unsigned char> datagram(2048);
            const ssize_t n = ::recv(fd, datagram.data(), datagram.size(), 0);
            if (n < 0)
                break;
            datagram.resize(static_cast<std::size_t>(n));
            received.push_back(std::move(datagram));
        }
        ::close(fd);
    });
    ASSERT_TRUE(waitFor([&] { return joined.load(); }));

    button(dialog, IDOK)->click();
    listener.join();
    ASSERT_EQ(received.size(), 3u);
    for (std::uint32_t seq = 0; seq < 3; ++seq) {
        const auto& d = received[seq];
        ASSERT_EQ(d.size(), 1032u);
        EXPECT_EQ(d[0], 0xFE);
        EXPECT_EQ(d[1] | d[2] | d[3], 0);
        std::uint32_t got = 0;
        std::memcpy(&got, d.data() + 4, 4);   // little-endian on the wire and here
        EXPECT_EQ(got, seq);
    }

    // The speed report after 30 datagrams reaches the status line.
    EXPECT_TRUE(
        waitFor([&] { return text(dialog, IDC_STATUS).startsWith(QStringLiteral("推送尺寸: ")); }));
    button(dialog, IDC_STOP)->click();
    ASSERT_TRUE(waitFor([&] { return !button(dialog, IDOK)->isHidden(); }));
    EXPECT_EQ(pool.state(0), -1);   // the run released its slot
}

}   // namespace
