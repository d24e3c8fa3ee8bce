#include "copy/rescue/UnfinishedSource.h"

#include "copy/rescue/RescueMap.h"
#include "runtime/files/CopyFolder.h"
#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"

std::optional<UnfinishedSource> unfinishedSource(const QString &sourcePath, qint64 sourceLength)
{
    const QString name = rt::namePart(sourcePath);
    if (!name.endsWith(QStringLiteral(".part")))
        return std::nullopt;
    try {
        const rt::CopyFolder folder(sourcePath);
        const QString mapName = name + QStringLiteral(".map");
        const std::optional<QByteArray> text = folder.read(mapName, 64 * 1048576);
        const std::optional<RescueMap> map = text ? RescueMap::parse(*text) : std::nullopt;
        if (!map || map->end() != sourceLength)
            return std::nullopt;
        return UnfinishedSource{rt::displayPath(folder.drivePath(mapName)), map->end() - map->bytes(RescueMap::Status::Finished)};
    } catch (const rt::RtError &) {
        return std::nullopt; // a folder that cannot be read: nothing to say about it
    }
}

QString unfinishedSourceText(const UnfinishedSource &source)
{
    return QStringLiteral("The file copied is an unfinished rescue: %1 bytes of it were never read, as its map %2 says.")
        .arg(source.neverRead)
        .arg(source.mapPath);
}
