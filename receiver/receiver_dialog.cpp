#include "receiver/receiver_dialog.h"

#include "core/receive_format.h"
#include "engine/receive_engine.h"
#include "receiver/receiver_ids.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <string>
#include <utility>

using namespace ReceiverIds;

namespace {

AboutTemplate receiverAbout()
{
    AboutTemplate about;
    about.programLine = QStringLiteral("组播测试 (接收端)");
    about.size = QSize(192, 65);
    about.icon = QRect(7, 7, 21, 21);
    about.program = QRect(33, 7, 99, 8);
    about.ok = QRect(135, 13, 50, 14);
    about.homePage = QRect(33, 26, 99, 8);
    about.mail = QRect(33, 41, 99, 8);
    about.okAfterIcon = true;
    return about;
}

}   // namespace

ReceiverDialog::ReceiverDialog(DcPool& pool)
    : MainDialog(QSize(177, 136), QStringLiteral("关于 Kestil(&A)..."), receiverAbout()),
      pool_(pool)
{
    start_ = addButton(IDOK, "IDOK", QStringLiteral("开始"), QRect(130, 24, 41, 29));
    start_->setDefault(true);
    QLabel* label = addLabel(-1, nullptr, QStringLiteral("组播地址"), QRect(5, 10, 33, 8));
    group_ = addEdit(IDC_GROUP_ADDR, "IDC_GROUP_ADDR", QRect(44, 6, 57, 12), label);
    label = addLabel(-1, nullptr, QStringLiteral("端口"), QRect(107, 10, 16, 8));
    port_ = addEdit(IDC_PORT, "IDC_PORT", QRect(127, 6, 37, 12), label);
    stop_ = addButton(IDC_STOP, "IDC_STOP", QStringLiteral("结束"), QRect(130, 24, 41, 29));
    stop_->hide();
    saveToFile_ = addCheckBox(IDC_SAVE_TO_FILE, "IDC_SAVE_TO_FILE", QStringLiteral("保存到文件"),
                              QRect(5, 92, 56, 10));
    fileName_ = addEdit(IDC_FILE_NAME, "IDC_FILE_NAME", QRect(5, 106, 160, 12), nullptr);
    fileName_->setAccessibleName(QStringLiteral("文件名"));

    // The statistics pairs. A value's accessible name stays its text, so
    // that screen readers read the figure; the caption describes it.
    auto addValue = [this](const QString& caption, QRect captionRect, int id, const char* name,
                           QRect valueRect) {
        addLabel(-1, nullptr, caption, captionRect);
        QLabel* value = addLabel(id, name, QString(), valueRect);
        value->setAccessibleDescription(caption);
        return value;
    };
    rate_ = addValue(QStringLiteral("接收速度"), QRect(13, 61, 33, 8), IDC_RECV_RATE,
                     "IDC_RECV_RATE", QRect(54, 61, 64, 8));
    bytes_ = addValue(QStringLiteral("接收尺寸"), QRect(13, 49, 33, 8), IDC_RECV_BYTES,
                      "IDC_RECV_BYTES", QRect(54, 49, 64, 8));
    packets_ = addValue(QStringLiteral("数据包"), QRect(13, 73, 33, 8), IDC_PACKETS, "IDC_PACKETS",
                        QRect(54, 73, 64, 8));
    from_ = addValue(QStringLiteral("来自"), QRect(13, 37, 33, 8), IDC_FROM, "IDC_FROM",
                     QRect(54, 37, 64, 8));
    addGroupBox(QStringLiteral("接收状态"), QRect(5, 24, 117, 65));
    addLamp(IDC_LAMP_ACTIVE, IDC_LAMP_ERROR, IDC_LAMP_IDLE, QRect(131, 80, 13, 11));
    addStatusLine(IDC_STATUS, QRect(5, 121, 160, 8));
    addAboutButton(IDC_ABOUT, QRect(130, 59, 41, 15));
    fitTextHeights();

    connect(start_, &QPushButton::clicked, this, &ReceiverDialog::okCommand);
    connect(stop_, &QPushButton::clicked, this, &ReceiverDialog::stopCommand);
    // Any change of state, from the mouse, the keyboard, code or assistive
    // technology, opens or closes the file once.
    connect(saveToFile_, &QCheckBox::toggled, this, &ReceiverDialog::saveToFileSwitch);

    setWindowTitle(QStringLiteral("组播测试 (接收端)"));
    group_->setText(QString::fromUtf8(RunDefaults::kGroup));
    port_->setText(QString::number(RunDefaults::kPort));
    startLamp();
    fileName_->setText(QString::fromUtf8(RunDefaults::kCaptureFile));
}

