#include "runtime/files/PatchedFile.h"

#include "runtime/media/Drives.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>
#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace rt {

using posix::raiseErrno;
using posix::retryEintr;

namespace {

PieceResult readAll(int fd, qint64 offset, char *buffer, qint64 count)
{
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = retryEintr([&] { return pread(fd, buffer + done, size_t(count - done), offset + done); });
        if (n < 0)
            return {done, PieceResult::Failure::Read, errno};
        if (n == 0)
            break;
        done += n;
    }
    return {done, PieceResult::Failure::None, 0};
}

} // namespace

PieceResult readAt(const File &file, qint64 offset, char *buffer, qint64 count)
{
    return readAll(file.descriptor(), offset, buffer, count);
}

int openToPatch(const QByteArray &hostPath, int flags)
{
    const int fd = ::open(hostPath.constData(), flags | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd >= 0 || errno != EACCES || stat(hostPath.constData(), &st) != 0 || st.st_uid != geteuid()
        || (st.st_mode & S_IWUSR) || !S_ISREG(st.st_mode))
        return fd;
    if (chmod(hostPath.constData(), (st.st_mode & 07777) | S_IWUSR) != 0) {
        errno = EACCES;
        return -1;
    }
    const int opened = ::open(hostPath.constData(), flags | O_CLOEXEC | O_NONBLOCK);
    const int error = errno;
    (void)chmod(hostPath.constData(), st.st_mode & 07777);
    errno = error;
    return opened;
}

PatchedFile::PatchedFile(int fd, const timespec &modified) : m_fd(fd), m_modified(modified) {}

PatchedFile::PatchedFile(PatchedFile &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_modified(other.m_modified), m_written(other.m_written)
{
}

PatchedFile &PatchedFile::operator=(PatchedFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_modified = other.m_modified;
        m_written = other.m_written;
    }
    return *this;
}

PatchedFile::~PatchedFile() { close(); }

qint64 PatchedFile::length() const
{
    struct stat st {};
    if (fstat(m_fd, &st) != 0)
        raiseErrno();
    return st.st_size;
}

PieceResult PatchedFile::readAt(qint64 offset, char *buffer, qint64 count) const
{
    return readAll(m_fd, offset, buffer, count);
}

PieceResult PatchedFile::writeAt(qint64 offset, const char *data, qint64 count)
{
    m_written = true;
    return Transfer::writeAll(m_fd, offset, data, count);
}

void PatchedFile::restoreTime()
{
    // Only the modification time: the access time is the system's to keep.
    const timespec times[2] = {{0, UTIME_OMIT}, m_modified};
    if (m_written && futimens(m_fd, times) == 0)
        m_written = false;
}

void PatchedFile::flush()
{
    if (retryEintr([this] { return fdatasync(m_fd); }) != 0)
        raiseErrno();
    restoreTime();
}

int PatchedFile::close()
{
    if (m_fd < 0)
        return 0;
    restoreTime();
    return posix::closeFd(std::exchange(m_fd, -1));
}

} // namespace rt
