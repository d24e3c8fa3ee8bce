#pragma once

#include <QIcon>
#include <QImage>

namespace rt {

// The folder lists' pictures, drawn at each size they are shown at: a closed
// folder, and an open one whose front flap is lowered to show its inside, so
// the two tell apart at a glance even at 16 pixels.
QImage drawFolder(int size, bool open);
QIcon folderIcon(bool open);

} // namespace rt
