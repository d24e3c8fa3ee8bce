#include "runtime/files/Destination.h"

#include "runtime/files/FileAccess.h"
#include "runtime/files/HiddenLeftovers.h"
#include "runtime/files/OurFiles.h"
#include "runtime/files/WriterLock.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>

#include <atomic>
#include <functional>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace rt {

using posix::raise;
using posix::raiseErrno;
using posix::retryEintr;

namespace {

std::atomic<bool> s_unnamedAllowed{true};
std::atomic<int> s_folderFlushFailure{0};
std::atomic<int> s_closeFailure{0};
std::function<void()> s_beforeRename;

[[noreturn]] void refuse(mode_t mode, bool throughLink)
{
    if (S_ISDIR(mode))
        raise(EISDIR);
    throw RtError(ErrPathFileAccess, QStringLiteral("Not a regular file: ")
                                         + (throughLink ? QStringLiteral("a link to ") : QString())
                                         + specialFileKind(mode));
}

bool lacksUnnamedFiles(int osError)
{
    // EISDIR: kernels that predate O_TMPFILE read it as O_DIRECTORY.
    return osError == EOPNOTSUPP || osError == EISDIR || osError == EINVAL || osError == ENOSYS;
}

bool isPermissionError(int osError) { return osError == EACCES || osError == EPERM; }

} // namespace

void Destination::setUnnamedFilesAllowed(bool allowed) { s_unnamedAllowed = allowed; }

void Destination::setBeforeRename(std::function<void()> step) { s_beforeRename = std::move(step); }

void Destination::setFailuresAfterNaming(Committed failures)
{
    s_folderFlushFailure = failures.folderFlushError;
    s_closeFailure = failures.closeError;
}

Destination Destination::open(const WritePlan &plan)
{
    if (plan.refusalError)
        raise(plan.refusalError);
    if (plan.notRegularMode)
        refuse(*plan.notRegularMode, plan.throughLink);

    Destination d;
    d.m_name = plan.name;
    d.m_modified = plan.modified;
    d.m_twinName = plan.twinName;
    d.m_twinDevice = plan.twinDevice;
    d.m_twinInode = plan.twinInode;
    d.m_inPlaceName = plan.inPlaceName;
    d.m_dirFd = ::open(plan.folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    d.m_dirSyncable = d.m_dirFd >= 0;
    if (d.m_dirFd < 0 && errno == EACCES) // a folder that may not be listed can still take a name
        d.m_dirFd = ::open(plan.folder.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (d.m_dirFd < 0)
        raiseErrno();

    int error = 0;
    if (plan.inPlaceFirst)
        error = EACCES; // straight to the old file, as where no new file may be made
    if (s_unnamedAllowed && !plan.inPlaceFirst) {
        d.m_fd = openat(d.m_dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, plan.createMode);
        if (d.m_fd >= 0) {
            d.m_kind = Kind::Unnamed;
            // Locked and marked before it can have any name, so once linked
            // under its hidden name at the commit no other Copy takes it for a leftover.
            (void)lockAsWriter(d.m_fd);
            markAsOurs(d.m_fd, d.m_name);
        }
        else if (!lacksUnnamedFiles(errno))
            error = errno;
    }
    if (d.m_fd < 0 && error == 0) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const QByteArray hidden = hiddenNameFor(d.m_name);
            d.m_fd = openat(d.m_dirFd, hidden.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, plan.createMode);
            if (d.m_fd >= 0) {
                d.m_kind = Kind::Temporary;
                d.m_ownName = hidden;
                // Held while it is written, however the program ends: the next
                // Copy onto the name clears such a file only when it is free.
                (void)lockAsWriter(d.m_fd);
                markAsOurs(d.m_fd, d.m_name); // only once locked: a mark with a free lock is a leftover
                break;
            }
            if (errno != EEXIST) {
                error = errno;
                break;
            }
        }
        if (d.m_fd < 0 && error == 0)
            error = EEXIST;
    }
    if (d.m_fd < 0 && isPermissionError(error) && plan.replaces) {
        // A folder that takes no new file, around a file that may be written,
        // or a medium with room for one of the two only: the old file is
        // written over, as plain copiers do.
        d.m_fd = openat(d.m_dirFd, d.writtenInPlace().constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (d.m_fd < 0)
            raiseErrno();
        struct stat opened {};
        if (fstat(d.m_fd, &opened) != 0)
            raiseErrno();
        if (!S_ISREG(opened.st_mode))
            refuse(opened.st_mode, false); // swapped for something else since it was looked at
        if (!posix::blockingAgain(d.m_fd))
            raiseErrno();
        d.m_kind = Kind::InPlace; // only now may an abandon delete it
    }
    if (d.m_fd < 0)
        raise(error);

    struct stat created {};
    if (fstat(d.m_fd, &created) != 0)
        raiseErrno();
    d.m_device = created.st_dev;
    d.m_inode = created.st_ino;

    if (plan.replaces && d.m_kind != Kind::InPlace) {
        // The owner first: changing it clears the set-user-ID and set-group-ID
        // bits. Owners and modes are a courtesy, not the copy: media without
        // them (FAT, exFAT, many FUSE drivers) refuse them in many ways, and
        // none of those fails the copy.
        const bool ownerKept = fchown(d.m_fd, plan.oldOwner, plan.oldGroup) == 0;
        if (!ownerKept)
            (void)fchown(d.m_fd, uid_t(-1), plan.oldGroup); // the group may still be one of ours
        // The mode waits for the commit: until it is complete, the new file
        // is private, whatever the old one allowed.
        d.m_finalMode = plan.oldMode & (ownerKept ? 07777 : 0777);
    }
    if (plan.reserve > 0 && d.m_kind != Kind::InPlace) {
        // Room set aside now fails at once rather than after minutes of
        // writing; the length stays 0 so holes and the final length are the
        // copy's. Never glibc's posix_fallocate, which writes every block where
        // the file system cannot reserve: those answer EOPNOTSUPP, "unknown".
        if (retryEintr([&] { return fallocate(d.m_fd, FALLOC_FL_KEEP_SIZE, 0, plan.reserve); }) != 0
            && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG))
            raiseErrno();
    }
    return d;
}

