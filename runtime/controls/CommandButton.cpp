#include "runtime/controls/CommandButton.h"

#include "runtime/controls/FocusMark.h"
#include "runtime/controls/InputEvents.h"

#include <QShortcutEvent>

namespace rt {

bool CommandButton::event(QEvent *event)
{
    // Qt presses a button for its access key only after a short animation, by
    // then a copy may have run on by a piece; a click is handled at once.
    if (event->type() == QEvent::Shortcut && isEnabled()
        && !static_cast<QShortcutEvent *>(event)->isAmbiguous()) {
        click();
        return true;
    }
    return QPushButton::event(event);
}

void CommandButton::keyPressEvent(QKeyEvent *event)
{
    if (isEnterKey(event) && event->modifiers() == Qt::NoModifier) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

void CommandButton::paintEvent(QPaintEvent *event)
{
    QPushButton::paintEvent(event);
    if (hasFocus())
        drawFocusMark(this, rect().adjusted(4, 4, -4, -4), palette().color(QPalette::Button));
}

} // namespace rt
