#include "runtime/controls/TextBox.h"

#include "runtime/controls/FocusMark.h"

namespace rt {

void TextBox::paintEvent(QPaintEvent *event)
{
    QLineEdit::paintEvent(event);
    if (hasFocus())
        drawFocusMark(this, rect().adjusted(1, 1, -1, -1), palette().color(QPalette::Base));
}

} // namespace rt
