#include "runtime/files/Destination.h"

#include "runtime/files/FileAccess.h"
#include "runtime/files/OurFiles.h"
#include "runtime/files/PatchedFile.h"
#include "runtime/files/WriterLock.h"
#include "runtime/media/Drives.h"
#include "runtime/media/NameRules.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A rescue is never thrown away: from its first unreadable block the copy
// has a name of its own on the destination's medium, so a killed program, a
// crash or a pulled cable leave it and its map there to go on from.

namespace rt {

using posix::raise;
using posix::raiseErrno;
using posix::retryEintr;

QString Destination::partName(const QString &name, int n)
{
    const QString tail = n == 0 ? QStringLiteral(".part") : QStringLiteral(".%1.part").arg(n);
    return nameWithin(name, tail + QStringLiteral(".map")).chopped(4);
}

QString Destination::keepAsPart()
{
    if (m_kind == Kind::InPlace || m_kind == Kind::None)
        return QFile::decodeName(m_name);
    if (m_kind == Kind::Part || m_kind == Kind::EarlierCopy)
        return QFile::decodeName(m_ownName); // kept already
    (void)lockAsWriter(m_fd); // before it has a name: no other copy can hold it yet
    unmarkAsOurs(m_fd); // a kept rescue is never a healthy copy's leftover
    for (int n = 0; n < kMaxParts; ++n) {
        const QByteArray part = QFile::encodeName(partName(QFile::decodeName(m_name), n));
        struct stat st {};
        if (fstatat(m_dirFd, (part + ".map").constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue; // a map of another copy: its part is not to be met by this one
        const int error = m_kind == Kind::Unnamed
            ? linkAs(part)
            : posix::renameNoReplace(m_dirFd, m_ownName.constData(), m_dirFd, part.constData());
        if (error == EEXIST)
            continue;
        if (error)
            raise(error);
        m_kind = Kind::Part; // abandon() now deletes it, commit() renames it
        m_ownName = part;
        if (const int error = m_dirSyncable ? posix::flushFolder(m_dirFd) : 0)
            raise(error, NameKind::Folder);
        return QFile::decodeName(part);
    }
    raise(EEXIST);
}

Destination Destination::goOnWith(const QString &partDrivePath, const QString &drivePath, const Options &options)
{
    const QByteArray part = QFile::encodeName(Drives::instance().toHost(partDrivePath));
    const QByteArray path = QFile::encodeName(Drives::instance().toHost(drivePath));
    const qsizetype cut = path.lastIndexOf('/');
    Destination d;
    d.m_name = path.mid(cut + 1);
    d.m_ownName = part.mid(part.lastIndexOf('/') + 1);
    d.m_modified = options.modified;
    const QByteArray folder = cut <= 0 ? QByteArray("/") : path.left(cut);
    d.m_dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    d.m_dirSyncable = d.m_dirFd >= 0;
    if (d.m_dirFd < 0)
        raiseErrno(NameKind::Folder);
    d.m_fd = openToPatch(part, O_WRONLY | O_NOFOLLOW); // a link under the part's name is never written through
    if (d.m_fd < 0)
        raiseErrno();
    struct stat st {};
    if (fstat(d.m_fd, &st) != 0)
        raiseErrno();
    if (!S_ISREG(st.st_mode))
        throw RtError(ErrPathFileAccess, QStringLiteral("Not a regular file: ") + specialFileKind(st.st_mode));
    if (!posix::blockingAgain(d.m_fd))
        raiseErrno();
    if (!lockAsWriter(d.m_fd))
        throw RtError(ErrPathFileAccess, writtenElsewhereText());
    d.m_kind = part == path ? Kind::EarlierCopy : Kind::Part;
    d.m_device = st.st_dev;
    d.m_inode = st.st_ino;
    return d;
}

void Destination::syncData()
{
    if (m_fd < 0)
        raise(EBADF);
    if (retryEintr([this] { return fdatasync(m_fd); }) != 0)
        raiseErrno();
    m_writeBehind.clear();
}

QString Destination::writtenName() const
{
    switch (m_kind) {
    case Kind::InPlace: return QFile::decodeName(writtenInPlace());
    case Kind::Temporary:
    case Kind::Part:
    case Kind::EarlierCopy: return QFile::decodeName(m_ownName);
    case Kind::None:
    case Kind::Unnamed: break;
    }
    return QString();
}

void Destination::release()
{
    m_kind = Kind::None;
    closeAll();
}

} // namespace rt
