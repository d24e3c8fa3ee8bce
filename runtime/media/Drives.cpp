#include "runtime/media/Drives.h"

#include "runtime/media/OnMedium.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"
#include "runtime/media/DeviceProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace rt {

namespace {

bool isSeparator(QChar c) { return c == u'\\' || c == u'/'; }

QString hostCwd()
{
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    return cwd ? QFile::decodeName(cwd.get()) : QStringLiteral("/");
}

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

// Whether a folder can be listed: opening it is the one test that also holds
// for root, whom access() never refuses.
bool canList(const QByteArray &folder)
{
    return posix::DirHandle(opendir(folder.constData())) != nullptr;
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

QString displayPath(const QString &drivePath)
{
    try {
        return Drives::instance().normalize(drivePath);
    } catch (const RtError &) {
    }
    // A drive that is not ready has no current folder to resolve against; the
    // text is only tidied: single backslashes, none at the end but a root's.
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

Drives::Drives()
{
    useSystemMap();
}

Drives &Drives::instance()
{
    static Drives drives;
    return drives;
}

void Drives::setFixedMap(const std::map<QChar, QString> &map)
{
    const std::lock_guard lock(m_mutex);
    m_fixed = true;
    m_roots.clear();
    m_mounted.clear();
    m_devices.clear();
    m_entries.clear();
    m_goneSince.clear();
    for (const auto &[letter, folder] : map) {
        m_roots[letter.toLower()] = QDir::cleanPath(folder);
        m_mounted[letter.toLower()] = true;
    }
}

void Drives::useSystemMap()
{
    {
        const std::lock_guard lock(m_mutex);
        m_fixed = false;
        m_roots.clear();
        m_mounted.clear();
        m_devices.clear();
        m_entries.clear();
        m_goneSince.clear();
        m_roots[u'c'] = QStringLiteral("/");
        m_mounted[u'c'] = true;
    }
    scanMounts();
}

void Drives::scanMounts()
{
    // Each volume that becomes a drive: its folder and the mount-table line it
    // comes from (a share of GNOME's gvfs: the line of gvfs's own mount).
    std::vector<std::pair<QByteArray, MountEntry>> volumes;
    for (const MountEntry &entry : mountTable()) {
        // Volumes of real devices and network shares become drives; the root is
        // c: already. Squashfs images are packaged software (snaps), not media a
        // user copies from; the system's tmpfs and kernel file systems are no media.
        if (entry.type == "fuse.gvfsd-fuse") {
            // One letter per share that GNOME Files mounted.
            const QDir gvfs(QFile::decodeName(entry.mountPoint));
            for (const QString &share : gvfs.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
                volumes.emplace_back(QFile::encodeName(gvfs.filePath(share)), entry);
            continue;
        }
        if ((!entry.device.startsWith("/dev/") && !isNetworkType(entry.type)) || entry.mountPoint == "/"
            || entry.type == "squashfs")
            continue;
        volumes.emplace_back(entry.mountPoint, entry);
    }
    // Each mount folder is looked at before the lock is taken; a share that
    // does not answer at once keeps the device it had (its drive check then
    // takes its time with the window live).
    std::vector<std::pair<std::pair<QByteArray, MountEntry>, std::optional<dev_t>>> looked;
    for (const auto &volume : volumes) {
        if (!isRepresentableName(volume.first))
            continue;
        const QByteArray mountPoint = volume.first;
        const auto look = [mountPoint]() -> std::optional<dev_t> {
            struct stat st {};
            if (stat(mountPoint.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
                return std::nullopt; // a device bound onto a single file is no drive
            return st.st_dev;
        };
        if (isNetworkType(volume.second.type) || volume.second.type == "fuse.gvfsd-fuse") {
            const std::optional<std::optional<dev_t>> answer =
                answerWithin(std::chrono::milliseconds(200), look, Waiting::Quietly);
            if (answer && !*answer)
                continue;
            looked.push_back({volume, answer ? *answer : std::nullopt});
        } else if (const std::optional<dev_t> device = look()) {
            looked.push_back({volume, device});
        }
    }

    std::function<QList<QChar>()> lettersInUse;
    {
        const std::lock_guard lock(m_mutex);
        lettersInUse = m_lettersInUse;
    }
    const QList<QChar> inUse = lettersInUse ? lettersInUse() : QList<QChar>();
    const std::lock_guard lock(m_mutex);
    for (auto &[letter, mounted] : m_mounted)
        mounted = (letter == u'c');
    const auto take = [&](QChar letter, const auto &volume, std::optional<dev_t> device) {
        m_roots[letter] = QFile::decodeName(volume.first);
        m_mounted[letter] = true;
        m_goneSince.erase(letter);
        m_devices.erase(letter);
        if (device)
            m_devices[letter] = *device;
        m_entries[letter] = volume.second;
    };
    // Volumes that have a letter first, so a letter given again is one whose
    // volume is gone.
    std::vector<std::pair<std::pair<QByteArray, MountEntry>, std::optional<dev_t>>> fresh;
    for (const auto &[volume, device] : looked) {
        const auto known = std::find_if(m_roots.begin(), m_roots.end(),
                                        [&](const auto &r) { return r.second == QFile::decodeName(volume.first); });
        if (known != m_roots.end())
            take(known->first, volume, device);
        else
            fresh.push_back({volume, device});
    }
    const qint64 now = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch()).count();
    for (const auto &[letter, mounted] : m_mounted)
        if (!mounted)
            m_goneSince.try_emplace(letter, now);
    for (const auto &[volume, device] : fresh) {
        QChar found;
        for (char16_t c = u'd'; c <= u'z' && found.isNull(); ++c)
            if (!m_roots.count(QChar(c)))
                found = QChar(c);
        // All taken: the letter whose volume has been gone longest.
        qint64 oldest = 0;
        if (found.isNull()) {
            for (const auto &[letter, since] : m_goneSince)
                if (!inUse.contains(letter) && (found.isNull() || since < oldest)) {
                    found = letter;
                    oldest = since;
                }
        }
        if (!found.isNull())
            take(found, volume, device);
    }
}

void Drives::setLettersInUse(std::function<QList<QChar>()> lettersInUse)
{
    const std::lock_guard lock(m_mutex);
    m_lettersInUse = std::move(lettersInUse);
}

std::optional<MountEntry> Drives::mountEntry(QChar letter) const
{
    const std::lock_guard lock(m_mutex);
    const auto mounted = m_mounted.find(letter.toLower());
    const auto entry = m_entries.find(letter.toLower());
    if (mounted == m_mounted.end() || !mounted->second || entry == m_entries.end())
        return std::nullopt;
    return entry->second;
}

bool Drives::isNetwork(QChar letter) const
{
    const std::optional<MountEntry> entry = mountEntry(letter);
    return entry && (isNetworkType(entry->type) || entry->type == "fuse.gvfsd-fuse");
}

QList<QChar> Drives::refresh()
{
    bool fixed;
    {
        const std::lock_guard lock(m_mutex);
        fixed = m_fixed;
    }
    if (!fixed)
        scanMounts();
    return letters();
}

QList<QChar> Drives::letters() const
{
    const std::lock_guard lock(m_mutex);
    QList<QChar> out;
    for (const auto &[letter, mounted] : m_mounted)
        if (mounted)
            out.append(letter);
    return out;
}

QString Drives::root(QChar letter) const
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_roots.find(letter.toLower());
    return it == m_roots.end() ? QString() : it->second;
}

bool Drives::isReady(QChar letter) const
{
    QByteArray folder;
    std::optional<dev_t> volume;
    {
        const std::lock_guard lock(m_mutex);
        const auto mounted = m_mounted.find(letter.toLower());
        if (mounted == m_mounted.end() || !mounted->second)
            return false;
        folder = QFile::encodeName(root(letter));
        const auto device = m_devices.find(letter.toLower());
        if (device != m_devices.end())
            volume = device->second;
    }
    const auto look = [folder, volume] {
        struct stat st {};
        if (stat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        // Once its volume is unmounted, a mount folder is a plain folder on another
        // device; writing there would put the user's files on the wrong disk.
        if (volume && *volume != st.st_dev)
            return false;
        return canList(folder);
    };
    // A share whose server is silent would hold the window: it gets a limited
    // time, with the window live, and is not ready after that.
    if (isNetwork(letter))
        return answerWithin(kShareAnswerLimit, look, Waiting::Events).value_or(false);
    return look();
}

QString Drives::displayName(QChar letter) const
{
    // "d: [MYSTICK]": the file system's label, as Windows and file managers
    // name a medium; else the mount folder's last name. c: stays "c: [/]".
    const QString folder = root(letter);
    QString name = folder == u"/" ? folder : QFileInfo(folder).fileName();
    std::optional<MountEntry> entry = mountEntry(letter);
    bool fixed;
    {
        const std::lock_guard lock(m_mutex);
        fixed = m_fixed;
    }
    if (fixed) {
        // A fixed map's folder may be a volume's mount folder all the same.
        for (const MountEntry &e : mountTable())
            if (QFile::decodeName(e.mountPoint) == folder)
                entry = e;
    }
    if (entry && entry->device.startsWith("/dev/")) {
        const QString label = deviceFacts(*entry).label;
        if (!label.isEmpty())
            name = label;
    }
    return QStringLiteral("%1: [%2]").arg(letter.toLower()).arg(name);
}

QChar Drives::currentDrive() const
{
    const QString cwd = hostCwd();
    QChar best = u'c';
    qsizetype bestLength = -1;
    const std::lock_guard lock(m_mutex);
    for (const auto &[letter, root] : m_roots) {
        const auto mounted = m_mounted.find(letter);
        if (mounted == m_mounted.end() || !mounted->second)
            continue;
        const bool holds = root == u"/" || cwd == root || cwd.startsWith(root + u'/');
        if (holds && root.size() > bestLength) {
            best = letter;
            bestLength = root.size();
        }
    }
    return best;
}

QString Drives::enterFolder(const QString &hostPath) const
{
    if (chdir(QFile::encodeName(hostPath).constData()) != 0)
        throw errorFromErrno(errno, NameKind::Folder);
    const QChar letter = currentDrive();
    return currentFolder(letter);
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

QString Drives::currentFolder(QChar letter) const
{
    const QString rootPath = QStringLiteral("%1:\\").arg(letter.toUpper());
    if (currentDrive() != letter.toLower())
        return rootPath;
    return toDrivePath(letter, hostCwd()).value_or(rootPath);
}

QString Drives::normalize(const QString &drivePath) const
{
    if (drivePath.size() < 2 || drivePath.at(1) != u':' || !drivePath.at(0).isLetter()
        || drivePath.at(0).unicode() > 127)
        throw RtError(ErrPathNotFound, QStringLiteral("not a drive-letter path: \"%1\"").arg(drivePath));
    const QChar letter = drivePath.at(0).toLower();
    if (!isReady(letter))
        throw RtError(ErrDeviceUnavailable,
                      QStringLiteral("drive %1: is not ready").arg(letter));

    QStringView rest = QStringView(drivePath).mid(2);
    QStringList names;
    if (rest.isEmpty() || !isSeparator(rest.front())) {
        // "c:" and "c:name" start from the drive's current folder.
        names = splitNames(QStringView(currentFolder(letter)).mid(3));
    }
    names += splitNames(rest);
    return QStringLiteral("%1:\\").arg(letter.toUpper()) + resolveNames(names).join(u'\\');
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

QByteArray hostName(const QString &drivePath)
{
    return QFile::encodeName(Drives::instance().toHost(drivePath));
}

} // namespace rt
