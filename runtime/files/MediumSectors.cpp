#include "runtime/files/MediumSectors.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Debian 12's glibc takes struct statx from the kernel's headers; older
// headers lack the direct-access alignment and leave it to sysfs.
#ifndef STATX_DIOALIGN
#define DUPLON_NO_DIOALIGN
#endif

namespace rt {

namespace {

bool powerOfTwo(qint64 v) { return v > 0 && (v & (v - 1)) == 0; }

constexpr qint64 kDefaultUnit = 4096;
constexpr qint64 kLargestUnit = 1048576; // anything larger is no sector

// A number from a sysfs file of the device's queue; 0 when there is none.
qint64 queueValue(dev_t device, const char *name)
{
    const QByteArray base = "/sys/dev/block/" + QByteArray::number(major(device)) + ':'
        + QByteArray::number(minor(device));
    for (const QByteArray &dir : {base + "/queue/", base + "/../queue/"}) { // a partition: its disk's
        QFile file(QString::fromLatin1(dir + name));
        if (file.open(QIODevice::ReadOnly)) {
            bool ok = false;
            const qint64 v = file.readAll().trimmed().toLongLong(&ok);
            return ok && powerOfTwo(v) ? v : 0;
        }
    }
    return 0;
}

} // namespace

qint64 MediumSectors::damageUnit() const
{
    const qint64 unit = powerOfTwo(physical) && physical <= kLargestUnit ? physical : kDefaultUnit;
    const qint64 align = directAlignment();
    return powerOfTwo(align) && align <= kLargestUnit ? std::max(unit, align) : unit;
}

qint64 MediumSectors::directAlignment() const
{
    return directOffset > 0 ? directOffset : logical;
}

MediumSectors mediumSectors(int fd)
{
    MediumSectors s;
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return s;
    // Anonymous devices (major 0: FUSE, NFS, btrfs's subvolumes) have no queue.
    const dev_t device = S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev;
    if (major(device) != 0) {
        s.physical = queueValue(device, "physical_block_size");
        s.logical = queueValue(device, "logical_block_size");
    }
#ifndef DUPLON_NO_DIOALIGN
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 && (sx.stx_mask & STATX_DIOALIGN)) {
        s.directOffset = sx.stx_dio_offset_align;
        s.directMemory = sx.stx_dio_mem_align;
        s.directRefused = sx.stx_dio_offset_align == 0;
    }
#endif
    return s;
}

} // namespace rt