Destination::Destination(Destination &&other) noexcept
    : m_kind(std::exchange(other.m_kind, Kind::None))
    , m_fd(std::exchange(other.m_fd, -1))
    , m_dirFd(std::exchange(other.m_dirFd, -1))
    , m_dirSyncable(other.m_dirSyncable)
    , m_name(std::move(other.m_name))
    , m_ownName(std::move(other.m_ownName))
    , m_twinName(std::move(other.m_twinName))
    , m_inPlaceName(std::move(other.m_inPlaceName))
    , m_twinDevice(other.m_twinDevice)
    , m_twinInode(other.m_twinInode)
    , m_modified(other.m_modified)
    , m_device(other.m_device)
    , m_inode(other.m_inode)
    , m_finalMode(other.m_finalMode)
    , m_flushed(other.m_flushed)
    , m_flushedLength(other.m_flushedLength)
    , m_writeBehind(std::exchange(other.m_writeBehind, WriteBehind()))
    , m_readBack(std::move(other.m_readBack))
{
}

Destination &Destination::operator=(Destination &&other) noexcept
{
    if (this != &other) {
        abandon();
        m_kind = std::exchange(other.m_kind, Kind::None);
        m_fd = std::exchange(other.m_fd, -1);
        m_dirFd = std::exchange(other.m_dirFd, -1);
        m_dirSyncable = other.m_dirSyncable;
        m_name = std::move(other.m_name);
        m_ownName = std::move(other.m_ownName);
        m_twinName = std::move(other.m_twinName);
        m_inPlaceName = std::move(other.m_inPlaceName);
        m_twinDevice = other.m_twinDevice;
        m_twinInode = other.m_twinInode;
        m_modified = other.m_modified;
        m_device = other.m_device;
        m_inode = other.m_inode;
        m_finalMode = other.m_finalMode;
        m_flushed = other.m_flushed;
        m_flushedLength = other.m_flushedLength;
        m_writeBehind = std::exchange(other.m_writeBehind, WriteBehind());
        m_readBack = std::move(other.m_readBack);
    }
    return *this;
}

Destination::~Destination() { abandon(); }

void Destination::empty()
{
    if (m_kind != Kind::InPlace)
        return;
    struct stat st {};
    if (fstat(m_fd, &st) == 0 && st.st_size == 0)
        return;
    truncateTo(m_fd, 0);
    // A copy-on-write file system (btrfs) hands the old file's blocks back
    // only once the truncate is committed; a medium with room for one of the
    // two files needs them for the copy.
    (void)syncfs(m_fd);
}

void Destination::truncateTo(int fd, qint64 length)
{
    // Some drivers refuse a truncate to the length a file already has, and
    // none needs it.
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size == length)
        return;
    if (retryEintr([&] { return ftruncate(fd, length); }) != 0)
        raiseErrno();
}

void Destination::throwIfGone() const
{
    // A file or folder deleted during the copy has no links left; the name
    // taken there would be no file anyone can find.
    struct stat st {};
    if (m_kind != Kind::Unnamed) {
        if (fstat(m_fd, &st) != 0)
            raiseErrno();
        if (st.st_nlink == 0)
            raise(ENOENT);
    }
    if (fstat(m_dirFd, &st) != 0)
        raiseErrno();
    if (st.st_nlink == 0)
        raise(ENOENT);
}

