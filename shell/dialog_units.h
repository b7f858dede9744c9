#pragma once

#include <QRect>
#include <QSize>

// Converts dialog-template units to pixels. The dialogs were laid out for a
// 9-point face whose average character cell is 6 x 12 pixels at 96 dpi, so
// one unit is 1.5 pixels each way there; other screens scale by their
// logical dpi. The substitute face is not measured: its metrics differ enough
// to throw every rectangle off.
class DialogUnits {
public:
    // Logical dpi of the primary screen (96 when there is none).
    DialogUnits();
    DialogUnits(double dpiX, double dpiY) : dpiX_(dpiX), dpiY_(dpiY) {}

    int x(int units) const;
    int y(int units) const;

    // Both edges are converted, so rectangles that touch in units touch in
    // pixels too.
    QRect rect(int left, int top, int width, int height) const;
    QSize size(int width, int height) const;

private:
    double dpiX_ = 96.0;
    double dpiY_ = 96.0;
};
