#include "copy/rescue/SourceIdentity.h"

#include "copy/rescue/MapFinder.h"
#include "copy/rescue/RescueMap.h"

#include <QDateTime>

#include <cstdlib>

namespace {

constexpr qint64 kSecond = 1000000000;
const QByteArray kKey = "Source";

} // namespace

QByteArray withSourceIdentity(const QByteArray &mapfile, const SourceIdentity &identity)
{
    const qint64 seconds = identity.modifiedNs >= 0 ? identity.modifiedNs / kSecond : -((-identity.modifiedNs + kSecond - 1) / kSecond);
    const qint64 nanos = identity.modifiedNs - seconds * kSecond;
    const QByteArray line = "# " + kKey + ": " + QByteArray::number(identity.length) + ' ' + QByteArray::number(seconds) + '.'
        + QByteArray::number(nanos).rightJustified(9, '0') + ' ' + commentText(identity.name.toUtf8()) + '\n';
    const qsizetype command = mapfile.indexOf("# Command line:");
    const qsizetype after = command < 0 ? 0 : mapfile.indexOf('\n', command) + 1;
    if (command >= 0 && after == 0)
        return mapfile + '\n' + line;
    return mapfile.left(after) + line + mapfile.mid(after);
}

std::optional<SourceIdentity> sourceIdentityIn(const QByteArray &mapfile)
{
    const QByteArray value = mapComment(mapfile, kKey);
    const QList<QByteArray> fields = value.split(' ');
    if (fields.size() < 2)
        return std::nullopt;
    const QList<QByteArray> time = fields[1].split('.');
    bool lengthOk = false, secondsOk = false, nanosOk = false;
    SourceIdentity identity;
    identity.length = fields[0].toLongLong(&lengthOk);
    const qint64 seconds = time[0].toLongLong(&secondsOk);
    const qint64 nanos = time.size() == 2 && time[1].size() == 9 ? time[1].toLongLong(&nanosOk) : 0;
    if (!lengthOk || !secondsOk || !nanosOk || identity.length < 0 || nanos < 0)
        return std::nullopt;
    identity.modifiedNs = seconds * kSecond + nanos;
    // The name back as it was: \xHH stands for a control character.
    QByteArray name = value.mid(fields[0].size() + fields[1].size() + 2);
    for (qsizetype i = name.indexOf("\\x"); i >= 0 && i + 4 <= name.size(); i = name.indexOf("\\x", i + 1)) {
        bool ok = false;
        const int byte = name.mid(i + 2, 2).toInt(&ok, 16);
        if (ok)
            name.replace(i, 4, QByteArray(1, char(byte)));
    }
    identity.name = QString::fromUtf8(name);
    return identity;
}

bool sameSource(const SourceIdentity &mapped, const SourceIdentity &now, bool coarseTimes)
{
    if (mapped.length != now.length)
        return false;
    const qint64 difference = std::llabs(mapped.modifiedNs - now.modifiedNs);
    if (!coarseTimes) {
        const bool wholeSeconds = mapped.modifiedNs % kSecond == 0 || now.modifiedNs % kSecond == 0;
        return wholeSeconds ? mapped.modifiedNs / kSecond == now.modifiedNs / kSecond : difference == 0;
    }
    // FAT keeps 2 s; a time-zone change shifts every time by whole hours (at most a day).
    const qint64 hour = 3600 * kSecond;
    const qint64 shift = (difference + hour / 2) / hour;
    return shift <= 24 && std::llabs(difference - shift * hour) <= 2 * kSecond;
}

QString identityText(const SourceIdentity &identity)
{
    const QDateTime changed = QDateTime::fromMSecsSinceEpoch(identity.modifiedNs / 1000000);
    return QStringLiteral("%1 bytes, changed %2").arg(identity.length).arg(changed.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}
