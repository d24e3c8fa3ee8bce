#include "runtime/media/StuckCall.h"

#include <QFile>
#include <QList>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace rt {

namespace {

QString descriptorPath(long long fd)
{
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%lld", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    return n > 0 ? QFile::decodeName(QByteArray(target, int(n))) : QString();
}

// A path argument as the thread passed it, taken relative to its folder's
// descriptor where it is not absolute.
QString pathArgument(long long dirFd, unsigned long long address)
{
    const char *name = reinterpret_cast<const char *>(address);
    if (!name)
        return {};
    const QString path = QFile::decodeName(QByteArray(name, int(strnlen(name, PATH_MAX))));
    if (path.startsWith(u'/') || dirFd == AT_FDCWD)
        return path;
    return descriptorPath(dirFd) + u'/' + path;
}

} // namespace

QString pathWaitedOn(int tid)
{
    QFile file(QStringLiteral("/proc/self/task/%1/syscall").arg(tid));
    if (tid <= 0 || !file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> words = file.readAll().simplified().split(' ');
    if (words.size() < 4)
        return {};
    bool ok = false;
    const long long call = words[0].toLongLong(&ok);
    if (!ok)
        return {};
    const auto arg = [&](int i) { return words[i + 1].toULongLong(nullptr, 16); };
    switch (call) {
#ifdef SYS_openat
    case SYS_openat:
    case SYS_newfstatat:
    case SYS_statx:
    case SYS_unlinkat:
    case SYS_mkdirat:
    case SYS_renameat2:
        return pathArgument(static_cast<int>(arg(0)), arg(1));
#endif
    case SYS_read:
    case SYS_pread64:
    case SYS_write:
    case SYS_pwrite64:
    case SYS_fsync:
    case SYS_fdatasync:
    case SYS_close:
    case SYS_ftruncate:
    case SYS_fallocate:
    case SYS_sync_file_range:
    case SYS_copy_file_range:
    case SYS_getdents64:
    case SYS_fstat:
    case SYS_linkat:
        return descriptorPath(static_cast<int>(arg(0)));
    default:
        return {};
    }
}

} // namespace rt
