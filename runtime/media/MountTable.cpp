#include "runtime/media/MountTable.h"

#include "runtime/media/EscapedBytes.h"

#include <QFile>
#include <QList>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace rt {

namespace {

// The mount table writes space, tab, newline and backslash as \ooo.
QByteArray unescape(const QByteArray &field) { return unescapeBytes(field, {}, 3, 8); }

} // namespace

std::vector<MountEntry> mountTable()
{
    std::vector<MountEntry> out;
    QFile table(QStringLiteral("/proc/self/mounts"));
    if (!table.open(QIODevice::ReadOnly))
        return out;
    // Read at once: the kernel builds the table as it is read, and /proc files
    // report no size, so readAll() reads up to the end.
    return parseMountTable(table.readAll());
}

std::vector<MountEntry> parseMountTable(const QByteArray &text)
{
    std::vector<MountEntry> out;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 4)
            continue;
        out.push_back({unescape(f[0]), unescape(f[1]), unescape(f[2]), unescape(f[3])});
    }
    return out;
}

MountTableWatch::~MountTableWatch()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool MountTableWatch::changed()
{
    if (!m_started) {
        m_started = true;
        m_fd = ::open("/proc/self/mounts", O_RDONLY | O_CLOEXEC);
        return true;
    }
    if (m_fd < 0)
        return true;
    // The kernel reports a change once for each open file, then clears it.
    pollfd watch{m_fd, POLLPRI, 0};
    if (::poll(&watch, 1, 0) < 0)
        return true;
    return (watch.revents & (POLLERR | POLLPRI | POLLNVAL)) != 0;
}

std::optional<MountEntry> mountHolding(const QByteArray &hostPath, const std::vector<MountEntry> &table)
{
    const MountEntry *best = nullptr;
    for (const MountEntry &e : table) {
        const bool holds = e.mountPoint == "/" || hostPath == e.mountPoint || hostPath.startsWith(e.mountPoint + '/');
        // Later lines cover earlier ones at the same folder.
        if (holds && (!best || e.mountPoint.size() >= best->mountPoint.size()))
            best = &e;
    }
    return best ? std::optional<MountEntry>(*best) : std::nullopt;
}

bool isNetworkType(const QByteArray &mountType)
{
    static const QList<QByteArray> network{"cifs", "smb3", "smbfs", "nfs", "nfs4", "9p",
                                           "fuse.sshfs", "fuse.rclone", "fuse.s3fs"};
    return network.contains(mountType);
}

} // namespace rt