int Destination::linkAs(const QByteArray &name) const
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(m_fd);
    int rc = linkat(AT_FDCWD, self.constData(), m_dirFd, name.constData(), AT_SYMLINK_FOLLOW);
    if (rc != 0 && errno == ENOENT && access("/proc/self/fd", F_OK) != 0)
        rc = linkat(m_fd, "", m_dirFd, name.constData(), AT_EMPTY_PATH); // no /proc: needs privilege
    return rc == 0 ? 0 : errno;
}

Destination::Committed Destination::commit(qint64 length)
{
    flush(length);
    throwIfGone();
    // A replaced file's mode, where the medium keeps modes at all.
    if (m_finalMode)
        (void)fchmod(m_fd, *m_finalMode);
    // The copy keeps the source's modification time, as desktop file managers
    // do (to the medium's resolution); a medium that keeps none still has the copy.
    if (m_modified) {
        // The access time is given as now rather than left alone: some FUSE
        // drivers (exfat-fuse) refuse UTIME_OMIT and would set neither.
        timespec times[2] = {{}, *m_modified};
        clock_gettime(CLOCK_REALTIME, &times[0]);
        (void)futimens(m_fd, times);
    }

    if (m_kind == Kind::Unnamed) {
        // The file gets a hidden name first, then takes the destination's in
        // one rename, so an old file is replaced at once and never missing.
        QByteArray linked;
        for (int attempt = 0; attempt < 100 && linked.isEmpty(); ++attempt) {
            const QByteArray hidden = hiddenNameFor(m_name);
            if (const int error = linkAs(hidden); error == 0)
                linked = hidden;
            else if (error != EEXIST)
                raise(error);
        }
        if (linked.isEmpty())
            raise(EEXIST);
        if (s_beforeRename)
            s_beforeRename();
        if (renameat(m_dirFd, linked.constData(), m_dirFd, m_name.constData()) != 0) {
            const int error = errno;
            unlinkat(m_dirFd, linked.constData(), 0);
            raise(error);
        }
    } else if (m_kind == Kind::Temporary || m_kind == Kind::Part) {
        if (renameat(m_dirFd, m_ownName.constData(), m_dirFd, m_name.constData()) != 0)
            raiseErrno();
    } else if (!m_inPlaceName.isEmpty()) {
        // Written in place under another letter case: named as typed by way
        // of a hidden name, as a medium that ignores case takes no rename
        // between two spellings of one name.
        const QByteArray hidden = hiddenNameFor(m_name);
        if (renameat(m_dirFd, m_inPlaceName.constData(), m_dirFd, hidden.constData()) != 0)
            raiseErrno();
        if (renameat(m_dirFd, hidden.constData(), m_dirFd, m_name.constData()) != 0) {
            const int error = errno;
            (void)renameat(m_dirFd, hidden.constData(), m_dirFd, m_inPlaceName.constData());
            raise(error);
        }
    }
    // From here the name holds the new file: nothing is to be abandoned, and
    // the mark of a copy in progress is no part of it.
    if (m_kind == Kind::Unnamed || m_kind == Kind::Temporary)
        unmarkAsOurs(m_fd);
    m_kind = Kind::None;
    if (!m_twinName.isEmpty()) {
        struct stat twin {};
        if (fstatat(m_dirFd, m_twinName.constData(), &twin, AT_SYMLINK_NOFOLLOW) == 0 && twin.st_dev == m_twinDevice
            && twin.st_ino == m_twinInode)
            (void)unlinkat(m_dirFd, m_twinName.constData(), 0);
    }

    Committed committed;
    if (m_dirSyncable)
        committed.folderFlushError = posix::flushFolder(m_dirFd);
    committed.closeError = posix::closeFd(std::exchange(m_fd, -1));
    closeAll();
    if (s_folderFlushFailure)
        committed.folderFlushError = s_folderFlushFailure;
    if (s_closeFailure)
        committed.closeError = s_closeFailure;
    return committed;
}

int Destination::abandon()
{
    int left = 0;
    if (m_kind == Kind::Temporary || m_kind == Kind::Part || m_kind == Kind::InPlace) {
        // Only the file this copy opened, and only while it still has that name.
        const QByteArray &name = m_kind == Kind::InPlace ? writtenInPlace() : m_ownName;
        struct stat st {};
        if (fstatat(m_dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                left = errno; // a medium that cannot tell whether it is there: never called deleted
        } else if (st.st_dev == m_device && st.st_ino == m_inode && unlinkat(m_dirFd, name.constData(), 0) != 0) {
            left = errno;
        }
    }
    m_kind = Kind::None;
    closeAll();
    return left;
}

void Destination::closeAll() noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_dirFd >= 0)
        ::close(m_dirFd);
    m_fd = -1;
    m_dirFd = -1;
    m_writeBehind.clear();
    if (m_readBack)
        m_readBack->close();
}

} // namespace rt
