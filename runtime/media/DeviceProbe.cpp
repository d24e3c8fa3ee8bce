#include "runtime/media/DeviceProbe.h"

#include "runtime/media/EscapedBytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <blkid/blkid.h>

#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace rt {

namespace {

// Device facts and the real type are read once per mount: a probe reads the
// device, and a drive list asks each time it opens.
std::mutex s_cacheMutex;
std::map<QByteArray, DeviceFacts> s_probed; // key: device + mount folder + st_dev

} // namespace

DeviceFacts probeDevice(const QByteArray &device)
{
    DeviceFacts facts;
    struct stat st {};
    if (!device.startsWith("/dev/") || stat(device.constData(), &st) != 0 || !S_ISBLK(st.st_mode))
        return facts;

    // udev's records: the label as /dev/disk/by-label names it, the type from
    // its database, which is what libudev reads.
    const QByteArray real = QFile::encodeName(QFileInfo(QFile::decodeName(device)).canonicalFilePath());
    const QDir byLabel(QStringLiteral("/dev/disk/by-label"));
    for (const QString &name : byLabel.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (QFile::encodeName(QFileInfo(byLabel.filePath(name)).canonicalFilePath()) == real) {
            facts.label = QString::fromUtf8(unescapeBytes(QFile::encodeName(name), "x", 2, 16));
            break;
        }
    }
    QFile record(QStringLiteral("/run/udev/data/b%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
    if (record.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : record.readAll().split('\n')) {
            if (line.startsWith("E:ID_FS_TYPE="))
                facts.type = QString::fromUtf8(line.mid(13));
            else if (facts.label.isEmpty() && line.startsWith("E:ID_FS_LABEL_ENC="))
                facts.label = QString::fromUtf8(unescapeBytes(line.mid(18), "x", 2, 16));
        }
    }
    if (!facts.type.isEmpty())
        return facts;

    // No udev here (as on build machines): read the file system's own header.
    blkid_probe probe = blkid_new_probe_from_filename(device.constData());
    if (!probe)
        return facts; // no right to read the device
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE);
    if (blkid_do_safeprobe(probe) == 0) {
        const char *value = nullptr;
        if (blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value)
            facts.type = QString::fromUtf8(value);
        if (facts.label.isEmpty() && blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value)
            facts.label = QString::fromUtf8(value);
    }
    blkid_free_probe(probe);
    return facts;
}

DeviceFacts deviceFacts(const MountEntry &entry)
{
    if (!entry.device.startsWith("/dev/"))
        return {};
    struct stat st {};
    stat(entry.mountPoint.constData(), &st);
    const QByteArray key = entry.device + '\0' + entry.mountPoint + '\0' + QByteArray::number(quint64(st.st_dev));
    {
        const std::lock_guard lock(s_cacheMutex);
        const auto it = s_probed.find(key);
        if (it != s_probed.end())
            return it->second;
    }
    const DeviceFacts facts = probeDevice(entry.device);
    const std::lock_guard lock(s_cacheMutex);
    s_probed[key] = facts;
    return facts;
}

} // namespace rt
