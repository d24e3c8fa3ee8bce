#pragma once

#include <QPoint>

class QMenu;

namespace rt {

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

// Shows a menu at the keyboard's anchor, else at the mouse pointer, and
// returns when it has closed, after the chosen item's handler has run.
void popupMenu(QMenu *menu);

} // namespace rt
