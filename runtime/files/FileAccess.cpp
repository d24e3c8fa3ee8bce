#include "runtime/files/FileAccess.h"

#include "runtime/files/HiddenLeftovers.h"
#include "runtime/files/MediumSectors.h"
#include "runtime/files/OurFiles.h"
#include "runtime/files/WriterLock.h"
#include "runtime/media/Drives.h"
#include "runtime/media/Volume.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>

#include <algorithm>
#include <climits>
#include <limits>
#include <string>
#include <utility>
#include <vector>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace rt {

using posix::raiseErrno;
using posix::retryEintr;

QString specialFileKind(mode_t mode)
{
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a file");
}

QString findFile(const QString &drivePath)
{
    const QByteArray host = hostName(drivePath);
    struct stat st {};
    if (stat(host.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? QString() : namePart(drivePath);
    // A link to nothing is an entry all the same: a copy would replace it.
    if (lstat(host.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        return namePart(drivePath);
    return QString();
}

bool isLink(const QString &drivePath)
{
    struct stat st {};
    return lstat(hostName(drivePath).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

qint64 fileLength(const QString &drivePath)
{
    const QByteArray host = hostName(drivePath);
    struct stat st {};
    if (stat(host.constData(), &st) != 0)
        raiseErrno();
    return st.st_size;
}

void makeDir(const QString &drivePath)
{
    if (mkdir(hostName(drivePath).constData(), 0777) != 0)
        raiseErrno(NameKind::Folder);
}

void removeDir(const QString &drivePath)
{
    if (isRootPath(Drives::instance().normalize(drivePath)))
        throw RtError(ErrPathFileAccess, QStringLiteral("A drive's root folder cannot be removed"));
    if (rmdir(hostName(drivePath).constData()) != 0)
        raiseErrno(NameKind::Folder);
}

void killFile(const QString &drivePath)
{
    const QByteArray host = hostName(drivePath);
    struct stat st {};
    if (lstat(host.constData(), &st) != 0)
        raiseErrno();
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        raiseErrno();
    }
    if (unlink(host.constData()) != 0)
        raiseErrno();
}

bool folderExists(const QString &drivePath)
{
    try {
        struct stat st {};
        return stat(hostName(drivePath).constData(), &st) == 0 && S_ISDIR(st.st_mode);
    } catch (const RtError &) {
        return false;
    }
}

bool createNewFile(const QString &drivePath, const QByteArray &content, HeldFile *held)
{
    // Written whole under a hidden temporary name first, and only then named,
    // never over a file: a cut leaves the name free or holding all of it,
    // never an empty or partial file that no one can tell for ours.
    const QByteArray host = hostName(drivePath);
    const QByteArray folder = host.left(host.lastIndexOf('/') + 1);
    struct stat st {};
    if (lstat(host.constData(), &st) == 0)
        return false;
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = folder + temporaryNameFor(QFile::decodeName(host.mid(folder.size())));
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            raiseErrno();
    }
    if (fd < 0)
        throw errorFromErrno(EEXIST);
    // Locked from its creation: a clearing of a cut's temporaries leaves it alone.
    (void)lockAsWriter(fd);
    int failure = 0;
    posix::pwriteAll(fd, content.constData(), content.size(), 0, failure);
    if (!failure && retryEintr([fd] { return fdatasync(fd); }) != 0)
        failure = errno;
    if (!failure) {
        failure = posix::renameNoReplace(AT_FDCWD, temporary.constData(), AT_FDCWD, host.constData());
        if (failure == EEXIST) {
            unlink(temporary.constData());
            posix::closeFd(fd);
            return false;
        }
    }
    if (failure) {
        unlink(temporary.constData());
        posix::closeFd(fd);
        throw errorFromErrno(failure);
    }
    if (held) {
        *held = HeldFile(fd);
        return true;
    }
    (void)posix::closeFd(fd); // its content was flushed before it took the name
    return true;
}


bool sameFile(const QString &drivePathA, const QString &drivePathB)
{
    struct stat a {}, b {};
    try {
        if (stat(hostName(drivePathA).constData(), &a) != 0
            || stat(hostName(drivePathB).constData(), &b) != 0)
            return false;
    } catch (const RtError &) {
        return false; // a path on a drive that is not ready names no file at all
    }
    if (a.st_dev != b.st_dev)
        return false;
    if (a.st_ino == b.st_ino)
        return true;
    // FUSE media (exfat-fuse, sshfs, gvfs) may give each name a number of its
    // own, so other numbers prove nothing there: the real paths decide, with
    // letter case ignored where the volume ignores it.
    const auto realPath = [](const QString &drivePath) {
        char *real = realpath(hostName(drivePath).constData(), nullptr);
        const QString path = real ? QFile::decodeName(real) : QString();
        std::free(real);
        return path;
    };
    const QString realA = realPath(drivePathA);
    const QString realB = realPath(drivePathB);
    if (realA.isEmpty() || realB.isEmpty())
        return false;
    const std::optional<Volume> volume = volumeOf(realA);
    return realA.compare(realB, volume && volume->ignoresCase ? Qt::CaseInsensitive : Qt::CaseSensitive) == 0;
}

// ---- File -------------------------------------------------------------------

File File::open(const QString &drivePath, Access access, mode_t createMode)
{
    const QByteArray host = hostName(drivePath);
    // O_NONBLOCK keeps a FIFO from hanging the window at open; it is cleared
    // again at once for ordinary files.
    const int flags = (access == Access::Read ? O_RDONLY : (O_WRONLY | O_CREAT)) | O_CLOEXEC
        | O_NONBLOCK;
    const int fd = retryEintr([&] { return ::open(host.constData(), flags, createMode); });
    if (fd < 0)
        raiseErrno();
    File file(fd);
    const bool allowed = S_ISREG(file.m_mode) || (access == Access::Read && S_ISBLK(file.m_mode));
    if (!allowed) {
        if (S_ISDIR(file.m_mode)) {
            errno = EISDIR;
            raiseErrno();
        }
        throw RtError(ErrPathFileAccess, QStringLiteral("Not a regular file: ") + specialFileKind(file.m_mode));
    }
    if (!posix::blockingAgain(fd))
        raiseErrno();
    char *canonical = realpath(host.constData(), nullptr);
    file.m_origin.host = canonical ? QByteArray(canonical) : host;
    std::free(canonical);
    if (const std::optional<MountEntry> mount = mountHolding(file.m_origin.host, mountTable())) {
        file.m_origin.mountPoint = mount->mountPoint;
        file.m_origin.mountDevice = mount->device;
    }
    return file;
}

bool File::mediumGone() const
{
    if (m_origin.host.isEmpty())
        return false;
    // Errors that say the medium, not the one read, is lost; EIO may be
    // only the damage, and the mount table tells the rest.
    struct stat st {};
    if (stat(m_origin.host.constData(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ENOTCONN || errno == ENODEV || errno == ENXIO
            || errno == ESTALE)
            return true;
    } else if (st.st_dev != m_origin.device || st.st_ino != m_origin.inode) {
        return true;
    }
    if (!m_origin.mountPoint.isEmpty()) {
        if (!m_origin.mountWatch)
            m_origin.mountWatch = std::make_shared<MountTableWatch>();
        if (m_origin.mountWatch->changed()) {
            const std::vector<MountEntry> table = mountTable();
            const bool mounted = std::any_of(table.begin(), table.end(), [this](const MountEntry &e) {
                return e.mountPoint == m_origin.mountPoint && e.device == m_origin.mountDevice;
            });
            if (table.empty())
                m_origin.mountWatch.reset(); // not read: read it again next time
            else if (!mounted)
                return true;
        }
    }
    return m_origin.mountDevice.startsWith("/dev/") && stat(m_origin.mountDevice.constData(), &st) != 0
        && errno == ENOENT;
}

File::File(int fd) : m_fd(fd)
{
    // A file whose kind cannot be told is taken for none that may be opened.
    struct stat st {};
    if (fstat(fd, &st) == 0) {
        m_mode = st.st_mode;
        m_origin.device = st.st_dev;
        m_origin.inode = st.st_ino;
    }
}

File::File(File &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_mode(other.m_mode)
    , m_origin(std::move(other.m_origin))
{
}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_mode = other.m_mode;
        m_origin = std::move(other.m_origin);
    }
    return *this;
}

File::~File() { close(); }

int File::close()
{
    m_origin.mountWatch.reset(); // its descriptor goes with the file's
    if (m_fd < 0)
        return 0;
    return posix::closeFd(std::exchange(m_fd, -1));
}

qint64 File::length() const
{
    struct stat st {};
    if (fstat(m_fd, &st) != 0)
        raiseErrno();
    if (S_ISBLK(st.st_mode)) {
        const off_t end = lseek(m_fd, 0, SEEK_END);
        return end < 0 ? 0 : end;
    }
    return st.st_size;
}

qint64 File::blockSize() const
{
    return mediumSectors(m_fd).damageUnit();
}

mode_t File::permissions() const
{
    struct stat st {};
    if (fstat(m_fd, &st) != 0)
        raiseErrno();
    return st.st_mode & 0777;
}

} // namespace rt
