#include "runtime/files/CopyFolder.h"

#include "runtime/files/HiddenLeftovers.h"
#include "runtime/files/OurFiles.h"
#include "runtime/files/WriterLock.h"
#include "runtime/media/Drives.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace rt {

using posix::raise;
using posix::raiseErrno;
using posix::retryEintr;

CopyFolder::CopyFolder(const QString &copyDrivePath)
{
    const QString normalized = Drives::instance().normalize(copyDrivePath);
    const QByteArray copy = hostName(normalized);
    const qsizetype cut = copy.lastIndexOf('/');
    m_folder = cut <= 0 ? QByteArray("/") : copy.left(cut);
    m_copyName = QFile::decodeName(copy.mid(cut + 1));
    m_driveFolder = parentPath(normalized);
}

QString CopyFolder::drivePath(const QString &name) const
{
    return childPath(m_driveFolder, name);
}

QByteArray CopyFolder::host(const QString &name) const
{
    return (m_folder == "/" ? m_folder : m_folder + '/') + QFile::encodeName(name);
}

QList<CopyFolder::Entry> CopyFolder::entries() const
{
    const posix::DirHandle dir(opendir(m_folder.constData()));
    if (!dir)
        raiseErrno(NameKind::Folder);
    QList<Entry> out;
    errno = 0;
    while (const dirent *e = readdir(dir.get())) {
        const QByteArray name(e->d_name);
        if (name.startsWith('.') || !isRepresentableName(name))
            continue;
        struct stat st {};
        // A link is no map or copy of ours: what it leads to is never gone on with.
        if (fstatat(dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            out.append({QFile::decodeName(name), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                        qint64(st.st_size)});
        errno = 0;
    }
    if (errno != 0)
        raiseErrno(NameKind::Folder);
    return out;
}

namespace {

// [offset, offset + count) of an open regular file, or what of it there is.
std::optional<QByteArray> readRange(int fd, qint64 offset, qint64 count)
{
    QByteArray text(qsizetype(count), Qt::Uninitialized);
    qint64 done = 0;
    ssize_t n = 1;
    for (; n > 0 && done < text.size(); done += n > 0 ? n : 0)
        n = retryEintr([&] { return ::pread(fd, text.data() + done, size_t(text.size() - done), off_t(offset + done)); });
    if (n < 0)
        return std::nullopt;
    text.truncate(qsizetype(done));
    return text;
}

} // namespace

std::optional<QByteArray> CopyFolder::read(const QString &name, qint64 limit) const
{
    const int fd = ::open(host(name).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> content;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= limit) {
        content = readRange(fd, 0, st.st_size);
        if (content && content->size() != st.st_size)
            content.reset();
    }
    posix::closeFd(fd);
    return content;
}

std::optional<QByteArray> CopyFolder::readPart(const QString &name, Part part, qint64 count) const
{
    const int fd = ::open(host(name).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> content;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const qint64 size = std::min<qint64>(count, st.st_size);
        content = readRange(fd, part == Part::First ? 0 : st.st_size - size, size);
    }
    posix::closeFd(fd);
    return content;
}

bool CopyFolder::isCopyFolder(const QByteArray &hostFolder) const
{
    struct stat a {}, b {};
    return stat(hostFolder.constData(), &a) == 0 && stat(m_folder.constData(), &b) == 0 && a.st_dev == b.st_dev
        && a.st_ino == b.st_ino;
}

void CopyFolder::flushFolder() const
{
    // A folder that can be written but not read cannot be flushed: its
    // entries' durability is unknown, as on a medium that cannot flush one.
    const int fd = ::open(m_folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM))
        return;
    if (fd < 0)
        raiseErrno(NameKind::Folder);
    const int failed = posix::flushFolder(fd);
    posix::closeFd(fd);
    if (failed)
        raise(failed, NameKind::Folder);
}

void CopyFolder::replace(const QString &name, const QByteArray &content, bool *named) const
{
    const QByteArray target = host(name);
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = m_folder + '/' + temporaryNameFor(name);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            raiseErrno();
    }
    if (fd < 0)
        raise(EEXIST);
    (void)lockAsWriter(fd); // a clearing of a cut's temporaries leaves it alone while it is written
    int failure = 0;
    posix::pwriteAll(fd, content.constData(), content.size(), 0, failure);
    if (!failure && retryEintr([fd] { return fsync(fd); }) != 0)
        failure = errno;
    if (const int closed = posix::closeFd(fd); closed && !failure)
        failure = closed;
    if (!failure && rename(temporary.constData(), target.constData()) != 0)
        failure = errno;
    if (failure) {
        unlink(temporary.constData());
        raise(failure);
    }
    if (named)
        *named = true;
    flushFolder();
}

