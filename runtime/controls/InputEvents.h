#pragma once

// The mouse and keyboard as the window's events report them.

#include <QKeyEvent>

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
// The window's units: twips, 15 to a pixel at 96 DPI. MouseDown reports its
// position in them.
constexpr int kTwipsPerPixel = 15;
inline float twips(qreal pixels) { return static_cast<float>(pixels * kTwipsPerPixel); }

inline bool isEnterKey(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

// The Menu key, or Shift+F10: the keys that open a control's popup menu.
inline bool isMenuKey(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Menu
        || (event->key() == Qt::Key_F10 && (event->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier);
}

} // namespace rt
