#pragma once

#include "copy/rescue/CopyEngine.h"
#include "support/BadMedium.h"
#include "support/DiskMedium.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <linux/falloc.h>
#include <memory>
#include <unistd.h>

// A damaged disk, not a damaged file: a real ext4 volume holding one file,
// on a loop device (read-only, direct I/O, 4 KiB sectors) whose image lies
// on the suite's damaged medium (badfs). Reads of the file then pass the page
// cache, read-ahead and the block layer as on a real disk, and badfs counts
// them at the device; the unreadable zone is given within the file.
//
//   DamagedDisk disk(content, {zoneFrom, zoneTo}, 20);
//   SKIP_UNLESS_MOUNTED(disk);
//   ... disk.filePath() ... disk.failedReads() ...
class DamagedDisk {
public:
    // hole: a range of content, zeros, left as a hole in the file.
    DamagedDisk(const QByteArray &content, BadMedium::Range zone, int badDelayMs, BadMedium::Range hole = {0, 0})
    {
        const QString files = m_dir.filePath(QStringLiteral("files")), backing = m_dir.filePath(QStringLiteral("backing"));
        QDir().mkpath(files), QDir().mkpath(backing);
        QFile data(files + QStringLiteral("/data.bin"));
        if (!m_dir.isValid() || !data.open(QIODevice::WriteOnly) || data.write(content) != content.size()) {
            m_whyNot = QStringLiteral("no temporary folder for the disk's image");
            return;
        }
        if (hole.end > hole.begin
            && fallocate(data.handle(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, hole.begin, hole.end - hole.begin) != 0) {
            m_whyNot = QStringLiteral("the file system of the temporary folder makes no holes");
            return;
        }
        data.close();
        const QString image = backing + QStringLiteral("/disk.img");
        const qint64 sizeMiB = content.size() / 1048576 * 5 / 4 + 32; // room for the journal and tables
        // The zone's place in the image: its blocks must follow each other there.
        qint64 first = -1, last = -1;
        if (!(m_whyNot = run({"mkfs.ext4", "-q", "-F", "-b", "4096", "-d", files, image, QString::number(sizeMiB) + "M"})).isEmpty()
            || !(m_whyNot = blockOf(image, zone.begin / 4096, first)).isEmpty()
            || !(m_whyNot = blockOf(image, (zone.end - 1) / 4096, last)).isEmpty())
            return;
        if (last - first != (zone.end - 1) / 4096 - zone.begin / 4096) {
            m_whyNot = QStringLiteral("mkfs.ext4 did not lay the damaged zone out in one run");
            return;
        }
        const qint64 at = first * 4096 + zone.begin % 4096;
        m_medium = std::make_unique<BadMedium>(backing, BadMedium::Options{
            .bad = {{at, at + zone.end - zone.begin}}, .badDelayMs = badDelayMs});
        if (!m_medium->mounted()) {
            m_whyNot = m_medium->whyNot();
            return;
        }
        m_disk = std::make_unique<DiskMedium>(m_medium->path() + QStringLiteral("/disk.img"));
        m_whyNot = m_disk->whyNot();
    }
    ~DamagedDisk()
    {
        m_disk.reset(); // unmounted before its medium goes
        m_medium.reset();
    }
    DamagedDisk(const DamagedDisk &) = delete;
    DamagedDisk &operator=(const DamagedDisk &) = delete;

    bool mounted() const { return m_disk && m_disk->mounted(); }
    QString whyNot() const { return m_whyNot; }
    // The mounted volume, and the damaged file on it.
    QString path() const { return m_disk->path(); }
    QString filePath() const { return path() + QStringLiteral("/data.bin"); }
    // Failing reads at the device so far.
    qint64 failedReads() const { return m_medium->stats(QStringLiteral("disk.img")).failedReads; }
    // All reads at the device so far.
    qint64 reads() const { return m_medium->stats(QStringLiteral("disk.img")).reads; }
    // Drops what the page cache holds of the file, so the next reader finds
    // the medium as the first one did.
    void forget() const
    {
        const int fd = ::open(QFile::encodeName(filePath()).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), ::close(fd);
    }

private:
    // The physical block of a block of /data.bin in the image, by debugfs.
    QString blockOf(const QString &image, qint64 block, qint64 &physical)
    {
        if (QString why = run({"debugfs", "-R", QStringLiteral("bmap /data.bin %1").arg(block), image}); !why.isEmpty())
            return why;
        bool ok = false;
        physical = m_output.trimmed().split(u'\n').last().trimmed().toLongLong(&ok);
        return ok && physical > 0 ? QString() : QStringLiteral("debugfs did not map the file: ") + m_output;
    }
    QString run(const QStringList &command) { return DiskMedium::runTool(command, m_output); }

    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/damaged-disk-XXXXXX")};
    std::unique_ptr<BadMedium> m_medium;
    std::unique_ptr<DiskMedium> m_disk;
    QString m_output;
    QString m_whyNot;
};

// The readable 4 KiB sectors of content (all but the zone's) that a copy of
// it holds as anything else.
inline QList<qint64> lostSectors(const QByteArray &content, const QByteArray &copy, BadMedium::Range zone)
{
    constexpr qint64 kSector = 4096;
    QList<qint64> lost;
    for (qint64 s = 0; s * kSector < content.size(); ++s)
        if (((s + 1) * kSector <= zone.begin || s * kSector >= zone.end)
            && copy.mid(s * kSector, kSector) != content.mid(s * kSector, kSector))
            lost.append(s);
    return lost;
}

// A rescue that shows nothing and never stops.
struct SilentProgress : CopyProgress {
    void showProgress(int, qint64, qint64) override {}
    bool yieldAndGoOn() override { return true; }
    bool goingOn() const override { return true; }
};
