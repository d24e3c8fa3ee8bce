#include "runtime/files/HiddenLeftovers.h"

#include "runtime/media/DrivePaths.h"
#include "runtime/media/NameRules.h"
#include "runtime/media/Volume.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <ctime>
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

} // namespace

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
    const std::optional<Volume> volume = volumeOf(QFile::decodeName(folder));
    const bool share = !volume || volume->network; // unknown: as a share, where only age tells
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
            l.share = share;
            l.ageSeconds = qint64(std::time(nullptr)) - qint64(st.st_mtim.tv_sec);
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
    const QByteArray folder = cut <= 0 ? QByteArray("/") : path.left(cut);
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
    else if (lockOf(fd) == HiddenLeftover::Lock::Held)
        error = EBUSY; // a copy took it up meanwhile
    else if (unlinkat(dirFd, leftover.name.constData(), 0) != 0)
        error = errno;
    if (fd >= 0)
        posix::closeFd(fd);
    posix::closeFd(dirFd);
    return error;
}

} // namespace rt
