#pragma once

// Private to runtime/: the POSIX idioms that every file operation here shares,
// written once.

#include "runtime/text/RtError.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <QtGlobal>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <memory>
#include <unistd.h>

namespace rt::posix {

// Calls again while a signal interrupts the call (a result below 0 with EINTR).
template <typename Call>
auto retryEintr(Call call) -> decltype(call())
{
    decltype(call()) rc;
    do {
        rc = call();
    } while (rc < 0 && errno == EINTR);
    return rc;
}

[[noreturn]] inline void raise(int osError, NameKind kind = NameKind::File)
{
    throw errorFromErrno(osError, kind);
}

[[noreturn]] inline void raiseErrno(NameKind kind = NameKind::File)
{
    raise(errno, kind);
}

// Closes a descriptor; 0, or the errno of a close that reported a late write
// failure. EINTR after close leaves the descriptor closed on Linux: not a failure.
inline int closeFd(int fd)
{
    if (fd < 0)
        return 0;
    return ::close(fd) != 0 && errno != EINTR ? errno : 0;
}

// Writes all count bytes at offset and returns how many were written; error
// is then 0, or the errno of what stopped it (ENOSPC for a write that took
// nothing).
inline qint64 pwriteAll(int fd, const char *data, qint64 count, qint64 offset, int &error)
{
    qint64 done = 0;
    error = 0;
    while (done < count) {
        const ssize_t n = retryEintr([&] { return pwrite(fd, data + done, size_t(count - done), offset + done); });
        if (n <= 0) {
            error = n == 0 ? ENOSPC : errno;
            break;
        }
        done += n;
    }
    return done;
}

// Clears the O_NONBLOCK an open takes so that a FIFO under the name cannot
// hang it; false, with errno set, when that fails.
inline bool blockingAgain(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

struct DirCloser {
    // Only reads went through the stream: a failed close loses nothing.
    void operator()(DIR *dir) const { (void)closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;


// Renames from to to only where to is free: 0, or the errno (EEXIST when
// taken). Where the file system cannot refuse a taken name itself, the name is
// looked at first.
inline int renameNoReplace(int fromDir, const char *from, int toDir, const char *to)
{
    if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    struct stat st {};
    if (fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    return renameat(fromDir, from, toDir, to) == 0 ? 0 : errno;
}

// Flushes a folder's entries to the medium: 0, or the errno of a flush that
// failed. A medium that cannot flush a folder (EINVAL, EROFS, EOPNOTSUPP,
// EPERM: network and FUSE drivers refuse it so) leaves the entries' durability
// unknown, which is no failure: 0.
inline int flushFolder(int dirFd)
{
    if (retryEintr([dirFd] { return fsync(dirFd); }) == 0)
        return 0;
    const int error = errno;
    return error == EINVAL || error == EROFS || error == EOPNOTSUPP || error == EPERM ? 0 : error;
}

} // namespace rt::posix
