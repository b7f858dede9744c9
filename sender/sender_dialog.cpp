#include "sender/sender_dialog.h"

#include "core/send_format.h"
#include "engine/send_engine.h"
#include "sender/sender_ids.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace SenderIds;

namespace {

AboutTemplate senderAbout()
{
    AboutTemplate about;
    about.programLine = QStringLiteral("组播测试 (发送端)");
    about.size = QSize(204, 67);
    about.icon = QRect(7, 13, 21, 21);
    about.program = QRect(43, 13, 101, 8);
    about.ok = QRect(147, 13, 50, 14);
    about.homePage = QRect(43, 32, 101, 8);
    about.mail = QRect(43, 47, 101, 8);
    return about;
}

}   // namespace

SenderDialog::SenderDialog(DcPool& pool)
    : MainDialog(QSize(150, 128), QStringLiteral("关于 Dovrin(&A)..."), senderAbout()), pool_(pool)
{
    start_ = addButton(IDOK, "IDOK", QStringLiteral("开始"), QRect(96, 13, 50, 22));
    start_->setDefault(true);
    QLabel* label = addLabel(-1, nullptr, QStringLiteral("组播地址"), QRect(4, 7, 35, 8));
    group_ = addEdit(IDC_GROUP_ADDR, "IDC_GROUP_ADDR", QRect(4, 16, 84, 12), label);
    label = addLabel(-1, nullptr, QStringLiteral("端口"), QRect(4, 33, 35, 8));
    port_ = addEdit(IDC_PORT, "IDC_PORT", QRect(4, 42, 84, 12), label);
    label = addLabel(-1, nullptr, QStringLiteral("发送速度"), QRect(4, 59, 35, 8));
    speed_ = addEdit(IDC_SPEED, "IDC_SPEED", QRect(4, 68, 84, 12), label);
    label = addLabel(-1, nullptr, QStringLiteral("包尺寸"), QRect(4, 85, 35, 8));
    packetSize_ = addEdit(IDC_PACKET_SIZE, "IDC_PACKET_SIZE", QRect(4, 94, 84, 12), label);
    addStatusLine(IDC_STATUS, QRect(4, 112, 138, 8));
    stop_ = addButton(IDC_STOP, "IDC_STOP", QStringLiteral("结束"), QRect(96, 13, 50, 22));
    stop_->hide();
    addLamp(IDC_LAMP_ACTIVE, IDC_LAMP_ERROR, IDC_LAMP_IDLE, QRect(130, 63, 13, 11));
    addAboutButton(IDC_ABOUT, QRect(96, 38, 50, 15));
    fitTextHeights();

    connect(start_, &QPushButton::clicked, this, &SenderDialog::okCommand);
    connect(stop_, &QPushButton::clicked, this, &SenderDialog::stopCommand);

    setWindowTitle(QStringLiteral("组播测试 (发送端)"));
    group_->setText(QString::fromUtf8(RunDefaults::kGroup));
    port_->setText(QString::number(RunDefaults::kPort));
    speed_->setText(QString::number(RunDefaults::kSpeedKbps));
    packetSize_->setText(QString::number(RunDefaults::kPacketSize));
    startLamp();
}

SenderDialog::~SenderDialog()
{
    // The worker uses this object: it ends before any member goes.
    worker().stop();
}

void SenderDialog::okCommand()
{
    // Enter still issues the OK command while Start is hidden; a second
    // worker must not start then.
    if (start_->isHidden())
        return;
    Parsed<SendSettings> parsed =
        SendSettings::parse(group_->text().toStdString(), port_->text().toStdString(),
                            speed_->text().toStdString(), packetSize_->text().toStdString());
    if (!parsed.settings) {
        reportError(QString::fromUtf8(parsed.refusal.data(),
                                      static_cast<qsizetype>(parsed.refusal.size())));
        return;
    }
    if (!worker().start([this, settings = *parsed.settings] { runEngine(settings); }))
        return;
    start_->hide();
    stop_->show();
}

void SenderDialog::stopCommand()
{
    worker().requestStop();
    // A pacing pause for large datagrams at a low speed lasts seconds; the
    // run should not wait it out before Start comes back.
    worker().clock().wake();
}

void SenderDialog::runEngine(const SendSettings& settings)
{
    SendEngine engine(sink_, worker().clock(), pool_, settings);
    engine.run();
}

void SenderDialog::restoreButtons()
{
    stop_->hide();
    start_->show();
}

SenderDialog::Sink::Sink(SenderDialog& dialog) : RunSink(dialog.worker())
{
}

void SenderDialog::Sink::showStatus(const SendStatus& status)
{
    run_.postStatus(sendStatusText(status));
}

void SenderDialog::Sink::showReport(const SendReport& report)
{
    run_.postStatus(sendReportText(report));
}
