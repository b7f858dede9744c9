#include "receiver/receiver_dialog.h"

#include "channel/dc_pool.h"
#include "receiver/receiver_ids.h"
#include "shell/dialog_units.h"
#include "shell/end_signals.h"
#include "shell/status_lamp.h"
#include "tests/shell/event_wait.h"
#include "tests/shell/text_fit_check.h"
#include "tests/support/netns_lab.h"
#include "tests/support/scripted_dialog.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

using namespace ReceiverIds;

namespace {

class ScriptedReceiver : public ScriptedDialog<ScriptedReceiver, ReceiverDialog, ReceiveSettings> {
public:
    using ReceiverDialog::capture;
    using ScriptedDialog::ScriptedDialog;
};

QCheckBox* saveBox(const MainDialog& d)
{
    return static_cast<QCheckBox*>(d.control(IDC_SAVE_TO_FILE));
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Starts a run of d saving to path whose worker writes 100 bytes to the
// capture every millisecond while it runs, adding what was written; true
// once that is a thousand bytes.
bool startWriting(ScriptedReceiver& d, const QString& path, std::atomic<long>& written)
{
    d.script = [&written](ScriptedReceiver& r) {
        const char payload[100] = {'x'};
        while (r.running()) {
            if (r.capture().write(payload, sizeof payload) == sizeof payload)
                written += sizeof payload;
            r.pause(1);
        }
    };
    edit(d, IDC_FILE_NAME)->setText(path);
    saveBox(d)->click();
    button(d, IDOK)->click();
    return waitFor([&] { return written.load() >= 1000; });
}

class ReceiverDialogTest : public ::testing::Test {
protected:
    DcPool pool;
    ScriptedReceiver dialog{pool};
    QTemporaryDir dir;
};

TEST_F(ReceiverDialogTest, TitleDefaultsAndControlsInTemplateOrder)
{
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("组播测试 (接收端)"));
    EXPECT_EQ(dialog.size(), DialogUnits().size(177, 136));

    expectControls(dialog, {{IDOK, "开始"},
                            {-1, "组播地址"},
                            {IDC_GROUP_ADDR, "224.1.1.1"},
                            {-1, "端口"},
                            {IDC_PORT, "9000"},
                            {IDC_STOP, "结束"},
                            {IDC_SAVE_TO_FILE, "保存到文件"},
                            {IDC_FILE_NAME, "Recv.txt"},
                            {-1, "接收速度"},
                            {IDC_RECV_RATE, ""},
                            {-1, "接收尺寸"},
                            {IDC_RECV_BYTES, ""},
                            {-1, "数据包"},
                            {IDC_PACKETS, ""},
                            {-1, "来自"},
                            {IDC_FROM, ""},
                            {-1, "接收状态"},
                            {IDC_LAMP_ACTIVE, nullptr},
                            {IDC_LAMP_ERROR, nullptr},
                            {IDC_LAMP_IDLE, nullptr},
                            {IDC_STATUS, ""},
                            {IDC_ABOUT, "关于"}});
    EXPECT_FALSE(saveBox(dialog)->isChecked());
    EXPECT_FALSE(dialog.captureFile().isOpen());
    EXPECT_EQ(edit(dialog, IDC_PORT)->accessibleName(), QStringLiteral("端口"));
    EXPECT_EQ(button(dialog, IDC_STOP)->geometry(), DialogUnits().rect(130, 24, 41, 29));
    EXPECT_EQ(dialog.lamp().defaultLamp(), IDC_LAMP_IDLE);
}

TEST_F(ReceiverDialogTest, StopSwapsAtOnceAndTheNextStartWaitsForThePreviousWorker)
{
    std::atomic<int> active{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> runs{0};
    dialog.script = [&](ScriptedReceiver& d) {
        if (active.fetch_add(1) != 0)
            overlapped = true;
        ++runs;
        while (d.running())
            d.pause(1);
        d.pause(50);   // still releasing its channel after Stop
        active.fetch_sub(1);
    };
    auto* start = button(dialog, IDOK);
    auto* stop = button(dialog, IDC_STOP);

    start->click();
    EXPECT_TRUE(start->isHidden());
    EXPECT_FALSE(stop->isHidden());

    // Enter while running issues the OK command, which is ignored.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(edit(dialog, IDC_GROUP_ADDR), &enter);

    stop->click();
    EXPECT_FALSE(start->isHidden());
    EXPECT_TRUE(stop->isHidden());
    EXPECT_FALSE(dialog.worker().isRunning());

    edit(dialog, IDC_PORT)->setText(QStringLiteral("9001"));
    start->click();   // at once, while the first worker is still ending
    EXPECT_TRUE(dialog.worker().isRunning());
    ASSERT_TRUE(waitFor([&] { return runs.load() == 2; }));
    EXPECT_EQ(dialog.settings().port, 9001);
    stop->click();
    dialog.reject();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(runs.load(), 2);
}

TEST_F(ReceiverDialogTest, SaveToFileOpensOnTickClosesOnUntickAndAppendsOnReopen)
{
    const QString path = dir.filePath(QStringLiteral("capture.bin"));
    std::atomic<int> runs{0};
    dialog.script = [&runs](ScriptedReceiver& d) {
        d.capture().write("abc", 3);
        ++runs;
        while (d.running())
            d.pause(1);
    };
    auto run = [&] {
        const int before = runs.load();
        button(dialog, IDOK)->click();
        ASSERT_TRUE(waitFor([&] { return runs.load() == before + 1; }));
        button(dialog, IDC_STOP)->click();
    };

    edit(dialog, IDC_FILE_NAME)->setText(path);
    saveBox(dialog)->click();
    EXPECT_TRUE(dialog.captureFile().isOpen());
    EXPECT_TRUE(QFile::exists(path));

    // The name was read at the tick: a new one changes nothing yet.
    edit(dialog, IDC_FILE_NAME)->setText(dir.filePath(QStringLiteral("other.bin")));
    run();
    saveBox(dialog)->click();
    EXPECT_FALSE(dialog.captureFile().isOpen());
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("other.bin"))));

    run();   // not saving: nothing written
    edit(dialog, IDC_FILE_NAME)->setText(path);
    saveBox(dialog)->click();
    run();
    dialog.reject();
    EXPECT_FALSE(dialog.captureFile().isOpen());   // closed with the dialog's end
    EXPECT_EQ(contents(path), QByteArray("abcabc"));
}

