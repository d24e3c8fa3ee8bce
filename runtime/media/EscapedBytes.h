#pragma once

#include <QByteArray>

namespace rt {

// Bytes the system's tables write escaped, as a backslash, a marker and a
// code of a fixed number of digits: the mount table's \ooo (no marker, 3
// octal digits) and udev's \xNN ("x", 2 hex digits). Anything else stays.
QByteArray unescapeBytes(const QByteArray &text, const QByteArray &marker, int digits, int base);

} // namespace rt
