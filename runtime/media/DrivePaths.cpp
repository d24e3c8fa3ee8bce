#include "runtime/media/DrivePaths.h"

#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"

#include <QFile>

#include <algorithm>

namespace rt {

namespace {

bool isSeparator(QChar c) { return c == u'\\' || c == u'/'; }

// Resolves "." and ".." in a list of names without leaving the root.
QStringList resolveNames(const QStringList &names)
{
    QStringList out;
    for (const QString &name : names) {
        if (name.isEmpty() || name == u".")
            continue;
        if (name == u"..") {
            if (!out.isEmpty())
                out.removeLast();
            continue;
        }
        out.append(name);
    }
    return out;
}

} // namespace

bool isRepresentableName(const QByteArray &hostName)
{
    if (hostName.contains('\\'))
        return false;
    // Plain ASCII reads back unchanged in every encoding; only other names
    // need the round trip (a folder can hold 100,000 of them).
    if (std::all_of(hostName.begin(), hostName.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return true;
    return QFile::encodeName(QFile::decodeName(hostName)) == hostName;
}

bool hasDriveLetter(const QString &text)
{
    return text.size() >= 2 && text.at(1) == u':' && text.at(0).isLetter() && text.at(0).unicode() <= 127;
}

QString childPath(const QString &folder, const QString &name)
{
    return folder.endsWith(u'\\') ? folder + name : folder + u'\\' + name;
}

bool isRootPath(const QString &normalizedPath)
{
    return normalizedPath.size() == 3 && normalizedPath.endsWith(u'\\');
}

QString parentPath(const QString &normalizedPath)
{
    if (normalizedPath.size() <= 3)
        return normalizedPath;
    const qsizetype cut = normalizedPath.lastIndexOf(u'\\');
    return cut <= 2 ? normalizedPath.left(3) : normalizedPath.left(cut);
}

QString namePart(const QString &drivePath)
{
    const qsizetype cut = std::max(drivePath.lastIndexOf(u'\\'), drivePath.lastIndexOf(u'/'));
    return drivePath.mid(std::max<qsizetype>(cut + 1, 2));
}

QString folderPart(const QString &drivePath)
{
    const qsizetype cut = std::max(drivePath.lastIndexOf(u'\\'), drivePath.lastIndexOf(u'/'));
    return cut <= 2 ? drivePath.left(3) : drivePath.left(cut);
}

QStringList splitNames(QStringView text)
{
    QStringList names;
    QString current;
    for (QChar c : text) {
        if (isSeparator(c)) {
            names.append(current);
            current.clear();
        } else {
            current.append(c);
        }
    }
    names.append(current);
    return names;
}

QString canonicalPath(QChar letter, const QStringList &names)
{
    return QStringLiteral("%1:\\").arg(letter.toUpper()) + resolveNames(names).join(u'\\');
}

QString tidyPath(const QString &drivePath)
{
    const bool hasLetter = drivePath.size() >= 2 && drivePath.at(1) == u':' && drivePath.at(0).isLetter();
    const QStringView rest = QStringView(drivePath).mid(hasLetter ? 2 : 0);
    const bool absolute = !rest.isEmpty() && isSeparator(rest.front());
    QStringList names = splitNames(rest);
    names.removeAll(QString());
    QString out = hasLetter ? drivePath.left(2).toUpper() : QString();
    if (absolute)
        out += u'\\';
    return out + names.join(u'\\');
}

QString displayPath(const QString &drivePath)
{
    try {
        return Drives::instance().normalize(drivePath);
    } catch (const RtError &) {
    }
    return tidyPath(drivePath);
}

QByteArray hostName(const QString &drivePath)
{
    return QFile::encodeName(Drives::instance().toHost(drivePath));
}

} // namespace rt
