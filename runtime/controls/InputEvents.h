#pragma once

// Private to runtime/: what every control of the window shares.

#include <QColor>
#include <QKeyEvent>
#include <QPoint>
#include <QRect>
#include <QString>

class QWidget;

namespace rt {

// Mouse buttons and shift keys as MouseDown reports them.
namespace MouseButton {
constexpr int Left = 1;
constexpr int Right = 2;
constexpr int Middle = 4;
} // namespace MouseButton

// The Shift, Ctrl and Alt state as MouseDown reports it (1, 2, 4 added).
int shiftState(Qt::KeyboardModifiers modifiers);
// A Qt button as MouseDown numbers it; 0 for others.
int buttonCode(Qt::MouseButton button);
// MouseDown reports its position in twips, 15 to a pixel.
inline float twips(qreal pixels) { return static_cast<float>(pixels * 15); }

inline bool isEnterKey(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

// Where a menu opened from the keyboard (the Menu key, Shift+F10) shows,
// while the handler that opens it runs; a mouse press leaves it unset, and
// the menu then opens at the pointer.
class KeyboardMenuAnchor {
public:
    explicit KeyboardMenuAnchor(const QPoint &global);
    ~KeyboardMenuAnchor();
    KeyboardMenuAnchor(const KeyboardMenuAnchor &) = delete;
    KeyboardMenuAnchor &operator=(const KeyboardMenuAnchor &) = delete;
    // The point of the innermost anchor, or null when no key opened the menu.
    static const QPoint *current();

private:
    QPoint m_point;
    const KeyboardMenuAnchor *m_outer;
};

// The Menu key, or Shift+F10: the keys that open a control's popup menu.
inline bool isMenuKey(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Menu
        || (event->key() == Qt::Key_F10 && (event->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier);
}

// Marks the control that has the keyboard focus: a dotted rectangle in black
// or white, whichever stands out against the colour beneath it.
void drawFocusMark(QWidget *on, const QRect &rect, const QColor &beneath);

} // namespace rt
