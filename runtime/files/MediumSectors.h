#pragma once

#include <QtGlobal>

namespace rt {

// What the medium under an open file says of its sectors; 0 where it says
// nothing (a FUSE medium, a network share).
struct MediumSectors {
    qint64 physical = 0;        // the device's physical block size (sysfs)
    qint64 logical = 0;         // the device's logical block size (sysfs)
    qint64 directOffset = 0;    // alignment of a direct read's offset and length (statx)
    qint64 directMemory = 0;    // alignment of a direct read's buffer (statx)
    bool directRefused = false; // statx says the file takes no direct access

    // The unit in which the medium fails, and in which a rescue reads what
    // failed: the physical sector where known, 4 KiB otherwise, never below
    // what direct access needs. Never the file system's preferred I/O size
    // (st_blksize: 1 MiB on NFS and CIFS, a cluster on FAT), so an unreadable
    // sector costs at most its own bytes.
    qint64 damageUnit() const;
    // The alignment direct reads need: statx's where the kernel gives it, else
    // the device's logical block size; 0 when neither tells (a first read
    // tries 4096).
    qint64 directAlignment() const;
};

// Asks the kernel (statx with STATX_DIOALIGN) and the device under the file
// (queue/ under /sys/dev/block/MAJ:MIN, its parent's for a partition).
MediumSectors mediumSectors(int fd);

} // namespace rt
