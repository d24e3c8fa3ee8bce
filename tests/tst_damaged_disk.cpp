#include "copy/job/WritingPlan.h"
#include "copy/rescue/CopyEngine.h"
#include "copy/rescue/MapFinder.h"
#include "copy/rescue/RetryPasses.h"
#include "runtime/files/Destination.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/IoWorker.h"
#include "runtime/files/MediumSectors.h"
#include "runtime/media/Drives.h"
#include "support/DamagedDisk.h"
#include "support/TestKit.h"
#include "support/TestDrives.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <sys/stat.h>

using Range = BadMedium::Range;
Q_DECLARE_METATYPE(rt::MediumSectors)

namespace {

constexpr qint64 kSector = 4096, M = 1048576;

} // namespace

// A rescue from a damaged disk (a real file system on a loop device over the
// suite's damaged medium), held against GNU ddrescue with direct access on
// the same disk: failing reads are counted where the disk is, at the device.
class TestDamagedDisk : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // The unit of damage from what the medium says; never its preferred I/O size.
    void unitOfDamage_data()
    {
        QTest::addColumn<rt::MediumSectors>("sectors");
        QTest::addColumn<qint64>("unit");
        QTest::newRow("nothing known (FUSE, NFS, CIFS)") << rt::MediumSectors{} << qint64(4096);
        QTest::newRow("512-byte sectors") << rt::MediumSectors{.physical = 512, .logical = 512} << qint64(512);
        QTest::newRow("512 logical on 4 KiB physical") << rt::MediumSectors{.physical = 4096, .logical = 512} << qint64(4096);
        QTest::newRow("never below direct access's alignment")
            << rt::MediumSectors{.physical = 512, .logical = 512, .directOffset = 4096} << qint64(4096);
        QTest::newRow("alignment from the device alone") << rt::MediumSectors{.logical = 8192} << qint64(8192);
        QTest::newRow("a size that is no sector") << rt::MediumSectors{.physical = 3000} << qint64(4096);
        QTest::newRow("direct access refused") << rt::MediumSectors{.physical = 4096, .directRefused = true} << qint64(4096);
    }
    void unitOfDamage()
    {
        QFETCH(rt::MediumSectors, sectors);
        QFETCH(qint64, unit);
        QCOMPARE(sectors.damageUnit(), unit);
    }

    void rescuesAtTheDevice_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<Range>("zone");
        QTest::addColumn<bool>("direct"); // false: the medium refuses direct access; held against buffered ddrescue
        QTest::addColumn<Range>("hole");  // zeros, left as a hole in the source
        const Range middle{8 * M + 3 * kSector, 10 * M + 5 * kSector};
        QTest::newRow("a zone in the middle") << 24 * M << middle << true << Range{};
        QTest::newRow("a zone near the start, across a 1 MiB boundary")
            << 8 * M << Range{M - 2 * kSector, M + 7 * kSector} << true << Range{};
        QTest::newRow("a zone in the tail's small pieces")
            << 6 * M + 123456 << Range{6 * M + 8 * kSector, 6 * M + 12 * kSector} << true << Range{};
        QTest::newRow("a hole read at the device stays a hole") << 24 * M << middle << true << Range{14 * M, 20 * M};
        QTest::newRow("direct access refused") << 24 * M << middle << false << Range{};
    }
    void rescuesAtTheDevice()
    {
        QFETCH(qint64, size);
        QFETCH(Range, zone);
        QFETCH(bool, direct);
        QFETCH(Range, hole);
        rt::setDirectAccessRefused(!direct);
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescue")).isEmpty())
            QSKIP("GNU ddrescue (gddrescue) is not installed, so there is nothing to hold the rescue against");
        QByteArray content = patternBytes(size, 26);
        content.replace(hole.begin, hole.end - hole.begin, QByteArray(hole.end - hole.begin, '\0'));
        DamagedDisk disk(content, zone, 0, hole);
        SKIP_UNLESS_MOUNTED(disk);
        TestDrives drives;
        rt::Drives::instance().setFixedMap({{u'c', disk.path()}, {u'd', drives.host(u'd')}});

        // This program: a copy that becomes a rescue at the first failing read.
        const qint64 before = disk.failedReads();
        {
            const rt::File source = rt::File::open(QStringLiteral("C:\\data.bin"), rt::File::Access::Read);
            QCOMPARE(source.blockSize(), kSector); // the disk's sector
            rt::Destination dest = prepareDestination(QStringLiteral("D:\\out.bin"), 0644);
            SilentProgress progress;
            rt::IoWorker io;
            CopyEngine engine(source, dest, progress, io);
            const CopyEngine::Outcome outcome = engine.run();
            QCOMPARE(int(outcome.end), int(CopyEngine::Outcome::End::Completed));
            QVERIFY(!dest.commit(outcome.length).closeError);
            QVERIFY(outcome.unreadable >= zone.end - zone.begin);
            QVERIFY(rt::createNewFile(QStringLiteral("D:\\out.bin.map"), engine.map().mapfile("duplon C:\\data.bin D:\\out.bin")));
        }
        const qint64 ours = disk.failedReads() - before;
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(drives.host(u'd', QStringLiteral("out.bin"))).constData(), &st) == 0);
        QVERIFY2(st.st_blocks * 512 <= size - (hole.end - hole.begin) + M, qPrintable(QString::number(st.st_blocks * 512)));

        // GNU ddrescue in the disk's sectors, with direct access where this program had it.
        disk.forget();
        const QString d = drives.host(u'd') + u'/';
        QStringList ddrescue{QStringLiteral("-q"), QStringLiteral("-b4096"), disk.filePath(), d + "dd.bin", d + "dd.map"};
        if (direct)
            ddrescue.prepend(QStringLiteral("-d"));
        QCOMPARE(QProcess::execute(QStringLiteral("ddrescue"), ddrescue), 0);
        const qint64 theirs = disk.failedReads() - before - ours;

        const QList<qint64> lost = lostSectors(content, drives.read(u'd', QStringLiteral("out.bin")), zone);
        const QList<qint64> lostByThem = lostSectors(content, drives.read(u'd', QStringLiteral("dd.bin")), zone);
        const QString figures = QStringLiteral("failing reads at the device: %1, ddrescue%5 %2; readable sectors lost: %3, ddrescue%5 %4")
                                    .arg(ours).arg(theirs).arg(lost.size()).arg(lostByThem.size())
                                    .arg(direct ? QStringLiteral(" -d") : QString());
        qInfo().noquote() << figures;
        // The first failing read is still buffered (a copy reads through the page
        // cache until something fails): the device sees failing read-ahead and
        // the kernel's retry of the page, up to five failing reads where a
        // direct read costs one (read-ahead depends on timing). Every later read
        // is direct; read buffered, the middle zone costs 776 failing reads
        // against ddrescue -d's 553, and 254 readable sectors are lost.
        QVERIFY2(ours <= theirs + 4, qPrintable(figures));
        // Through this stack the last sector before the zone may fail for every reader.
        QVERIFY2(lost.size() <= lostByThem.size() && lost.size() <= 1, qPrintable(figures));
        for (const qint64 s : lost)
            QCOMPARE(s, zone.begin / kSector - 1);

        // Copy again: the retry reads at the device from its first read, each
        // unreadable sector once per pass (forward, then backward; nothing
        // recovered, so no third).
        const qint64 beforeRetry = disk.failedReads();
        const rt::File source = rt::File::open(QStringLiteral("C:\\data.bin"), rt::File::Access::Read);
        rt::IoWorker io;
        std::optional<Resumable> resumable = findResumable(QStringLiteral("D:\\out.bin"), source, io);
        QVERIFY(resumable);
        SilentProgress progress;
        const RetryPasses::Outcome retried = RetryPasses(source, *std::move(resumable), progress, io).run();
        QCOMPARE(retried.passes, 2);
        QCOMPARE(retried.recovered, 0);
        const qint64 badSectors = (zone.end + kSector - 1) / kSector - zone.begin / kSector;
        const qint64 retryFailures = disk.failedReads() - beforeRetry;
        if (direct)
            QCOMPARE(retryFailures, 2 * badSectors);
        else // buffered, the kernel tries each page again before it fails the read
            QVERIFY2(retryFailures <= 4 * badSectors, qPrintable(QString::number(retryFailures)));
    }
};

QTEST_GUILESS_MAIN(TestDamagedDisk)
#include "tst_damaged_disk.moc"