TEST_F(ReceiverDialogTest, AFileThatCannotBeOpenedIsReported)
{
    dialog.lamp().timer().stop();
    edit(dialog, IDC_FILE_NAME)->setText(dir.filePath(QStringLiteral("missing/dir/capture.bin")));
    saveBox(dialog)->click();
    EXPECT_FALSE(saveBox(dialog)->isChecked());   // nothing is being saved
    EXPECT_FALSE(dialog.captureFile().isOpen());
    EXPECT_EQ(text(dialog, IDC_STATUS), QStringLiteral("无法打开文件."));
    EXPECT_FALSE(dialog.lamp().error()->isHidden());

    edit(dialog, IDC_FILE_NAME)->clear();
    saveBox(dialog)->click();
    EXPECT_FALSE(saveBox(dialog)->isChecked());
    EXPECT_FALSE(dialog.captureFile().isOpen());
}

TEST_F(ReceiverDialogTest, ATickFromAScreenReaderOrFromCodeCapturesToo)
{
    edit(dialog, IDC_FILE_NAME)->setText(dir.filePath(QStringLiteral("capture.bin")));
    QAccessibleActionInterface* actions =
        QAccessible::queryAccessibleInterface(saveBox(dialog))->actionInterface();
    ASSERT_NE(actions, nullptr);
    actions->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_TRUE(saveBox(dialog)->isChecked());
    EXPECT_TRUE(dialog.captureFile().isOpen());
    actions->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_FALSE(dialog.captureFile().isOpen());
    saveBox(dialog)->setChecked(true);
    EXPECT_TRUE(dialog.captureFile().isOpen());
}

TEST_F(ReceiverDialogTest, ScreenReadersReadTheStatusAndEachFigureAsShown)
{
    dialog.sink().showStatistics(
        {{IpAddress::v4(0x0a630001), 9000}, 600, 648000, 512, 16});   // 10.99.0.1
    dialog.sink().showStatus(ReceiveStatus{ReceiveStatus::NoData});
    ASSERT_TRUE(waitFor([&] {
        return !text(dialog, IDC_PACKETS).isEmpty() && !text(dialog, IDC_STATUS).isEmpty();
    }));

    struct Row {
        int id;
        const char* shown;
        const char* caption;
    } const rows[] = {
        {IDC_FROM, "10.99.0.1", "来自"},          {IDC_RECV_BYTES, "648000", "接收尺寸"},
        {IDC_RECV_RATE, "512", "接收速度"},       {IDC_PACKETS, "600 (丢包16)", "数据包"},
        {IDC_STATUS, "未接收到数据包..", "状态"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.caption);
        QAccessibleInterface* figure =
            QAccessible::queryAccessibleInterface(dialog.control(row.id));
        ASSERT_NE(figure, nullptr);
        EXPECT_EQ(figure->text(QAccessible::Name), QString::fromUtf8(row.shown));
        EXPECT_EQ(figure->text(QAccessible::Description), QString::fromUtf8(row.caption));
    }
}

