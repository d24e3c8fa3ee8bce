#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <vector>

#include <sys/types.h>
#include <time.h>

namespace rt {


// What the program knows of the volumes files live on: one place for the
// mount table, the file system's real type and label, its free and total
// space, and the rules its file system holds files and names to. The drive
// list names and describes its drives from here, and the checks before a copy
// decide from here what fits and which names are taken.
//
// The calls that ask a medium (statvfs, probing a device) can block on a
// network share or a failing disk: call them off the window's thread.

// One line of the mount table, decoded.
struct MountEntry {
    QByteArray device;     // "/dev/sdb1", "host:/export", "sshfs#user@host:"
    QByteArray mountPoint; // host folder
    QByteArray type;       // as the table says: "ext4", "fuseblk", "fuse.sshfs"
    QByteArray options;
};
// /proc/self/mounts, in its order (later lines cover earlier ones).
std::vector<MountEntry> mountTable();

// The entry whose mount folder holds a host path: the longest, the later of equals.
std::optional<MountEntry> mountHolding(const QByteArray &hostPath, const std::vector<MountEntry> &table);

// Mounted network file systems: shares that get drive letters like devices.
bool isNetworkType(const QByteArray &mountType);

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
    bool network = false;
    dev_t fsDevice = 0;       // st_dev of the mount folder

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

// The real file system and label of a block device: udev's records first
// (what desktop users may read), else libblkid probing the device itself
// (which needs read access to it). Empty where neither can tell.
struct DeviceFacts {
    QString type;
    QString label;
};
DeviceFacts probeDevice(const QByteArray &device);
// The same for a mounted volume's device, probed once per mount and kept.
DeviceFacts deviceFacts(const MountEntry &entry);

// The first Windows naming rule a file name breaks, for the message that names
// it; none for a name Windows takes.
struct NameRuleBreak {
    enum class Rule { None, Character, ControlCharacter, TrailingDotOrSpace, ReservedName, TooLong };
    Rule rule = Rule::None;
    QChar character;  // Character, ControlCharacter, TrailingDotOrSpace
    QString reserved; // ReservedName: "CON", "COM1" ...
    // In words: "the character ':'", "a dot at its end", "the reserved name CON".
    QString text() const;
};
NameRuleBreak windowsNameRuleBreak(const QString &name);

// Whether the driver of the folder's volume takes a name that breaks that
// rule: tried with a hidden name of the copy's own that breaks it the same way,
// removed at once. True also when it cannot be told (no right to create).
// Too long a name is never taken.
bool driverTakesName(const QString &hostFolder, const NameRuleBreak &broken);

// The bytes a file's blocks take on its medium (following a link), -1 when
// there is no such file; and how many names it has.
struct FileSpace {
    qint64 allocated = -1;
    qint64 links = 0;
};
FileSpace fileSpace(const QString &hostPath);

// The name of an entry in a folder that equals name but for letter case, if
// there is one; the exact name itself is not reported.
std::optional<QString> caseTwin(const QString &hostFolder, const QString &name);

} // namespace rt
