#include "runtime/media/Volume.h"

#include "runtime/media/DeviceProbe.h"
#include "runtime/text/NumberText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace rt {

namespace {

bool isFatType(const QString &type) { return type == u"vfat" || type == u"msdos" || type == u"fat"; }

// What a FUSE driver's subtype says of the file system it serves.
QString typeFromSubtype(const QByteArray &mountType)
{
    const QString sub = QString::fromUtf8(mountType.mid(5));
    if (sub == u"fusefat" || isFatType(sub))
        return QStringLiteral("vfat");
    if (sub == u"exfat" || sub == u"exfat-fuse")
        return QStringLiteral("exfat");
    if (sub == u"ntfs" || sub == u"ntfs-3g")
        return QStringLiteral("ntfs");
    return sub; // "sshfs", "rclone" ...
}


} // namespace

Volume Volume::ofType(const QString &type)
{
    Volume v;
    v.type = type == u"ntfs3" ? QStringLiteral("ntfs") : type;
    const bool fat = isFatType(v.type);
    v.maxFileSize = fat ? Q_INT64_C(4294967295) : -1;
    v.hasHoles = !fat && v.type != u"exfat";
    v.mayShareOrCompress = v.type == u"btrfs" || v.type == u"xfs" || v.type == u"zfs" || v.type == u"bcachefs";
    v.windowsNames = fat || v.type == u"exfat" || v.type == u"ntfs";
    v.ignoresCase = fat || v.type == u"exfat";
    // On tmpfs and ramfs the room is memory, checked before writing; a
    // reservation would only make the kernel clear all of it at once.
    v.reserveHelps = v.type != u"tmpfs" && v.type != u"ramfs";
    return v;
}

Volume describe(const MountEntry &entry)
{
    const DeviceFacts facts = deviceFacts(entry);
    QString type;
    if (entry.type == "fuseblk" || entry.type == "fuse")
        type = facts.type.isEmpty() ? QString::fromUtf8(entry.type) : facts.type;
    else if (entry.type.startsWith("fuse."))
        type = typeFromSubtype(entry.type);
    else
        type = QString::fromUtf8(entry.type);
    Volume v = Volume::ofType(type);
    v.label = facts.label;
    v.mountPoint = QFile::decodeName(entry.mountPoint);
    v.device = entry.device;
    v.mountType = entry.type;
    v.network = isNetworkType(entry.type) || entry.type == "fuse.gvfsd-fuse";
    struct stat st {};
    if (stat(entry.mountPoint.constData(), &st) == 0)
        v.fsDevice = st.st_dev;

    // GNOME's network shares answer for their own root, not for the share:
    // their space is not known.
    struct statvfs fs {};
    if (entry.type != "fuse.gvfsd-fuse" && statvfs(entry.mountPoint.constData(), &fs) == 0) {
        const qint64 unit = fs.f_frsize ? qint64(fs.f_frsize) : qint64(fs.f_bsize);
        v.totalBytes = qint64(fs.f_blocks) * unit;
        // What may be written; on ext2/3/4 root may also write the blocks
        // kept back for the administrator. (btrfs's free blocks count room
        // that its metadata will take: only its "available" is near the truth.)
        const bool rootReserve = geteuid() == 0 && v.type.startsWith(u"ext");
        v.freeBytes = qint64(rootReserve ? fs.f_bfree : fs.f_bavail) * unit;
        v.blockSize = std::max<qint64>(512, qint64(fs.f_bsize));
    }
    return v;
}

std::optional<Volume> volumeOf(const QString &hostPath)
{
    // The path's own folder may not exist yet (a new file): its parent decides.
    QString path = QDir::cleanPath(hostPath);
    struct stat st {};
    while (stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (path == u"/" || path.isEmpty())
            return std::nullopt;
        path = QFileInfo(path).path();
    }
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QByteArray host = QFile::encodeName(canonical.isEmpty() ? path : canonical);
    const std::optional<MountEntry> entry = mountHolding(host, mountTable());
    if (!entry)
        return std::nullopt;
    return describe(*entry);
}

QString Volume::description() const
{
    QString text = QStringLiteral("Folder: %1").arg(mountPoint) + u'\n'
        + QStringLiteral("File system: %1").arg(type);
    if (totalBytes >= 0)
        text += u'\n' + QStringLiteral("%1 free of %2").arg(rt::sizeText(freeBytes), rt::sizeText(totalBytes));
    else
        text += u'\n' + QStringLiteral("Free space unknown");
    return text;
}

} // namespace rt
