#include "runtime/files/DestinationEntries.h"

#include "runtime/media/Drives.h"
#include "runtime/posix/PosixIo.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rt {

namespace {

using Kind = EntryFacts::Kind;

EntryFacts factsOf(Kind kind, const struct stat &st, const QByteArray &path)
{
    EntryFacts e;
    e.kind = kind;
    e.mode = st.st_mode;
    e.device = st.st_dev;
    e.inode = st.st_ino;
    e.owner = st.st_uid;
    e.group = st.st_gid;
    e.ours = st.st_uid == geteuid();
    if (faccessat(AT_FDCWD, path.constData(), W_OK, AT_EACCESS) != 0)
        e.writeError = errno;
    return e;
}

} // namespace

DestinationEntries lookAtDestination(const QString &drivePath, const QString &caseTwin)
{
    QByteArray path = QFile::encodeName(Drives::instance().toHost(drivePath));
    EntryFacts entry;
    struct stat st {};
    if (lstat(path.constData(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            struct stat target {};
            if (stat(path.constData(), &target) == 0) {
                entry.kind = Kind::LinkToOther;
                entry.mode = target.st_mode;
                if (S_ISREG(target.st_mode)) {
                    char *real = realpath(path.constData(), nullptr);
                    if (!real)
                        posix::raiseErrno();
                    path = QByteArray(real);
                    std::free(real);
                    struct stat file {};
                    if (lstat(path.constData(), &file) != 0)
                        posix::raiseErrno();
                    entry = factsOf(S_ISREG(file.st_mode) ? Kind::LinkToFile : Kind::LinkToOther, file, path);
                }
            } else if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) {
                entry.kind = Kind::DanglingLink;
                entry.mode = st.st_mode;
            } else {
                posix::raiseErrno();
            }
        } else {
            entry = factsOf(S_ISREG(st.st_mode) ? Kind::File : Kind::Other, st, path);
        }
    } else if (errno != ENOENT) {
        posix::raiseErrno();
    }

    DestinationEntries found;
    const qsizetype cut = path.lastIndexOf('/');
    found.folder = cut <= 0 ? QByteArray("/") : path.left(cut);
    found.name = path.mid(cut + 1);
    found.entry = entry;
    if (!caseTwin.isEmpty()) {
        found.twinName = QFile::encodeName(caseTwin);
        const QByteArray twinPath = found.folder + '/' + found.twinName;
        struct stat twin {};
        if (lstat(twinPath.constData(), &twin) == 0)
            found.twin = factsOf(S_ISREG(twin.st_mode) ? Kind::File : S_ISLNK(twin.st_mode) ? Kind::Link : Kind::Other,
                                 twin, twinPath);
    }
    return found;
}

} // namespace rt