ReceiverDialog::~ReceiverDialog()
{
    // The worker writes into capture_: it ends first, then the file closes
    // with everything written.
    worker().stop();
    capture_.close();
}

void ReceiverDialog::okCommand()
{
    if (start_->isHidden())
        return;
    Parsed<ReceiveSettings> parsed =
        ReceiveSettings::parse(group_->text().toStdString(), port_->text().toStdString());
    if (!parsed.settings) {
        reportError(QString::fromUtf8(parsed.refusal.data(),
                                      static_cast<qsizetype>(parsed.refusal.size())));
        return;
    }
    // A worker still ending after Stop is woken and ends first, so runs
    // never overlap and every run releases its slot.
    worker().stop();
    sink_.reset();
    if (!worker().start([this, settings = *parsed.settings] { runEngine(settings); }))
        return;
    start_->hide();
    stop_->show();
}

void ReceiverDialog::stopCommand()
{
    worker().requestStop();
    start_->show();
    stop_->hide();
}

void ReceiverDialog::reject()
{
    worker().stop();
    capture_.close();
    MainDialog::reject();
}

void ReceiverDialog::saveToFileSwitch()
{
    if (!saveToFile_->isChecked()) {
        capture_.close();
        return;
    }
    // The name is read now; later edits count from the next tick.
    const QString name = fileName_->text();
    if (capture_.open(QFile::encodeName(name).toStdString()) != 1) {
        // Nothing is saved, so the box does not claim it; the untick closes
        // nothing.
        saveToFile_->setChecked(false);
        reportError(QStringLiteral("无法打开文件."));
    }
}

void ReceiverDialog::restoreButtons()
{
    stopCommand();
}

void ReceiverDialog::applyStatistics(const ReceiveReport& report)
{
    const ReceiveTexts texts = receiveReportTexts(report);
    from_->setText(QString::fromStdString(texts.from));
    bytes_->setText(QString::fromStdString(texts.bytes));
    rate_->setText(QString::fromStdString(texts.rate));
    packets_->setText(QString::fromStdString(texts.packets));
}

void ReceiverDialog::runEngine(const ReceiveSettings& settings)
{
    ReceiveEngine engine(sink_, capture_, worker().clock(), pool_, settings);
    engine.run();
}

ReceiverDialog::Sink::Sink(ReceiverDialog& dialog) : RunSink(dialog.worker()), dialog_(dialog)
{
}

void ReceiverDialog::Sink::showStatus(const ReceiveStatus& status)
{
    std::string text = receiveStatusText(status);
    if (text.empty())
        return;
    silentAt_.reset();
    if (status.kind == ReceiveStatus::NoData)
        silentAt_ = counted_;
    run_.postStatus(std::move(text));
}

void ReceiverDialog::Sink::showStatistics(const ReceiveReport& report)
{
    counted(report.datagrams);
    dialog_.statistics_.post(report);
}

void ReceiverDialog::Sink::showReceiveInterval(const ReceiveInterval& interval)
{
    // Within an interval of the flow's return, while the figures may wait
    // for their fiftieth datagram.
    counted(interval.total.datagrams);
}

void ReceiverDialog::Sink::counted(std::uint64_t datagrams)
{
    counted_ = std::max(counted_, datagrams);
    if (silentAt_ && counted_ > *silentAt_) {
        silentAt_.reset();
        run_.postStatus({});
    }
}

void ReceiverDialog::Sink::reset()
{
    counted_ = 0;
    silentAt_.reset();
}
