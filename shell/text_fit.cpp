#include "shell/text_fit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>
#include <climits>

namespace {

// The rectangle the control draws its line of text into, in its own
// coordinates; empty for controls without text.
QRect textArea(const QWidget& control)
{
    if (const auto* label = qobject_cast<const QLabel*>(&control))
        return label->pixmap().isNull() ? label->contentsRect() : QRect();
    if (const auto* edit = qobject_cast<const QLineEdit*>(&control)) {
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.rect = edit->rect();
        option.lineWidth =
            edit->hasFrame()
                ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit)
                : 0;
        const QRect contents =
            edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
        return contents.marginsRemoved(edit->textMargins());
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(&control)) {
        QStyleOptionButton option;
        option.initFrom(button);
        option.rect = button->rect();
        option.text = button->text();
        QStyle::SubElement element = QStyle::SE_PushButtonContents;
        if (qobject_cast<const QCheckBox*>(button))
            element = QStyle::SE_CheckBoxContents;
        else if (qobject_cast<const QRadioButton*>(button))
            element = QStyle::SE_RadioButtonContents;
        return button->style()->subElementRect(element, &option, button);
    }
    return {};
}

// The title of a group box, in its parent's coordinates.
QRect titleRect(const QGroupBox& group)
{
    QStyleOptionGroupBox option;
    option.initFrom(&group);
    option.rect = group.rect();
    option.text = group.title();
    option.textAlignment = group.alignment();
    option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
    const QRect title = group.style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                      QStyle::SC_GroupBoxLabel, &group);
    return title.translated(group.pos());
}

}   // namespace

int textHeightShortfall(QWidget& control)
{
    // Style sheets and the face take effect with the polish.
    control.ensurePolished();
    const QRect area = textArea(control);
    if (area.isNull())
        return 0;
    return std::max(0, QFontMetrics(control.font()).height() - area.height());
}

QRect growAboutCentre(const QRect& r, int height, const std::vector<QRect>& obstacles)
{
    if (r.height() >= height)
        return r;
    QRect grown(r.left(), r.top() - (height - r.height()) / 2, r.width(), height);
    int lowestTop = INT_MIN;
    int highestBottom = INT_MAX;
    for (const QRect& o : obstacles) {
        const bool sharesColumns = o.left() <= r.right() && r.left() <= o.right();
        if (!sharesColumns || o.intersects(r))
            continue;
        if (o.bottom() < r.top())
            lowestTop = std::max(lowestTop, o.bottom() + 1);
        else
            highestBottom = std::min(highestBottom, o.top() - 1);
    }
    // Compared in 64 bits: the bounds may still be the int extremes.
    if (static_cast<long long>(highestBottom) - lowestTop + 1 < height)
        return grown;
    if (grown.top() < lowestTop)
        grown.moveTop(lowestTop);
    if (grown.bottom() > highestBottom)
        grown.moveBottom(highestBottom);
    return grown;
}

void fitTextHeights(const std::vector<QWidget*>& controls)
{
    for (QWidget* control : controls) {
        const int shortfall = textHeightShortfall(*control);
        if (shortfall == 0)
            continue;
        const QRect r = control->geometry();
        const QWidget* parent = control->parentWidget();
        std::vector<QRect> obstacles;
        if (parent) {
            obstacles.emplace_back(0, -1, parent->width(), 1);
            obstacles.emplace_back(0, parent->height(), parent->width(), 1);
        }
        for (const QWidget* other : controls) {
            if (other == control)
                continue;
            const QRect o = other->geometry();
            if (const auto* group = qobject_cast<const QGroupBox*>(other); group && o.contains(r)) {
                obstacles.push_back(titleRect(*group));
            } else if (!o.contains(r)) {
                obstacles.push_back(o);
            }
        }
        control->setGeometry(growAboutCentre(r, r.height() + shortfall, obstacles));
    }
}