// "No datagrams" holds only until they flow again: it goes with the first
// interval or figures that count more than when it was said, not with those
// that count only what came before. Other words stay until replaced.
TEST_F(ReceiverDialogTest, NoDatagramsIsClearedOnceDatagramsAreCountedAgain)
{
    const QString noData = QStringLiteral("未接收到数据包..");
    const QString overflow = QStringLiteral("本机接收缓冲区溢出, 丢弃 3 个数据包.");
    ReceiveInterval interval;
    ReceiveReport report;
    struct Step {
        const char* what;
        std::function<void(ReceiveSink&)> call;
        QString shown;
    };
    const Step steps[] = {
        {"figures of 50",
         [&](ReceiveSink& s) {
             report.datagrams = 50;
             s.showStatistics(report);
         },
         QString()},
        {"silence", [](ReceiveSink& s) { s.showStatus({ReceiveStatus::NoData}); }, noData},
        {"an interval that ended in the silence",
         [&](ReceiveSink& s) {
             interval.total.datagrams = 50;
             s.showReceiveInterval(interval);
         },
         noData},
        {"a join that failed", [](ReceiveSink& s) { s.showStatus({ReceiveStatus::JoinFailed}); },
         noData},
        {"an interval with one more",
         [&](ReceiveSink& s) {
             interval.total.datagrams = 51;
             s.showReceiveInterval(interval);
         },
         QString()},
        {"silence again", [](ReceiveSink& s) { s.showStatus({ReceiveStatus::NoData}); }, noData},
        {"figures of 100",
         [&](ReceiveSink& s) {
             report.datagrams = 100;
             s.showStatistics(report);
         },
         QString()},
        {"silence, then an overflow",
         [](ReceiveSink& s) {
             s.showStatus({ReceiveStatus::NoData});
             s.showStatus({ReceiveStatus::Overflow, 0, 3});
         },
         overflow},
        {"figures of 150",
         [&](ReceiveSink& s) {
             report.datagrams = 150;
             s.showStatistics(report);
         },
         overflow},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.call(dialog.sink());
        QCoreApplication::processEvents();
        ASSERT_TRUE(waitFor([&] { return text(dialog, IDC_STATUS) == step.shown; }))
            << text(dialog, IDC_STATUS).toStdString();
    }
}

TEST_F(ReceiverDialogTest, EveryTextShowsWholeInTheDialogAndItsAboutBox)
{
    EXPECT_EQ(textFitFaults(dialog), "");
    EXPECT_EQ(aboutTextFitFaults(dialog), "");
}

TEST_F(ReceiverDialogTest, ClosingDuringARunEndsTheWorkerWithEverythingWritten)
{
    const QString path = dir.filePath(QStringLiteral("capture.bin"));
    std::atomic<long> written{0};
    dialog.show();
    ASSERT_TRUE(startWriting(dialog, path, written));

    dialog.reject();
    EXPECT_FALSE(dialog.worker().active());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.captureFile().isOpen());
    EXPECT_EQ(contents(path).size(), written.load());
}

TEST_F(ReceiverDialogTest, ASignalEndsTheRunAsClosingDoesAndEndsTheProgramsLoop)
{
    // As the program runs it: the signals blocked before the run's threads
    // start, the dialog modal; once with the About box open over it.
    struct Case {
        int signal;
        bool aboutOpen;
    };
    for (const Case c : {Case{SIGTERM, false}, Case{SIGINT, false}, Case{SIGHUP, true}}) {
        SCOPED_TRACE(strsignal(c.signal));
        // Whatever the tests were started with, the signal is not ignored.
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        struct sigaction byDefault {};
        struct sigaction before {};
        byDefault.sa_handler = SIG_DFL;
        sigaction(c.signal, &byDefault, &before);
        EndSignals endSignals;
        ScriptedReceiver d{pool};
        const QString path = dir.filePath(QStringLiteral("capture-%1.bin").arg(c.signal));
        std::atomic<long> written{0};
        ASSERT_TRUE(startWriting(d, path, written));

        const auto ending = endSignals.endOnSignal(d);
        ASSERT_TRUE(ending);
        QTimer::singleShot(0, &d, [&] {
            QTimer::singleShot(0, [&] { ::raise(c.signal); });
            if (c.aboutOpen)
                d.showAbout();
        });
        // Should a loop be left running, the test ends it and fails.
        bool leftRunning = false;
        QTimer::singleShot(5000, &d, [&leftRunning] {
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QDialog*>(window); box && box->isVisible()) {
                    leftRunning = true;
                    box->done(2);
                }
        });
        EXPECT_EQ(d.exec(), QDialog::Rejected);
        EXPECT_FALSE(leftRunning);
        EXPECT_FALSE(d.worker().active());
        EXPECT_FALSE(d.captureFile().isOpen());
        EXPECT_EQ(contents(path).size(), written.load());
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        sigaction(c.signal, &before, nullptr);
    }
}

