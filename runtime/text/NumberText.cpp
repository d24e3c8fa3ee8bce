#include "runtime/text/NumberText.h"

#include <QLocale>

#include <cmath>

namespace rt {

double roundHalfEven(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    // nearbyint rounds a half to even in the default rounding mode. Byte counts
    // over 2^20 are exact in binary, so the halves it sees are true halves.
    return std::nearbyint(value * scale) / scale;
}

qint64 toWholeHalfEven(double value)
{
    return static_cast<qint64>(std::nearbyint(value));
}

QString numberToText(double value)
{
    if (value == 0)
        return QStringLiteral("0"); // never "-0"
    QString text = QString::number(value, 'g', 15);
    const QString point = QLocale().decimalPoint();
    if (point != u".")
        text.replace(u'.', point);
    return text;
}

QString megabytesText(qint64 bytes)
{
    return numberToText(roundHalfEven(static_cast<double>(bytes) / 1024 / 1024, 2))
        + QStringLiteral(" MB");
}

} // namespace rt
