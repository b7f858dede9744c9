#pragma once

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QStyle>
#include <QStyleOption>
#include <QWidget>

#include <ostream>

// Failures show texts as text.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

// What a reader would find cut among a window's controls, one line per
// fault: a text control shorter than its font's line (an edit within the
// area it clips its text to), a group box title shorter than its line or
// reaching into a control it frames, and a text control lying across
// another shown control.
inline QStringList textFitFaults(const QWidget& window)
{
    const QList<QWidget*> controls = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    auto isText = [](const QWidget* w) {
        if (const auto* label = qobject_cast<const QLabel*>(w))
            return label->pixmap().isNull();
        return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w);
    };
    auto describe = [](const QWidget* w) {
        QString text;
        if (const auto* label = qobject_cast<const QLabel*>(w))
            text = label->text();
        else if (const auto* button = qobject_cast<const QAbstractButton*>(w))
            text = button->text();
        else if (const auto* group = qobject_cast<const QGroupBox*>(w))
            text = group->title();
        return QStringLiteral("%1 \"%2\"").arg(w->objectName(), text);
    };

    QStringList faults;
    for (const QWidget* w : controls) {
        const int line = QFontMetrics(w->font()).height();
        if (isText(w)) {
            QRect area = w->rect();
            if (const auto* edit = qobject_cast<const QLineEdit*>(w)) {
                QStyleOptionFrame option;
                option.initFrom(edit);
                option.rect = edit->rect();
                option.lineWidth =
                    edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
                area = edit->style()
                           ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                           .marginsRemoved(edit->textMargins());
            }
            if (area.height() < line)
                faults << QStringLiteral("%1: %2 px for a %3 px line")
                              .arg(describe(w))
                              .arg(area.height())
                              .arg(line);
        }
        if (const auto* group = qobject_cast<const QGroupBox*>(w)) {
            QStyleOptionGroupBox option;
            option.initFrom(group);
            option.rect = group->rect();
            option.text = group->title();
            option.textAlignment = group->alignment();
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            const QRect title =
                group->style()
                    ->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group)
                    .translated(group->pos());
            if (title.height() < line)
                faults << describe(w) + QStringLiteral(": title shorter than its line");
            for (const QWidget* inside : controls) {
                if (inside != w && group->geometry().contains(inside->geometry()) &&
                    inside->geometry().top() <= title.bottom())
                    faults << describe(w) + QStringLiteral(": title reaches ") + describe(inside);
            }
        }
    }
    for (qsizetype i = 0; i < controls.size(); ++i) {
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            const QWidget* w = controls[i];
            const QWidget* other = controls[j];
            const QRect a = w->geometry();
            const QRect b = other->geometry();
            if ((!isText(w) && !isText(other)) || w->isHidden() || other->isHidden() ||
                a.contains(b) || b.contains(a) || !a.intersects(b))
                continue;
            faults << describe(w) + QStringLiteral(" lies across ") + describe(other);
        }
    }
    return faults;
}
