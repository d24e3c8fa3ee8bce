#pragma once

namespace rt {

// Chooses how the window reaches the display, before the application starts:
// through XWayland where Qt's own Wayland title bar would offer a maximize
// button on the fixed-size window. A platform the user named is kept.
void chooseWindowSystem();

} // namespace rt
