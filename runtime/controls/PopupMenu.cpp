#include "runtime/controls/PopupMenu.h"

#include <QCursor>
#include <QMenu>

namespace rt {

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

} // namespace rt