void CopyFolder::remove(const QString &name) const
{
    if (unlink(host(name).constData()) != 0 && errno != ENOENT)
        raiseErrno();
    flushFolder();
}

void CopyFolder::removeTemporaries(const QString &name) const
{
    // Named as replace() names them: ".NAME.<random>.tmp".
    const QByteArray head = '.' + QFile::encodeName(name) + '.';
    const posix::DirHandle dir(opendir(m_folder.constData()));
    if (!dir)
        return;
    QList<QByteArray> found;
    while (const dirent *e = readdir(dir.get())) {
        const QByteArray entry(e->d_name);
        struct stat st {};
        if (entry.startsWith(head) && entry.endsWith(".tmp") && fstatat(dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(st.st_mode))
            found.append(entry);
    }
    for (const QByteArray &entry : found) {
        // Never one a save writes now (another window's, another retry's):
        // its writer holds its lock from its creation.
        const int fd = openat(dirfd(dir.get()), entry.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (lockToClear(fd) != ClearLock::Held)
            (void)unlinkStill(dirfd(dir.get()), entry, fd);
        posix::closeFd(fd);
    }
}

bool CopyFolder::removeOursIfFree(const QString &name, qint64 limit, const std::function<bool(const QByteArray &)> &ours) const
{
    const int dirFd = ::open(m_folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        raiseErrno(NameKind::Folder);
    const QByteArray entry = QFile::encodeName(name);
    const int fd = openat(dirFd, entry.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    bool removed = false;
    int error = 0;
    struct stat st {};
    // Its lock first, then its content: a map being finished by another copy
    // is held by it until that copy has its name.
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= limit && lockToClear(fd) != ClearLock::Held) {
        const std::optional<QByteArray> text = readRange(fd, 0, st.st_size);
        if (text && text->size() == st.st_size && ours(*text)) {
            error = unlinkStill(dirFd, entry, fd);
            removed = error == 0;
        }
    }
    if (fd >= 0)
        posix::closeFd(fd);
    posix::closeFd(dirFd);
    if (error && error != ENOENT)
        raise(error);
    if (removed)
        flushFolder();
    return removed;
}

bool CopyFolder::has(const QString &name) const
{
    struct stat st {};
    return lstat(host(name).constData(), &st) == 0 || errno != ENOENT; // what cannot be told is taken
}

HeldFile CopyFolder::hold(const QString &name) const
{
    const int fd = ::open(host(name).constData(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        (void)lockAsWriter(fd);
    return HeldFile(fd);
}

bool CopyFolder::renameToFree(const QString &from, const QString &to) const
{
    const int error = posix::renameNoReplace(AT_FDCWD, host(from).constData(), AT_FDCWD, host(to).constData());
    if (error == EEXIST)
        return false;
    if (error)
        raise(error);
    flushFolder();
    return true;
}

PatchedFile CopyFolder::openCopy() const
{
    const QByteArray copy = host(m_copyName);
    // Never O_CREAT nor O_TRUNC: a copy that has gone is not made again.
    const int fd = openToPatch(copy, O_RDWR);
    if (fd < 0)
        raiseErrno();
    PatchedFile file(fd, {});
    struct stat st {};
    if (fstat(fd, &st) != 0)
        raiseErrno();
    if (!S_ISREG(st.st_mode))
        throw RtError(ErrPathFileAccess, QStringLiteral("Not a regular file: ") + specialFileKind(st.st_mode));
    if (!posix::blockingAgain(fd))
        raiseErrno();
    file.m_modified = st.st_mtim;
    return file;
}

} // namespace rt
