#include "runtime/controls/Controls.h"

#include <QCoreApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>

#include <algorithm>
#include <cmath>

namespace rt {

int shiftState(Qt::KeyboardModifiers modifiers)
{
    return (modifiers & Qt::ShiftModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0)
        | (modifiers & Qt::AltModifier ? 4 : 0);
}

int buttonCode(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton: return MouseButton::Left;
    case Qt::RightButton: return MouseButton::Right;
    case Qt::MiddleButton: return MouseButton::Middle;
    default: return 0;
    }
}


// Marks the control that has the keyboard focus: a dotted rectangle in black
// or white, whichever stands out against the colour beneath it.
void drawFocusMark(QWidget *on, const QRect &rect, const QColor &beneath)
{
    QPainter painter(on);
    QPen pen(qGray(beneath.rgb()) < 128 ? Qt::white : Qt::black, 1, Qt::DotLine);
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect.adjusted(0, 0, -1, -1));
}

// ---- Label, ProgressBar -----------------------------------------------------

Label::Label(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
}

void Label::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    emit captionSet(m_caption);
    postToScreen();
}

void Label::applyToScreen() { setText(m_caption); }

ProgressBar::ProgressBar(QWidget *parent) : QProgressBar(parent)
{
    // Repainting the bar is most of what the window costs a copy; the Windows
    // style draws a vertical bar in about a fifth of Fusion's time.
    static QPointer<QStyle> s_barStyle;
    if (!s_barStyle) {
        s_barStyle = QStyleFactory::create(QStringLiteral("Windows"));
        if (s_barStyle)
            s_barStyle->setParent(QCoreApplication::instance());
    }
    if (s_barStyle)
        setStyle(s_barStyle);
    setOrientation(Qt::Vertical);
    setRange(0, 100);
    setValue(0);
    // The percentage text would cost ten times the bar's own repaint.
    setTextVisible(false);
}

void ProgressBar::setBarValue(float value)
{
    const int whole = std::clamp(static_cast<int>(std::lround(value)), 0, 100);
    if (whole == m_value)
        return;
    m_value = whole;
    emit barValueSet(m_value);
    postToScreen();
}

void ProgressBar::applyToScreen()
{
    // QProgressBar repaints on a new value only once it has moved a chunk
    // since its last paint, and any partial paint counts: the strip under a
    // label that reaches into the bar's column is repainted with every new
    // caption, and the rest of the bar would then stay behind by any number
    // of small steps. The pacer already holds this to one frame: repaint whole.
    setValue(m_value);
    update();
}

// ---- CommandButton, TextBox -------------------------------------------------

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

void TextBox::paintEvent(QPaintEvent *event)
{
    QLineEdit::paintEvent(event);
    if (hasFocus())
        drawFocusMark(this, rect().adjusted(1, 1, -1, -1), palette().color(QPalette::Base));
}

void ProgressBar::refresh()
{
    DisplayPacer::instance().flush();
    repaint();
}
// ---- free functions ---------------------------------------------------------

namespace {
const KeyboardMenuAnchor *s_menuAnchor = nullptr;
}

KeyboardMenuAnchor::KeyboardMenuAnchor(const QPoint &global) : m_point(global), m_outer(s_menuAnchor)
{
    s_menuAnchor = this;
}

KeyboardMenuAnchor::~KeyboardMenuAnchor() { s_menuAnchor = m_outer; }

const QPoint *KeyboardMenuAnchor::current() { return s_menuAnchor ? &s_menuAnchor->m_point : nullptr; }

void popupMenu(QMenu *menu)
{
    const QPoint *anchor = KeyboardMenuAnchor::current();
    menu->exec(anchor ? *anchor : QCursor::pos());
}

void yieldToEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace rt
