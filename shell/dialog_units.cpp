#include "shell/dialog_units.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace {
constexpr double kReferenceDpi = 96.0;
constexpr double kPixelsPerUnitX = 6.0 / 4.0;    // cell width 6, 4 units per cell
constexpr double kPixelsPerUnitY = 12.0 / 8.0;   // cell height 12, 8 units per cell
}   // namespace

DialogUnits::DialogUnits()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        dpiX_ = screen->logicalDotsPerInchX();
        dpiY_ = screen->logicalDotsPerInchY();
    }
}

int DialogUnits::x(int units) const
{
    return static_cast<int>(std::lround(units * kPixelsPerUnitX * dpiX_ / kReferenceDpi));
}

int DialogUnits::y(int units) const
{
    return static_cast<int>(std::lround(units * kPixelsPerUnitY * dpiY_ / kReferenceDpi));
}

QRect DialogUnits::rect(int left, int top, int width, int height) const
{
    const int x0 = x(left);
    const int y0 = y(top);
    return QRect(x0, y0, x(left + width) - x0, y(top + height) - y0);
}

QSize DialogUnits::size(int width, int height) const
{
    return QSize(x(width), y(height));
}
