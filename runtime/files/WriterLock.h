#pragma once

#include <QString>

namespace rt {

// One writer per rescue: while a copy writes a kept part or an earlier copy,
// it holds an open-file-description lock (F_OFD_SETLK) on it, which goes with
// the descriptor however the program ends. Locks work on local media; a share
// may not keep them, and a medium that cannot lock is written unlocked.

// Takes the writer's lock on an open file; false when another copy holds it.
bool lockAsWriter(int fd);
// Whether another copy holds the writer's lock on the file at the drive-letter
// path (never through a link). May wait on the medium.
bool writtenElsewhere(const QString &drivePath);
// "Another copy is writing it."
QString writtenElsewhereText();

} // namespace rt
