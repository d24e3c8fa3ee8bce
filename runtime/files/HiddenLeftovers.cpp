#include "runtime/files/HiddenLeftovers.h"

#include "runtime/files/OurFiles.h"
#include "runtime/media/DrivePaths.h"
#include "runtime/media/NameRules.h"
#include "runtime/media/Volume.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rt {

namespace {

QString hiddenTail(const QString &random) { return u'.' + random + QStringLiteral(".part"); }

bool isRandomPart(const QByteArray &random)
{
    if (random.isEmpty() || random.size() > 7) // a 32-bit number in base 36
        return false;
    for (const char c : random)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')))
            return false;
    return true;
}

// What the writer's lock on an open file says: held by another open file
// (another copy, in this process or another), free, or not known here.
HiddenLeftover::Lock lockOf(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (posix::retryEintr([&] { return fcntl(fd, F_OFD_GETLK, &lock); }) != 0)
        return HiddenLeftover::Lock::Unknown;
    return lock.l_type == F_UNLCK ? HiddenLeftover::Lock::Free : HiddenLeftover::Lock::Held;
}

// The medium's own clock: the change time of a file made now, in seconds.
std::optional<qint64> mediumNow(int dirFd)
{
    int fd = openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    QByteArray probe;
    if (fd < 0) {
        probe = ".duplon-clock." + QByteArray::number(QRandomGenerator::global()->generate(), 36) + ".tmp";
        fd = openat(dirFd, probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    const bool known = fstat(fd, &st) == 0;
    if (!probe.isEmpty())
        (void)unlinkat(dirFd, probe.constData(), 0);
    posix::closeFd(fd);
    return known ? std::optional<qint64>(st.st_ctim.tv_sec) : std::nullopt;
}

bool hasMapBeside(int dirFd, const QByteArray &entry)
{
    struct stat st {};
    // A name too long to have a map has none; any other doubt counts as one.
    return fstatat(dirFd, (entry + ".map").constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 || (errno != ENOENT && errno != ENAMETOOLONG);
}

} // namespace

bool judgedAsShare(const std::optional<Volume> &volume) { return !volume || volume->network; }

QByteArray hiddenNameFor(const QByteArray &name)
{
    const QString random = QString::number(QRandomGenerator::global()->generate(), 36);
    return QFile::encodeName(nameWithin(u'.' + QFile::decodeName(name), hiddenTail(random)));
}

QByteArray temporaryNameFor(const QString &name)
{
    return QFile::encodeName(nameWithin(u'.' + name, QStringLiteral(".%1.tmp").arg(QRandomGenerator::global()->generate(), 0, 36)));
}

bool isHiddenNameFor(const QByteArray &entry, const QByteArray &name)
{
    if (!entry.startsWith('.') || !entry.endsWith(".part"))
        return false;
    const QByteArray head = entry.chopped(5);
    const qsizetype dot = head.lastIndexOf('.');
    if (dot <= 0 || !isRandomPart(head.mid(dot + 1)))
        return false;
    const QString random = QString::fromLatin1(head.mid(dot + 1));
    return QFile::encodeName(nameWithin(u'.' + QFile::decodeName(name), hiddenTail(random))) == entry;
}

QList<HiddenLeftover> hiddenLeftovers(const QString &drivePath)
{
    const QByteArray path = hostName(drivePath);
    const qsizetype cut = path.lastIndexOf('/');
    const QByteArray folder = cut <= 0 ? QByteArray("/") : path.left(cut), name = path.mid(cut + 1);
    QList<HiddenLeftover> found;
    const posix::DirHandle dir(opendir(folder.constData()));
    if (!dir)
        posix::raiseErrno(NameKind::Folder);
    const bool share = judgedAsShare(volumeOf(QFile::decodeName(folder)));
    std::optional<std::optional<qint64>> now; // asked of the medium once, and only where age tells
    while (const dirent *e = readdir(dir.get())) {
        const QByteArray entry(e->d_name);
        if (!isHiddenNameFor(entry, name))
            continue;
        const int fd = openat(dirfd(dir.get()), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid()) {
            HiddenLeftover l;
            l.name = entry;
            l.device = st.st_dev;
            l.inode = st.st_ino;
            l.lock = lockOf(fd);
            l.marked = markedAsOurs(fd, name);
            l.mapBeside = hasMapBeside(dirfd(dir.get()), entry);
            l.share = share;
            // Only age tells where locks may not: asked of the medium's own clock, once.
            const bool byAge = l.marked && (share || l.lock == HiddenLeftover::Lock::Unknown);
            if (byAge && !now)
                now = mediumNow(dirfd(dir.get()));
            // The change time, never the modification time a copy sets back to its source's.
            l.ageSeconds = byAge && now && *now ? std::max<qint64>(0, **now - qint64(st.st_ctim.tv_sec)) : 0;
            found.append(l);
        }
        posix::closeFd(fd);
    }
    return found;
}

int removeHiddenLeftover(const QString &drivePath, const HiddenLeftover &leftover)
{
    const QByteArray path = hostName(drivePath);
    const qsizetype cut = path.lastIndexOf('/');
    const QByteArray folder = cut <= 0 ? QByteArray("/") : path.left(cut), name = path.mid(cut + 1);
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno;
    int error = 0;
    const int fd = openat(dirFd, leftover.name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0)
        error = errno;
    else if (fstat(fd, &st) != 0)
        error = errno;
    else if (st.st_dev != leftover.device || st.st_ino != leftover.inode)
        error = ENOENT; // another file under that name now: not the one found
    else if (!markedAsOurs(fd, name) || hasMapBeside(dirFd, leftover.name))
        error = EPERM; // not a copy's of ours, or kept as a rescue meanwhile
    else if (lockToClear(fd) == ClearLock::Held)
        error = EBUSY; // a copy writes it
    else
        error = unlinkStill(dirFd, leftover.name, fd); // the lock taken keeps the writer out until it is gone
    if (fd >= 0)
        posix::closeFd(fd);
    posix::closeFd(dirFd);
    return error;
}

} // namespace rt