TEST_F(ReceiverDialogTest, AFifoIsRefusedAndStopAndCloseReturnPromptly)
{
    // With a reader on the FIFO, a capture into it would block in write
    // once the pipe is full.
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::atomic<long> writes{0};
    dialog.script = [&writes](ScriptedReceiver& d) {
        const std::vector<char> payload(4096, 'x');
        while (d.running()) {
            d.capture().write(payload.data(), static_cast<int>(payload.size()));
            ++writes;
        }
    };
    edit(dialog, IDC_FILE_NAME)->setText(fifo);
    saveBox(dialog)->click();
    EXPECT_FALSE(dialog.captureFile().isOpen());
    EXPECT_EQ(text(dialog, IDC_STATUS), QStringLiteral("无法打开文件."));

    button(dialog, IDOK)->click();
    ASSERT_TRUE(waitFor([&] { return writes.load() > 100; }));
    const auto before = std::chrono::steady_clock::now();
    button(dialog, IDC_STOP)->click();
    dialog.reject();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
    EXPECT_FALSE(dialog.worker().active());
    ::close(reader);
}

TEST_F(ReceiverDialogTest, ARunThatEndsByItselfBringsStartBackUnlessAnotherRunBegan)
{
    std::atomic<int> runs{0};
    // Runs 1 and 3 end by themselves as after 100 failed builds.
    dialog.script = [&runs](ScriptedReceiver& d) {
        if (++runs != 2) {
            d.sink().showStatus({ReceiveStatus::BuildFailed, 100});
            d.sink().restoreButtons();
            return;
        }
        while (d.running())
            d.pause(1);
    };
    auto* start = button(dialog, IDOK);
    auto* stop = button(dialog, IDC_STOP);

    // The first run's restore arrives only after a second run has begun.
    start->click();
    while (runs.load() < 1)
        std::this_thread::yield();
    stop->click();
    start->click();
    ASSERT_TRUE(waitFor([&] { return runs.load() == 2; }));
    QCoreApplication::processEvents();
    EXPECT_TRUE(start->isHidden());
    EXPECT_TRUE(dialog.worker().isRunning());

    stop->click();
    start->click();
    ASSERT_TRUE(waitFor([&] { return !start->isHidden(); }));
    EXPECT_TRUE(stop->isHidden());
    EXPECT_FALSE(dialog.worker().isRunning());
    EXPECT_EQ(text(dialog, IDC_STATUS), QStringLiteral("建立组播接收器失败(100)."));
}

// Sends datagrams tagged with the given sequence numbers from lab host 1,
// each with a 100-byte payload.
void sendFromPeer(const NetnsLab& lab, int port, const std::vector<int>& seqs)
{
    lab.start(1,
              [&] {
                  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
                  sockaddr_in group{};
                  group.sin_family = AF_INET;
                  group.sin_port = htons(static_cast<std::uint16_t>(port));
                  group.sin_addr.s_addr = ::inet_addr("224.1.1.1");
                  for (int seq : seqs) {
                      unsigned char datagram[108] = {0xFE};
                      std::memcpy(datagram + 4, &seq, 4);
                      std::memset(datagram + 8, 'p', 100);
                      ::sendto(fd, datagram, sizeof datagram, 0,
                               reinterpret_cast<sockaddr*>(&group), sizeof group);
                  }
                  ::close(fd);
              })
        .join();
}

std::vector<int> sequence(int from, int to)
{
    std::vector<int> seqs;
    for (int s = from; s <= to; ++s)
        seqs.push_back(s);
    return seqs;
}

// A real run: the dialog's worker on lab host 0 receives on a port from a
// peer on host 1, with Recv.txt in a folder of its own as the file's name.
struct LabReceiver {
    explicit LabReceiver(const QString& port)
    {
        dialog.lab = &lab;
        edit(dialog, IDC_PORT)->setText(port);
        edit(dialog, IDC_FILE_NAME)->setText(path);
    }
    // Starts the run; true once the silent group is reported, when the
    // channel is up and receiving.
    bool start()
    {
        button(dialog, IDOK)->click();
        return waitFor(
            [&] { return text(dialog, IDC_STATUS) == QStringLiteral("未接收到数据包.."); });
    }

