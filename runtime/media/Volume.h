#pragma once

#include "runtime/media/MountTable.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

#include <sys/types.h>

namespace rt {

// What the program knows of the volume files live on: its file system's real
// type and label, its free and total space, and the rules its file system
// holds files and names to. The drive list names and describes its drives
// from here, and the checks before a copy decide from here what fits.
//
// The calls that ask a medium (statvfs, probing a device) can block on a
// network share or a failing disk: call them off the window's thread.
struct Volume {
    QString mountPoint;   // host folder
    QByteArray device;
    QByteArray mountType; // as the mount table says
    QString type;         // the real file system: "ntfs" where the table says "fuseblk"
    QString label;        // the file system's label, "" when it has none or it cannot be read
    qint64 totalBytes = -1; // -1: unknown
    qint64 freeBytes = -1;  // what this process may still write
    qint64 blockSize = 4096;
    qint64 maxFileSize = -1; // -1: no limit worth checking
    bool hasHoles = true;     // a sparse file needs only its data
    bool mayShareOrCompress = false; // btrfs, xfs: a copy may need less room than its data
    bool windowsNames = false; // FAT, exFAT, NTFS: made for Windows, held to its name rules
    bool ignoresCase = false;  // FAT, exFAT: "a.bin" and "A.BIN" are one name
    bool reserveHelps = true;  // fallocate sets room aside (not so where space is memory)
    bool network = false;
    dev_t fsDevice = 0;       // st_dev of the mount folder

    // A volume of that file system ("vfat", "ntfs3" ...) with its rules, its
    // space unknown.
    static Volume ofType(const QString &type);

    // "exfat, 97.32 MB free of 100 MB" and the folder: what a tooltip shows.
    QString description() const;
};

// The volume that holds a host path (the longest mount folder above it), with
// its space asked of the file system now. Nothing when the path cannot be
// looked at.
std::optional<Volume> volumeOf(const QString &hostPath);
// The same for a mount-table entry already found; the real type and label are
// probed once per device and kept.
Volume describe(const MountEntry &entry);

} // namespace rt
