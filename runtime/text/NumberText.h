#pragma once

#include <QString>
#include <QtGlobal>

namespace rt {

// Rounds to the given number of decimals, a half going to the even digit
// (0.125 -> 0.12, 0.135 -> 0.14 as far as binary allows).
double roundHalfEven(double value, int decimals);
// The nearest whole number, a half going to the even one (12.5 -> 12, 37.5 -> 38).
qint64 toWholeHalfEven(double value);

// The default number-to-text form: shortest form, no trailing zeros, no group
// separators, the locale's decimal separator.
QString numberToText(double value);

// bytes / 1024 / 1024, rounded to two decimals, followed by " MB".
QString megabytesText(qint64 bytes);

// Sizes as messages and tooltips give them, in one set of units and in the
// locale's figures. A size in the largest binary unit it reaches, always with
// one decimal, so that sizes side by side read with the same precision:
// "229.9 MiB", "4.0 GiB", "512 bytes".
QString sizeText(qint64 bytes);
// A size with its exact count of bytes; one a few bytes from a whole unit, as
// a file system's limit is, said from that unit:
// "4 GiB − 1 byte (4,294,967,295 bytes)", "3.0 MiB (3,145,728 bytes)".
QString exactSizeText(qint64 bytes);

} // namespace rt
