#pragma once

#include "shell/main_dialog.h"
#include "tests/shell/event_wait.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QStyleOption>

#include <string>

// What a reader would find cut in a window, one fault after another: a text
// control shorter than its font's line (an edit within the area it clips its
// text to), a group box title reaching into a control it frames, a text
// control lying across another shown control.
inline std::string textFitFaults(const QWidget& window)
{
    const auto controls = window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    auto isText = [](const QWidget* w) {
        const auto* label = qobject_cast<const QLabel*>(w);
        return label ? label->pixmap().isNull() : w->property("text").isValid();
    };
    auto name = [](const QWidget* w) {
        const QString text =
            w->property(qobject_cast<const QGroupBox*>(w) ? "title" : "text").toString();
        return text.isEmpty() ? w->objectName() : text;
    };
    QStringList faults;
    for (qsizetype i = 0; i < controls.size(); ++i) {
        const QWidget* w = controls[i];
        QRect area = w->rect();
        if (const auto* edit = qobject_cast<const QLineEdit*>(w)) {
            QStyleOptionFrame option;
            option.initFrom(edit);
            option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option);
            area = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit);
        }
        if (isText(w) && area.height() < QFontMetrics(w->font()).height())
            faults << name(w) + QStringLiteral(": cut");
        if (const auto* group = qobject_cast<const QGroupBox*>(w)) {
            QStyleOptionGroupBox option;
            option.initFrom(group);
            option.text = group->title();
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            const QRect title = group->style()->subControlRect(QStyle::CC_GroupBox, &option,
                                                               QStyle::SC_GroupBoxLabel, group);
            for (const QWidget* inside : controls) {
                const QRect r = inside->geometry().translated(-group->pos());
                if (inside != w && group->rect().contains(r) && r.top() <= title.bottom())
                    faults << name(w) + QStringLiteral(" over ") + name(inside);
            }
        }
        for (qsizetype j = i + 1; j < controls.size(); ++j) {
            const QWidget* o = controls[j];
            const QRect a = w->geometry();
            const QRect b = o->geometry();
            if ((isText(w) || isText(o)) && !w->isHidden() && !o->isHidden() && a.intersects(b) &&
                !a.contains(b) && !b.contains(a))
                faults << name(w) + QStringLiteral(" across ") + name(o);
        }
    }
    return faults.join(QStringLiteral("; ")).toStdString();
}

// The same for the dialog's About box.
inline std::string aboutTextFitFaults(MainDialog& dialog)
{
    std::string faults = "no About box";
    whenIdle([&faults] {
        if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            faults = textFitFaults(*box);
            box->reject();
        }
    });
    dialog.showAbout();
    return faults;
}
