#include "runtime/files/OurFiles.h"

#include "runtime/posix/PosixIo.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace rt {

namespace {

constexpr char kMark[] = "user.duplon.copy";

} // namespace

void markAsOurs(int fd, const QByteArray &forName)
{
    (void)fsetxattr(fd, kMark, forName.constData(), size_t(forName.size()), 0);
}

bool markedAsOurs(int fd, const QByteArray &forName)
{
    QByteArray value(256, Qt::Uninitialized);
    const ssize_t n = fgetxattr(fd, kMark, value.data(), size_t(value.size()));
    return n >= 0 && value.left(qsizetype(n)) == forName;
}

void unmarkAsOurs(int fd) { (void)fremovexattr(fd, kMark); }

ClearLock lockToClear(int fd)
{
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    if (posix::retryEintr([&] { return fcntl(fd, F_OFD_SETLK, &lock); }) == 0)
        return ClearLock::Taken;
    return errno == EAGAIN || errno == EACCES ? ClearLock::Held : ClearLock::Unknown;
}

int unlinkStill(int dirFd, const QByteArray &name, int fd)
{
    struct stat opened {}, named {};
    if (fstat(fd, &opened) != 0)
        return errno;
    if (fstatat(dirFd, name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino)
        return ENOENT; // another file under that name now: not the one looked at
    return unlinkat(dirFd, name.constData(), 0) == 0 ? 0 : errno;
}

HeldFile &HeldFile::operator=(HeldFile &&other) noexcept
{
    if (this != &other) {
        letGo();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void HeldFile::letGo()
{
    if (m_fd >= 0)
        posix::closeFd(std::exchange(m_fd, -1));
}

} // namespace rt
