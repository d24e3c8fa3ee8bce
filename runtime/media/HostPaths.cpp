#include "runtime/media/Drives.h"

#include "runtime/text/RtError.h"

#include <QDir>
#include <QFile>

namespace rt {

QString Drives::normalize(const QString &drivePath) const
{
    if (!hasDriveLetter(drivePath))
        throw RtError(ErrPathNotFound, QStringLiteral("Not a drive-letter path: \"%1\"").arg(drivePath));
    const QChar letter = drivePath.at(0).toLower();
    if (!isReady(letter))
        throw RtError(ErrDeviceUnavailable,
                      QStringLiteral("Drive %1: is not ready").arg(letter));

    const QStringView rest = QStringView(drivePath).mid(2);
    QStringList names;
    if (rest.isEmpty() || (rest.front() != u'\\' && rest.front() != u'/')) {
        // "c:" and "c:name" start from the drive's current folder.
        names = splitNames(QStringView(currentFolder(letter)).mid(3));
    }
    names += splitNames(rest);
    return canonicalPath(letter, names);
}

QString Drives::toHost(const QString &drivePath) const
{
    const QString path = normalize(drivePath);
    const QString r = root(path.at(0));
    const QString rest = path.mid(3).replace(u'\\', u'/');
    if (rest.isEmpty())
        return r;
    return r == u"/" ? r + rest : r + u'/' + rest;
}

std::optional<QString> Drives::toDrivePath(QChar letter, const QString &hostPath) const
{
    const QString r = root(letter);
    if (r.isEmpty())
        return std::nullopt;
    const QString host = QDir::cleanPath(hostPath);
    QString rest;
    if (r == u"/") {
        if (!host.startsWith(u'/'))
            return std::nullopt;
        rest = host.mid(1);
    } else if (host == r) {
        rest.clear();
    } else if (host.startsWith(r + u'/')) {
        rest = host.mid(r.size() + 1);
    } else {
        return std::nullopt;
    }
    const QStringList names = rest.isEmpty() ? QStringList() : rest.split(u'/');
    for (const QString &name : names)
        if (!isRepresentableName(QFile::encodeName(name)))
            return std::nullopt;
    return QStringLiteral("%1:\\").arg(letter.toUpper()) + names.join(u'\\');
}

} // namespace rt
