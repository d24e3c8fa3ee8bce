#pragma once

#include <QString>
#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

#include "runtime/files/OurFiles.h"

#include <memory>
#include <utility>
#include <sys/types.h>

// File access in drive-letter paths. Every failure is raised as an RtError with
// a run-time error number and the operating system's reason; nothing here
// reports a failure any other way.
namespace rt {

class MountTableWatch;

// The name part of the path when a file (not a folder) of that name exists,
// or a link to nothing, else "". Throws like Drives::toHost for a drive that
// is not ready.
QString findFile(const QString &drivePath);

// Whether the name itself is a symbolic link.
bool isLink(const QString &drivePath);

// Size in bytes, 64-bit.
qint64 fileLength(const QString &drivePath);

void makeDir(const QString &drivePath);
// Removes an empty folder; a drive's root is never removed.
void removeDir(const QString &drivePath);
// Deletes a file; never a folder.
void killFile(const QString &drivePath);

bool folderExists(const QString &drivePath);

// What a name that is no regular file stands for ("a block device" ...), for
// the message that refuses to write to it.
QString specialFileKind(mode_t mode);

// Creates a file that must not exist yet, with that content flushed to the
// medium before it takes the name. False, with nothing changed, when the name
// is taken.
// held, when given, receives the new file open and holding the writer's lock
// it had from its temporary file's creation on: no clearing takes the file
// for a cut's while it is held.
bool createNewFile(const QString &drivePath, const QByteArray &content, HeldFile *held = nullptr);

// Whether two paths name the same file (also through links, other paths, or
// another letter case where the volume ignores case); false when either does
// not exist or its drive is not ready.
bool sameFile(const QString &drivePathA, const QString &drivePathB);

// An open file. Closed when destroyed or by close().
class File {
public:
    enum class Access { Read, Write };

    File() = default;
    // Read: the file must exist and is never created; a regular file or a
    // block device. Write: only a regular file; a missing one is created with
    // createMode (the umask applies), an existing one keeps its content and its
    // permissions. Anything else under the name is refused untouched.
    static File open(const QString &drivePath, Access access, mode_t createMode = 0666);
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File();

    int descriptor() const { return m_fd; }
    // The length of the open file, asked of the file system each time.
    qint64 length() const;
    mode_t permissions() const;
    // The unit in which a damaged medium fails: the sector of the device
    // under the file (MediumSectors::damageUnit). May wait on the medium.
    qint64 blockSize() const;
    // Returns 0, or the errno of a close that reported a late write failure.
    int close();
    // Asked after a failed read: whether the medium the file was opened on
    // has gone (a stick pulled, a disk off the bus, a share or a FUSE driver
    // gone): its path no longer names this file, the volume that held it is
    // no longer mounted, or that volume's device node no longer exists. May
    // wait on the medium.
    bool mediumGone() const;

private:
    explicit File(int fd);
    int m_fd = -1;
    mode_t m_mode = 0;
    // Where it was opened, for mediumGone().
    struct Origin {
        QByteArray host;
        dev_t device = 0;
        ino_t inode = 0;
        QByteArray mountPoint;
        QByteArray mountDevice;
        // Set at the first look at the mount table: it is read again only
        // when it has changed.
        mutable std::shared_ptr<MountTableWatch> mountWatch;
    };
    Origin m_origin;
};

} // namespace rt
