#include "shell/about_dialog.h"
#include "shell/dialog_app.h"
#include "shell/dialog_units.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

namespace {

AboutTemplate layout(bool okAfterIcon)
{
    AboutTemplate t;
    t.programLine = QStringLiteral("组播测试 (接收端)");
    t.size = QSize(192, 65);
    t.icon = QRect(7, 7, 21, 21);
    t.program = QRect(33, 7, 99, 8);
    t.ok = QRect(135, 13, 50, 14);
    t.homePage = QRect(33, 26, 99, 8);
    t.mail = QRect(33, 41, 99, 8);
    t.okAfterIcon = okAfterIcon;
    return t;
}

// The About box's controls in creation order, as their texts ("" for the icon).
QStringList controlTexts(const QDialog& box)
{
    QStringList texts;
    for (QObject* child : box.children()) {
        if (auto* label = qobject_cast<QLabel*>(child))
            texts << label->text();
        else if (auto* button = qobject_cast<QPushButton*>(child))
            texts << button->text();
    }
    return texts;
}

TEST(AboutDialogTest, CaptionTextsVersionAndControlOrder)
{
    AboutDialog box(layout(true));
    EXPECT_EQ(box.windowTitle(), QStringLiteral("关于..."));
    EXPECT_EQ(box.size(), DialogUnits().size(192, 65));
    EXPECT_FALSE(box.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(box.windowFlags() & Qt::WindowMaximizeButtonHint);

    const QStringList texts = controlTexts(box);
    ASSERT_EQ(texts.size(), 5);
    EXPECT_EQ(texts[0], QString());
    EXPECT_EQ(texts[1], QStringLiteral("确定"));
    EXPECT_EQ(texts[2], QStringLiteral("组播测试 (接收端)"));
    EXPECT_TRUE(texts[3].startsWith(QStringLiteral("主页: ")));
    EXPECT_TRUE(texts[4].startsWith(QStringLiteral("邮箱: ")));

    auto* program = box.findChildren<QLabel*>().at(1);
    EXPECT_TRUE(program->toolTip().contains(QStringLiteral("1.1.0.0")));

    AboutDialog other(layout(false));
    EXPECT_EQ(controlTexts(other)[1], QStringLiteral("组播测试 (接收端)"));
    EXPECT_EQ(controlTexts(other)[2], QStringLiteral("确定"));
}

TEST(DialogAppTest, TheDialogFaceIsNinePointAndRendersInTheInstalledCjkFace)
{
    const QFont font = QApplication::font();
    EXPECT_EQ(font.family(), QStringLiteral("宋体"));
    EXPECT_EQ(font.pointSize(), 9);
    if (!QFontDatabase::families().contains(QStringLiteral("WenQuanYi Zen Hei")))
        GTEST_SKIP() << "fonts-wqy-zenhei is not installed";
    EXPECT_EQ(QFontInfo(font).family(), QStringLiteral("WenQuanYi Zen Hei"));
}

}   // namespace
