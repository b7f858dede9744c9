#include "shell/status_lamp.h"

#include <QBitmap>
#include <QColor>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPoint>
#include <QString>
#include <QWidget>

namespace {

constexpr int kBitmapWidth = 19;
constexpr int kBitmapHeight = 16;
const QColor kDialogFace(212, 208, 200);

// Stands in for a lamp bitmap that is missing from the resources: the same
// round lamp on the dialog-face grey, drawn at run time.
QPixmap drawnLamp(const QColor& colour)
{
    QPixmap pixmap(kBitmapWidth, kBitmapHeight);
    pixmap.fill(kDialogFace);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(64, 64, 64), 1.0));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(2.5, 1.5, 13.0, 13.0));
    return pixmap;
}

QLabel* makeLamp(QWidget* dialog, QPoint topLeft, int id, const QString& resource,
                 const QColor& fallback, const QString& accessibleName)
{
    QPixmap pixmap(resource);
    if (pixmap.isNull())
        pixmap = drawnLamp(fallback);
    // The pictures sit on the classic dialog grey; masked out, the lamp sits
    // on whatever face the desktop theme gives the dialog.
    pixmap.setMask(pixmap.createMaskFromColor(kDialogFace, Qt::MaskInColor));
    auto* label = new QLabel(dialog);
    label->setPixmap(pixmap);
    label->setGeometry(QRect(topLeft, pixmap.size()));
    label->setProperty("controlId", id);
    label->setAccessibleName(accessibleName);
    return label;
}

}   // namespace

StatusLamp::StatusLamp(QWidget* dialog, QPoint topLeft, int activeId, int errorId, int idleId)
    : QObject(dialog), activeId_(activeId), errorId_(errorId), idleId_(idleId), default_(idleId)
{
    active_ = makeLamp(dialog, topLeft, activeId, QStringLiteral(":/shell/lamp_active.bmp"),
                       QColor(0, 255, 0), QStringLiteral("状态灯: 工作中"));
    error_ = makeLamp(dialog, topLeft, errorId, QStringLiteral(":/shell/lamp_error.bmp"),
                      QColor(255, 0, 0), QStringLiteral("状态灯: 出错"));
    idle_ = makeLamp(dialog, topLeft, idleId, QStringLiteral(":/shell/lamp_idle.bmp"),
                     QColor(0, 96, 0), QStringLiteral("状态灯: 空闲"));
    active_->setObjectName(QStringLiteral("IDC_LAMP_ACTIVE"));
    error_->setObjectName(QStringLiteral("IDC_LAMP_ERROR"));
    idle_->setObjectName(QStringLiteral("IDC_LAMP_IDLE"));

    timer_.setInterval(kTickMs);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
}

void StatusLamp::flash(int lampId)
{
    active_->hide();
    error_->hide();
    idle_->hide();
    if (lampId == activeId_)
        active_->show();
    else if (lampId == errorId_)
        error_->show();
    else if (lampId == idleId_)
        idle_->show();
}
