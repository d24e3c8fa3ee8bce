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

// Whether the mount table may have changed since this was last asked: the
// kernel marks /proc/self/mounts for poll() at every mount and unmount, so a
// medium looked at after every failing read costs one poll, not a reading of
// the whole table. True at the first call (which starts the watch: read the
// table after it), and whenever the table cannot be watched.
class MountTableWatch {
public:
    MountTableWatch() = default;
    ~MountTableWatch();
    MountTableWatch(const MountTableWatch &) = delete;
    MountTableWatch &operator=(const MountTableWatch &) = delete;
    bool changed();

private:
    int m_fd = -1;
    bool m_started = false;
};

// Mounted network file systems: shares that get drive letters like devices.
bool isNetworkType(const QByteArray &mountType);

} // namespace rt
