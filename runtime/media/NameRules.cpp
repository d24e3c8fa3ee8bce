#include "runtime/media/NameRules.h"

#include <QFile>
#include <QRegularExpression>

namespace rt {

QString nameWithin(const QString &stem, const QString &tail)
{
    const qsizetype room = kNameLimit - QFile::encodeName(tail).size();
    QString cut = stem;
    while (!cut.isEmpty() && QFile::encodeName(cut).size() > room)
        cut.chop(cut.back().isLowSurrogate() && cut.size() > 1 ? 2 : 1);
    return cut + tail;
}

bool leadsOutsideFolder(const QString &name)
{
    static const QRegularExpression separators(QStringLiteral("[\\\\/]"));
    return name.split(separators).contains(QStringLiteral(".."));
}

QString outsideFolderText(const QString &what, const QString &name)
{
    return QStringLiteral("The %1 name '%2' leads outside the chosen folder.").arg(what, name) + QStringLiteral("\r\n")
        + QStringLiteral("A name with a '..' part is not used.");
}

} // namespace rt
