#include "runtime/media/Drives.h"

#include "runtime/media/OnMedium.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"
#include "runtime/media/DeviceProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <sys/stat.h>

namespace rt {

namespace {

// Whether a folder can be listed: opening it is the one test that also holds
// for root, whom access() never refuses.
bool canList(const QByteArray &folder)
{
    return posix::DirHandle(opendir(folder.constData())) != nullptr;
}

} // namespace

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
                answerOf(QFile::decodeName(mountPoint), look, std::chrono::milliseconds(200));
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
    // A silent share, a dying stick would hold the window: the look gets a
    // limited time, with the window live, and the drive is not ready after that.
    try {
        return onMedium(QString(letter), look);
    } catch (const RtError &) {
        return false;
    }
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
        // The label is read from the device itself, which may not answer.
        QString label;
        try {
            label = onMedium(QString(letter), [device = *entry] { return deviceFacts(device).label; },
                             std::chrono::milliseconds(500));
        } catch (const RtError &) {
        }
        if (!label.isEmpty())
            name = label;
    }
    return QStringLiteral("%1: [%2]").arg(letter.toLower()).arg(name);
}

} // namespace rt
