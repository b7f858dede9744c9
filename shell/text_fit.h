#pragma once

#include <QRect>

#include <vector>

class QWidget;

// The template's rectangles were measured for a face whose line is 12 pixels
// high; the substitute face needs more, and a control shorter than its line
// cuts the tops and bottoms off its characters.

// How much taller the control must be for one line of its font to show whole
// in its text area; 0 when it is tall enough or shows no text (a picture).
int textHeightShortfall(QWidget& control);

// r grown to height about its vertical centre. Where that reaches into one of
// the obstacles above or below it (those sharing its columns and clear of r),
// it moves away from them as far as the room between them allows; where the
// room is too small it stays centred.
QRect growAboutCentre(const QRect& r, int height, const std::vector<QRect>& obstacles);

// Grows each text control among controls, all children of one parent, that
// is too short for its font, keeping clear of the others, of the titles of
// the group boxes around it and of the parent's edges.
void fitTextHeights(const std::vector<QWidget*>& controls);
