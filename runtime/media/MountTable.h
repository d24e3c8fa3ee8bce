#pragma once

#include <QByteArray>

#include <optional>
#include <vector>

namespace rt {

// One line of the mount table, decoded.
struct MountEntry {
    QByteArray device;     // "/dev/sdb1", "host:/export", "sshfs#user@host:"
    QByteArray mountPoint; // host folder
    QByteArray type;       // as the table says: "ext4", "fuseblk", "fuse.sshfs"
    QByteArray options;
};
// /proc/self/mounts, in its order (later lines cover earlier ones).
std::vector<MountEntry> mountTable();
// The lines of a mount table's text, as mountTable() reads them.
std::vector<MountEntry> parseMountTable(const QByteArray &text);

// The entry whose mount folder holds a host path: the longest, the later of equals.
std::optional<MountEntry> mountHolding(const QByteArray &hostPath, const std::vector<MountEntry> &table);

// Mounted network file systems: shares that get drive letters like devices.
bool isNetworkType(const QByteArray &mountType);

} // namespace rt
