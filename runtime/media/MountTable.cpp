#include "runtime/media/MountTable.h"

#include <QFile>
#include <QList>

namespace rt {

namespace {

// The mount table writes space, tab, newline and backslash as \ooo.
QByteArray unescapeOctal(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(code));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

} // namespace

std::vector<MountEntry> mountTable()
{
    std::vector<MountEntry> out;
    QFile table(QStringLiteral("/proc/self/mounts"));
    if (!table.open(QIODevice::ReadOnly))
        return out;
    // Read at once: the kernel builds the table as it is read, and /proc files
    // report no size, so readAll() reads up to the end.
    const QByteArray text = table.readAll();
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 4)
            continue;
        out.push_back({unescapeOctal(f[0]), unescapeOctal(f[1]), unescapeOctal(f[2]), unescapeOctal(f[3])});
    }
    return out;
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
