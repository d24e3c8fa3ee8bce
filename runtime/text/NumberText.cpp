#include "runtime/text/NumberText.h"

#include <QLocale>

#include <cmath>
#include <cstdlib>

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

namespace rt {

namespace {

struct Unit {
    qint64 bytes;
    const char *name;
};
constexpr Unit kUnits[] = {{qint64(1) << 40, "TiB"}, {qint64(1) << 30, "GiB"}, {qint64(1) << 20, "MiB"}, {1024, "KiB"}};

QString byteCount(qint64 bytes)
{
    return QLocale().toString(bytes) + (bytes == 1 || bytes == -1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
}

} // namespace

QString sizeText(qint64 bytes)
{
    for (const Unit &unit : kUnits)
        if (bytes >= unit.bytes)
            return QLocale().toString(double(bytes) / double(unit.bytes), 'f', 1) + u' ' + QLatin1String(unit.name);
    return byteCount(bytes);
}

QString exactSizeText(qint64 bytes)
{
    if (bytes < kUnits[3].bytes)
        return byteCount(bytes);
    QString size = sizeText(bytes);
    for (const Unit &unit : kUnits) {
        if (unit.bytes < kUnits[2].bytes)
            break; // "1 KiB − 24 bytes" says less than "1,000 bytes"
        const qint64 whole = (bytes + unit.bytes / 2) / unit.bytes;
        const qint64 off = bytes - whole * unit.bytes;
        if (whole > 0 && off != 0 && std::abs(off) < 1024) {
            size = QStringLiteral("%1 %2 %3 %4")
                       .arg(QLocale().toString(whole), QLatin1String(unit.name),
                            off < 0 ? QStringLiteral("\u2212") : QStringLiteral("+"), byteCount(std::abs(off)));
            break;
        }
    }
    return size + QStringLiteral(" (%1)").arg(byteCount(bytes));
}

} // namespace rt
