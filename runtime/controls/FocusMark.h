#pragma once

#include <QColor>
#include <QRect>

class QWidget;

namespace rt {

// Marks the control that has the keyboard focus: a dotted rectangle in black
// or white, whichever stands out against the colour beneath it.
void drawFocusMark(QWidget *on, const QRect &rect, const QColor &beneath);

} // namespace rt