    NetnsLab lab{2};
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("Recv.txt"));
    DcPool pool;
    ScriptedReceiver dialog{pool};
};

TEST(ReceiverDialogEndToEnd, StatisticsShowCountsAndLossEveryFiftyDatagrams)
{
    LabReceiver run(QStringLiteral("9200"));
    NETNS_LAB_OR_SKIP(run.lab);
    const NetnsLab& lab = run.lab;
    const QString& path = run.path;
    DcPool& pool = run.pool;
    ScriptedReceiver& dialog = run.dialog;
    saveBox(dialog)->click();
    ASSERT_TRUE(run.start());

    sendFromPeer(lab, 9200, sequence(0, 49));
    ASSERT_TRUE(waitFor([&] { return text(dialog, IDC_PACKETS) == QStringLiteral("50 (丢包0)"); }))
        << text(dialog, IDC_PACKETS).toStdString();
    EXPECT_EQ(text(dialog, IDC_RECV_BYTES), QStringLiteral("5400"));
    EXPECT_EQ(text(dialog, IDC_FROM), QString::fromStdString(lab.hostAddress(1)));
    bool numeric = false;
    text(dialog, IDC_RECV_RATE).toUInt(&numeric);
    EXPECT_TRUE(numeric);

    std::vector<int> gap = sequence(50, 59);
    const std::vector<int> rest = sequence(63, 102);   // 60, 61 and 62 lost
    gap.insert(gap.end(), rest.begin(), rest.end());
    sendFromPeer(lab, 9200, gap);
    ASSERT_TRUE(waitFor([&] { return text(dialog, IDC_PACKETS) == QStringLiteral("100 (丢包3)"); }))
        << text(dialog, IDC_PACKETS).toStdString();
    EXPECT_EQ(text(dialog, IDC_RECV_BYTES), QStringLiteral("10800"));

    sendFromPeer(lab, 9200, sequence(103, 152));
    ASSERT_TRUE(waitFor([&] { return text(dialog, IDC_PACKETS) == QStringLiteral("150 (丢包3)"); }))
        << text(dialog, IDC_PACKETS).toStdString();
    EXPECT_EQ(text(dialog, IDC_RECV_BYTES), QStringLiteral("16200"));

    // After Stop the lamp stays bright green and the statistics stay.
    button(dialog, IDC_STOP)->click();
    EXPECT_EQ(dialog.lamp().defaultLamp(), IDC_LAMP_ACTIVE);
    dialog.reject();
    EXPECT_EQ(pool.state(0), -1);
    EXPECT_EQ(text(dialog, IDC_PACKETS), QStringLiteral("150 (丢包3)"));
    EXPECT_EQ(contents(path), QByteArray(15000, 'p'));
}

// Ticking and unticking 保存到文件 while a stream arrives as fast as the peer
// can send: the file takes only whole payloads, and nothing breaks.
TEST(ReceiverDialogEndToEnd, TickingSaveDuringAFullSpeedStreamKeepsEveryPayloadWhole)
{
    constexpr int kPayload = 100;
    LabReceiver run(QStringLiteral("9201"));
    NETNS_LAB_OR_SKIP(run.lab);
    const NetnsLab& lab = run.lab;
    ScriptedReceiver& dialog = run.dialog;
    ASSERT_TRUE(run.start());

    std::atomic<bool> stop{false};
    std::thread peer = lab.start(1, [&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(9201);
        group.sin_addr.s_addr = ::inet_addr("224.1.1.1");
        unsigned char datagram[8 + kPayload] = {0xFE};
        for (std::uint32_t seq = 0; !stop; ++seq) {
            std::memcpy(datagram + 4, &seq, 4);
            std::memset(datagram + 8, 'a' + static_cast<int>(seq % 26), kPayload);
            ::sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&group),
                     sizeof group);
        }
        ::close(fd);
    });
    ASSERT_TRUE(waitFor([&] { return !text(dialog, IDC_PACKETS).isEmpty(); }));
    for (int i = 0; i < 400; ++i) {
        saveBox(dialog)->click();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    stop = true;
    peer.join();
    button(dialog, IDC_STOP)->click();
    dialog.reject();

    const QByteArray data = contents(run.path);
    ASSERT_GT(data.size(), 0);
    ASSERT_EQ(data.size() % kPayload, 0);
    for (qsizetype at = 0; at < data.size(); at += kPayload) {
        const QByteArray record = data.mid(at, kPayload);
        ASSERT_EQ(record.count(record[0]), kPayload) << "record at " << at << " is torn";
    }
}

}   // namespace
