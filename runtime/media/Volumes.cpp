#include "runtime/media/Volumes.h"

#include "runtime/text/NumberText.h"
#include "runtime/posix/PosixIo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <blkid/blkid.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace rt {

namespace {

// The mount table writes space, tab, newline and backslash as \ooo.
QByteArray unescapeOctal(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

// udev writes unsafe bytes of a label as \xNN.
QByteArray unescapeHex(const QByteArray &text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            bool ok = false;
            const int code = text.mid(i + 2, 2).toInt(&ok, 16);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(text[i]);
    }
    return out;
}

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

// Device facts and the real type are read once per mount: a probe reads the
// device, and a drive list asks each time it opens.
std::mutex s_cacheMutex;
std::map<QByteArray, DeviceFacts> s_probed; // key: device + mount folder + st_dev

} // namespace

std::vector<MountEntry> mountTable()
{
    std::vector<MountEntry> out;
    QFile table(QStringLiteral("/proc/self/mounts"));
    if (!table.open(QIODevice::ReadOnly))
        return out;
    // Read at once: the kernel builds the table as it is read, and /proc files
    // report no size, so readAll() reads up to the end.
    const QByteArray text = table.readAll();
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 4)
            continue;
        out.push_back({unescapeOctal(f[0]), unescapeOctal(f[1]), unescapeOctal(f[2]), unescapeOctal(f[3])});
    }
    return out;
}

bool isNetworkType(const QByteArray &mountType)
{
    static const QList<QByteArray> network{"cifs", "smb3", "smbfs", "nfs", "nfs4", "9p",
                                           "fuse.sshfs", "fuse.rclone", "fuse.s3fs"};
    return network.contains(mountType);
}

