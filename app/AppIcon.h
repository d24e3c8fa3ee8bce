#pragma once

#include <QIcon>
#include <QImage>

// The program's icon at a size in pixels, on a transparent ground.
QImage drawAppIcon(int size);
// The window's icon: the drawing at the sizes a title bar and a task bar use.
QIcon makeAppIcon();
