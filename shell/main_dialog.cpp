#include "shell/main_dialog.h"

#include "shell/dialog_units.h"
#include "shell/status_lamp.h"
#include "shell/text_fit.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
QRect toPixels(const QRect& units)
{
    return DialogUnits().rect(units.x(), units.y(), units.width(), units.height());
}
}   // namespace

MainDialog::MainDialog(QSize sizeUnits, const QString& aboutMenuText, AboutTemplate about)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      about_(std::move(about)),
      worker_(*this, RunDisplay{[this](const QString& text) { setStatusText(text); },
                                [this](Lamp lamp) {
                                    if (lamp_)
                                        lamp_->flash(lamp_->idOf(lamp));
                                },
                                [this](Lamp lamp) {
                                    if (lamp_)
                                        lamp_->setDefault(lamp_->idOf(lamp));
                                },
                                [this] { restoreButtons(); }})
{
    setFixedSize(DialogUnits().size(sizeUnits.width(), sizeUnits.height()));

    const QIcon icon(QStringLiteral(":/app/icon.png"));
    if (!icon.isNull())
        setWindowIcon(icon);

    // The window menu belongs to the window manager here, so the About entry
    // lives in the dialog's own context menu. An empty text adds no entry.
    if (!aboutMenuText.isEmpty()) {
        aboutAction_ = new QAction(aboutMenuText, this);
        connect(aboutAction_, &QAction::triggered, this, &MainDialog::showAbout);
        addAction(aboutAction_);
        setContextMenuPolicy(Qt::ActionsContextMenu);
    }
}

MainDialog::~MainDialog()
{
    worker_.stop();
}

QWidget* MainDialog::control(int id) const
{
    const auto it = byId_.find(id);
    return it == byId_.end() ? nullptr : it->second;
}

void MainDialog::registerControl(QWidget* widget, int id, const char* name)
{
    widget->setProperty("controlId", id);
    if (name)
        widget->setObjectName(QString::fromLatin1(name));
    if (id != -1)
        byId_[id] = widget;
    // Creation order is Qt's default tab order; stating it keeps it so when
    // a control is added out of line later.
    if (widget->focusPolicy() & Qt::TabFocus) {
        for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
            if ((*it)->focusPolicy() & Qt::TabFocus) {
                setTabOrder(*it, widget);
                break;
            }
        }
    }
    controls_.push_back(widget);
}

QPushButton* MainDialog::addButton(int id, const char* name, const QString& text, QRect units)
{
    auto* button = new QPushButton(text, this);
    button->setGeometry(toPixels(units));
    registerControl(button, id, name);
    return button;
}

QLabel* MainDialog::addLabel(int id, const char* name, const QString& text, QRect units)
{
    auto* label = new QLabel(text, this);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(toPixels(units));
    registerControl(label, id, name);
    return label;
}

QLineEdit* MainDialog::addEdit(int id, const char* name, QRect units, QLabel* label)
{
    auto* edit = new QLineEdit(this);
    edit->setGeometry(toPixels(units));
    // The field is a few pixels lower than Qt's usual line edit; without
    // margins the text keeps its full height.
    edit->setTextMargins(0, 0, 0, 0);
    edit->setStyleSheet(QStringLiteral("QLineEdit { padding: 0px; }"));
    if (label) {
        label->setBuddy(edit);
        edit->setAccessibleName(label->text());
    }
    registerControl(edit, id, name);
    return edit;
}

QCheckBox* MainDialog::addCheckBox(int id, const char* name, const QString& text, QRect units)
{
    auto* box = new QCheckBox(text, this);
    box->setGeometry(toPixels(units));
    registerControl(box, id, name);
    return box;
}

QGroupBox* MainDialog::addGroupBox(const QString& text, QRect units)
{
    auto* group = new QGroupBox(text, this);
    group->setGeometry(toPixels(units));
    // Drawn beneath the statistics it frames, though it follows them in the
    // control order.
    group->lower();
    registerControl(group, -1, nullptr);
    return group;
}

QPushButton* MainDialog::addAboutButton(int id, QRect units)
{
    QPushButton* about = addButton(id, "IDC_ABOUT", QStringLiteral("关于"), units);
    connect(about, &QPushButton::clicked, this, &MainDialog::showAbout);
    return about;
}

void MainDialog::addStatusLine(int id, QRect units)
{
    status_ = addLabel(id, "IDC_STATUS", QString(), units);
    // The name stays the label's text, so that screen readers read the
    // status itself.
    status_->setAccessibleDescription(QStringLiteral("状态"));
}

void MainDialog::addLamp(int activeId, int errorId, int idleId, QRect units)
{
    lamp_ = new StatusLamp(this, toPixels(units).topLeft(), activeId, errorId, idleId);
    registerControl(lamp_->active(), activeId, nullptr);
    registerControl(lamp_->error(), errorId, nullptr);
    registerControl(lamp_->idle(), idleId, nullptr);
}

void MainDialog::fitTextHeights()
{
    ::fitTextHeights(controls_);
}

void MainDialog::startLamp()
{
    lamp_->setDefault(lamp_->idleId());
    lamp_->tick();
    lamp_->start();
}

void MainDialog::showAbout()
{
    AboutDialog box(about_, this);
    box.exec();
}

void MainDialog::reject()
{
    worker_.stop();
    QDialog::reject();
}

void MainDialog::keyPressEvent(QKeyEvent* event)
{
    // Enter issues the OK command, as the hidden Start would, even while
    // Stop is showing; focused push buttons take Enter before it gets here.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool plain = event->modifiers() == Qt::NoModifier ||
                       (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
    if (enter && plain) {
        okCommand();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void MainDialog::setStatusText(const QString& text)
{
    if (status_)
        status_->setText(text);
}

void MainDialog::reportError(const QString& text)
{
    setStatusText(text);
    if (lamp_)
        lamp_->flash(lamp_->errorId());
}
