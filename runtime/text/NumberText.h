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

} // namespace rt
