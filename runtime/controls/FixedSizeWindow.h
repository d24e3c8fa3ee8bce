#pragma once

class QWidget;

namespace rt {

// Keeps a window of fixed size in its normal state: a maximize or full-screen
// request, from the title bar, the compositor or the program, is undone at
// once. On Wayland a maximized window must take the compositor's size, which
// a fixed size cannot, and Weston ends the program for that.
void keepNormalState(QWidget *window);

} // namespace rt