DeviceFacts probeDevice(const QByteArray &device)
{
    DeviceFacts facts;
    struct stat st {};
    if (!device.startsWith("/dev/") || stat(device.constData(), &st) != 0 || !S_ISBLK(st.st_mode))
        return facts;

    // udev's records: the label as /dev/disk/by-label names it, the type from
    // its database, which is what libudev reads.
    const QByteArray real = QFile::encodeName(QFileInfo(QFile::decodeName(device)).canonicalFilePath());
    const QDir byLabel(QStringLiteral("/dev/disk/by-label"));
    for (const QString &name : byLabel.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (QFile::encodeName(QFileInfo(byLabel.filePath(name)).canonicalFilePath()) == real) {
            facts.label = QString::fromUtf8(unescapeHex(QFile::encodeName(name)));
            break;
        }
    }
    QFile record(QStringLiteral("/run/udev/data/b%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
    if (record.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : record.readAll().split('\n')) {
            if (line.startsWith("E:ID_FS_TYPE="))
                facts.type = QString::fromUtf8(line.mid(13));
            else if (facts.label.isEmpty() && line.startsWith("E:ID_FS_LABEL_ENC="))
                facts.label = QString::fromUtf8(unescapeHex(line.mid(18)));
        }
    }
    if (!facts.type.isEmpty())
        return facts;

    // No udev here (as on build machines): read the file system's own header.
    blkid_probe probe = blkid_new_probe_from_filename(device.constData());
    if (!probe)
        return facts; // no right to read the device
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    if (blkid_do_safeprobe(probe) == 0) {
        const char *value = nullptr;
        if (blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value)
            facts.type = QString::fromUtf8(value);
        if (facts.label.isEmpty() && blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value)
            facts.label = QString::fromUtf8(value);
    }
    blkid_free_probe(probe);
    return facts;
}

DeviceFacts deviceFacts(const MountEntry &entry)
{
    if (!entry.device.startsWith("/dev/"))
        return {};
    struct stat st {};
    stat(entry.mountPoint.constData(), &st);
    const QByteArray key = entry.device + '\0' + entry.mountPoint + '\0' + QByteArray::number(quint64(st.st_dev));
    {
        const std::lock_guard lock(s_cacheMutex);
        const auto it = s_probed.find(key);
        if (it != s_probed.end())
            return it->second;
    }
    const DeviceFacts facts = probeDevice(entry.device);
    const std::lock_guard lock(s_cacheMutex);
    s_probed[key] = facts;
    return facts;
}

Volume describe(const MountEntry &entry)
{
    Volume v;
    v.mountPoint = QFile::decodeName(entry.mountPoint);
    v.device = entry.device;
    v.mountType = entry.type;
    v.network = isNetworkType(entry.type) || entry.type == "fuse.gvfsd-fuse";
    struct stat st {};
    if (stat(entry.mountPoint.constData(), &st) == 0)
        v.fsDevice = st.st_dev;

    const DeviceFacts facts = deviceFacts(entry);
    v.label = facts.label;
    if (entry.type == "fuseblk" || entry.type == "fuse")
        v.type = facts.type.isEmpty() ? QString::fromUtf8(entry.type) : facts.type;
    else if (entry.type.startsWith("fuse."))
        v.type = typeFromSubtype(entry.type);
    else
        v.type = QString::fromUtf8(entry.type);
    if (v.type == u"ntfs3")
        v.type = QStringLiteral("ntfs");

    const bool fat = isFatType(v.type);
    v.maxFileSize = fat ? Q_INT64_C(4294967295) : -1;
    v.hasHoles = !fat && v.type != u"exfat";
    v.mayShareOrCompress = v.type == u"btrfs" || v.type == u"xfs" || v.type == u"zfs" || v.type == u"bcachefs";
    v.windowsNames = fat || v.type == u"exfat" || v.type == u"ntfs";

    struct statvfs fs {};
    if (statvfs(entry.mountPoint.constData(), &fs) == 0) {
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

std::optional<MountEntry> mountHolding(const QByteArray &hostPath, const std::vector<MountEntry> &table)
{
    const MountEntry *best = nullptr;
    for (const MountEntry &e : table) {
        const bool holds = e.mountPoint == "/" || hostPath == e.mountPoint || hostPath.startsWith(e.mountPoint + '/');
        // Later lines cover earlier ones at the same folder.
        if (holds && (!best || e.mountPoint.size() >= best->mountPoint.size()))
            best = &e;
    }
    return best ? std::optional<MountEntry>(*best) : std::nullopt;
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

QString NameRuleBreak::text() const
{
    switch (rule) {
    case Rule::None:
        break;
    case Rule::Character:
        return QStringLiteral("the character '%1'").arg(character);
    case Rule::ControlCharacter:
        return QStringLiteral("a control character (code %1)").arg(character.unicode());
    case Rule::TrailingDotOrSpace:
        return character == u'.' ? QStringLiteral("a dot at its end") : QStringLiteral("a space at its end");
    case Rule::ReservedName:
        return QStringLiteral("the name %1, which Windows keeps for a device").arg(reserved);
    case Rule::TooLong:
        return QStringLiteral("more than 255 characters");
    }
    return QString();
}

NameRuleBreak windowsNameRuleBreak(const QString &name)
{
    using Rule = NameRuleBreak::Rule;
    for (QChar c : name) {
        if (c.unicode() < 0x20)
            return {Rule::ControlCharacter, c, {}};
        if (QStringView(u"\\/:*?\"<>|").contains(c))
            return {Rule::Character, c, {}};
    }
    if (name.endsWith(u'.') || name.endsWith(u' '))
        return {Rule::TrailingDotOrSpace, name.back(), {}};
    // "CON", "con.txt", "LPT1.tar.gz": the part before the first dot counts,
    // with any spaces at its end, which Windows drops.
    const QString stem = name.section(u'.', 0, 0).trimmed().toUpper();
    static const QStringList devices = [] {
        QStringList d{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"), QStringLiteral("NUL")};
        for (int n = 1; n <= 9; ++n)
            d << QStringLiteral("COM%1").arg(n) << QStringLiteral("LPT%1").arg(n);
        return d;
    }();
    if (devices.contains(stem))
        return {Rule::ReservedName, QChar(), stem};
    if (name.size() > 255) // QString counts UTF-16 units, as Windows does
        return {Rule::TooLong, QChar(), {}};
    return {};
}

bool driverTakesName(const QString &hostFolder, const NameRuleBreak &broken)
{
    using Rule = NameRuleBreak::Rule;
    if (broken.rule == Rule::TooLong)
        return false;
    if (broken.rule == Rule::None)
        return true;
    const QString tag = QStringLiteral(".duplon-probe-") + QString::number(QRandomGenerator::global()->generate(), 36);
    const QString probe = broken.rule == Rule::ReservedName ? broken.reserved + tag : tag + broken.character;
    const QByteArray path = QFile::encodeName(hostFolder + u'/' + probe);
    const int fd = posix::retryEintr([&] { return ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
    if (fd >= 0) {
        ::close(fd);
        ::unlink(path.constData());
        return true;
    }
    // Refusals that say nothing of the name: the copy will meet them itself.
    return errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOSPC || errno == EDQUOT
        || errno == EEXIST || errno == EIO;
}

FileSpace fileSpace(const QString &hostPath)
{
    struct stat st {};
    if (stat(QFile::encodeName(hostPath).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return {qint64(st.st_blocks) * 512, qint64(st.st_nlink)};
}

std::optional<QString> caseTwin(const QString &hostFolder, const QString &name)
{
    const posix::DirHandle dir(opendir(QFile::encodeName(hostFolder).constData()));
    if (!dir)
        return std::nullopt;
    while (const dirent *entry = readdir(dir.get())) {
        const QString other = QFile::decodeName(entry->d_name);
        if (other != name && other.compare(name, Qt::CaseInsensitive) == 0)
            return other;
    }
    return std::nullopt;
}

} // namespace rt
