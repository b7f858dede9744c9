#pragma once

#include <QDialog>
#include <QRect>
#include <QSize>
#include <QString>

// One program's About box layout, in dialog units.
struct AboutTemplate {
    QString programLine;
    QSize size;
    QRect icon;
    QRect program;
    QRect ok;
    QRect homePage;
    QRect mail;
    bool okAfterIcon = false;   // OK comes second in the control order
};

// The About box: program icon, program line, home page, e-mail address and
// an OK button. The version shows as the program line's tool tip.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    static QString homePageLine();
    static QString mailLine();
    static QString versionLine();

    explicit AboutDialog(const AboutTemplate& layout, QWidget* parent = nullptr);
};
