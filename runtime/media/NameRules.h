#pragma once

// The rules every name the program makes or takes from the user keeps.

#include <QString>

namespace rt {

// The longest file name every medium takes: 255 bytes (ext4 and most others),
// which also keeps within the 255 UTF-16 units of FAT, exFAT and NTFS, as no
// character needs more units than bytes.
constexpr int kNameLimit = 255;

// stem + tail, the stem cut at a whole character where the name would pass
// kNameLimit bytes: what every name the program makes beside a copy is.
QString nameWithin(const QString &stem, const QString &tail);

// Whether a typed name leads outside the folder it is typed in: a part ".."
// between its separators.
bool leadsOutsideFolder(const QString &name);
// What the user is told of such a name; what: "file" or "folder".
QString outsideFolderText(const QString &what, const QString &name);

} // namespace rt
