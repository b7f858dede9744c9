#include "shell/about_dialog.h"

#include "platform/version.h"
#include "shell/dialog_units.h"
#include "shell/text_fit.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include <vector>

QString AboutDialog::homePageLine()
{
    return QStringLiteral("主页: www.example.org");
}

QString AboutDialog::mailLine()
{
    return QStringLiteral("邮箱: info@example.com");
}

QString AboutDialog::versionLine()
{
    return QStringLiteral("版本 ") + QStringLiteral(MCT_VERSION_TEXT);
}

AboutDialog::AboutDialog(const AboutTemplate& layout, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    const DialogUnits du;
    setWindowTitle(QStringLiteral("关于..."));
    setFixedSize(du.size(layout.size.width(), layout.size.height()));

    auto place = [&du](QWidget* w, const QRect& r) {
        w->setGeometry(du.rect(r.x(), r.y(), r.width(), r.height()));
    };
    auto addText = [&](const QString& text, const QRect& r) {
        auto* label = new QLabel(text, this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        place(label, r);
        return label;
    };
    auto addOk = [&] {
        auto* ok = new QPushButton(QStringLiteral("确定"), this);
        ok->setDefault(true);
        place(ok, layout.ok);
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    };

    auto* icon = new QLabel(this);
    place(icon, layout.icon);
    const QIcon programIcon(QStringLiteral(":/app/icon.png"));
    if (!programIcon.isNull())
        icon->setPixmap(programIcon.pixmap(icon->size()));
    icon->setAccessibleName(QStringLiteral("程序图标"));

    if (layout.okAfterIcon)
        addOk();
    QLabel* program = addText(layout.programLine, layout.program);
    program->setToolTip(versionLine());
    program->setAccessibleDescription(versionLine());
    if (!layout.okAfterIcon)
        addOk();
    addText(homePageLine(), layout.homePage);
    addText(mailLine(), layout.mail);

    std::vector<QWidget*> controls;
    for (QObject* child : children()) {
        if (child->isWidgetType())
            controls.push_back(static_cast<QWidget*>(child));
    }
    fitTextHeights(controls);
}
