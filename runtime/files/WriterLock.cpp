#include "runtime/files/WriterLock.h"

#include "runtime/media/DrivePaths.h"
#include "runtime/posix/PosixIo.h"

#include <fcntl.h>
#include <unistd.h>

namespace rt {

namespace {

struct flock wholeFile(short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET; // from 0 to the end, however long the file grows
    return lock;
}

} // namespace

bool lockAsWriter(int fd)
{
    struct flock lock = wholeFile(F_WRLCK);
    if (posix::retryEintr([&] { return fcntl(fd, F_OFD_SETLK, &lock); }) == 0)
        return true;
    return errno != EAGAIN && errno != EACCES; // no locks on this medium: written as before
}

bool writtenElsewhere(const QString &drivePath)
{
    const int fd = ::open(hostName(drivePath).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock lock = wholeFile(F_WRLCK);
    const bool held = posix::retryEintr([&] { return fcntl(fd, F_OFD_GETLK, &lock); }) == 0 && lock.l_type != F_UNLCK;
    posix::closeFd(fd);
    return held;
}

QString writtenElsewhereText() { return QStringLiteral("Another copy is writing it."); }

} // namespace rt
