#include "copy/job/DestinationVerdict.h"
#include "copy/job/WritingPlan.h"
#include "copy/rescue/MapFinder.h"
#include "runtime/media/OnMedium.h"
#include "runtime/text/RtError.h"
#include "support/TestDrives.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The decisions before a copy writes, from gathered facts alone: no medium,
// no root.

namespace {

constexpr qint64 MiB = 1048576;
constexpr qint64 k4GiB = Q_INT64_C(4294967296);

rt::EntryFacts entry(rt::EntryFacts::Kind kind, ino_t inode = 0, mode_t mode = S_IFREG | 0640, int writeError = 0)
{
    return {kind, mode, 1, inode, 1000, 100, writeError};
}

} // namespace

Q_DECLARE_METATYPE(rt::EntryFacts)

class TestChecks : public QObject {
    Q_OBJECT
private slots:
    // The checks on a volume with `free` bytes for a source of `size` bytes
    // written as `name` (an entry differing in letter case: `twin`; the file
    // replaced takes `replacedBytes`).
    void destinationVerdict_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("free");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("replaces");
        QTest::addColumn<QString>("twin");
        QTest::addColumn<qint64>("replacedBytes");
        QTest::addColumn<QString>("said"); // the question or refusal, up to its first line's end
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<qint64>("reserve");
        QTest::addColumn<bool>("othersReadOnly"); // the file replaced is read-only and another user's
        const QString none;
        QTest::newRow("fits") << "ext4" << 5 * MiB << 6 * MiB << "a.bin" << false << none << 0LL << none << false << 5 * MiB << false;
        QTest::newRow("FAT: 4 GiB - 1 fits") << "vfat" << k4GiB - 1 << 2 * k4GiB << "a.bin" << false << none << 0LL << none
                                             << false << k4GiB << false;
        QTest::newRow("FAT: 4 GiB too large") << "vfat" << k4GiB << 2 * k4GiB << "a.bin" << false << none << 0LL
                                              << "The file C:\\src.bin is too large for drive D: [M] (vfat)." << false << 0LL << false;
        QTest::newRow("does not fit") << "exfat" << 24 * MiB << 12 * MiB << "a.bin" << false << none << 0LL
                                      << "The file C:\\src.bin does not fit on drive D: [M] (exfat)." << false << 0LL << false;
        QTest::newRow("fits only in place") << "ntfs" << 24 * MiB << 12 * MiB << "a.bin" << true << none << 24 * MiB << none
                                            << true << 0LL << false;
        QTest::newRow("case twin in place") << "ntfs" << 24 * MiB << 12 * MiB << "A.BIN" << false << "a.bin" << 24 * MiB
                                            << none << true << 0LL << false;
        QTest::newRow("btrfs tries") << "btrfs" << 24 * MiB << 12 * MiB << "a.bin" << false << none << 0LL << none << false << 0LL << false;
        QTest::newRow("tmpfs: no reservation") << "tmpfs" << 5 * MiB << 6 * MiB << "a.bin" << false << none << 0LL << none
                                               << false << 0LL << false;
        QTest::newRow("another user's read-only file") << "ext4" << MiB << 6 * MiB << "a.bin" << true << none << MiB
                                                       << "The file D:\\a.bin cannot be replaced." << false << 0LL << true;
        for (const QChar c : QStringView(u"\\/:*?\"<>|")) {
            QTest::addRow("'%c' on ext4", c.toLatin1()) << "ext4" << MiB << 6 * MiB << QStringLiteral("a%1b").arg(c) << false
                                                        << none << 0LL << none << false << MiB << false;
            QTest::addRow("'%c' on exFAT", c.toLatin1())
                << "exfat" << MiB << 6 * MiB << QStringLiteral("a%1b").arg(c) << false << none << 0LL
                << QStringLiteral("The file name 'a%1b' cannot be written on drive D: [M] (exfat).").arg(c) << false << 0LL << false;
        }
    }
    void destinationVerdict()
    {
        QFETCH(QString, type);
        QFETCH(qint64, size);
        QFETCH(qint64, free);
        QFETCH(QString, name);
        QFETCH(bool, replaces);
        QFETCH(QString, twin);
        QFETCH(qint64, replacedBytes);
        DestinationFacts f;
        f.volume = rt::Volume::ofType(type);
        f.volume.freeBytes = free;
        f.source = {size, size, {}, 7};
        f.replaces = replaces;
        QFETCH(bool, othersReadOnly);
        f.replaced = {replacedBytes, 1, othersReadOnly ? EACCES : 0, false};
        if (!twin.isEmpty())
            f.twin = twin;
        f.name = name;
        f.driverTakesName = false;
        f.sourceText = QStringLiteral("C:\\src.bin");
        f.destText = QStringLiteral("D:\\a.bin");
        f.driveText = QStringLiteral("D: [M]");

        const DestinationVerdict v = judgeDestination(f);
        QTEST((v.nameQuestion + v.refusal).section(QStringLiteral("\r\n"), 0, 0), "said");
        QTEST(v.roomOnlyInPlace, "inPlace");
        QTEST(v.options.reserve, "reserve");
        QCOMPARE(v.options.caseTwin, replaces ? QString() : twin);
    }

    // How a copy is written, from what lies under its name and beside it.
    void writingPlan_data()
    {
        using Kind = rt::EntryFacts::Kind;
        QTest::addColumn<rt::EntryFacts>("under");
        QTest::addColumn<rt::EntryFacts>("twin");
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<QString>("plan"); // refusal, replaces, twin removed, in place first, create mode
        const rt::EntryFacts missing;
        QTest::newRow("new") << missing << missing << false << "0 0 0 0 666";
        QTest::newRow("file") << entry(Kind::File, 5) << missing << false << "0 1 0 0 600";
        QTest::newRow("file, in place") << entry(Kind::File, 5) << missing << true << "0 1 0 1 600";
        QTest::newRow("link to a file") << entry(Kind::LinkToFile, 5) << missing << false << "0 1 0 0 600";
        QTest::newRow("link to nothing") << entry(Kind::DanglingLink) << missing << false << "0 0 0 0 666";
        QTest::newRow("pipe") << entry(Kind::Other, 0, S_IFIFO) << missing << false << "n 0 0 0 600";
        QTest::newRow("link to a folder") << entry(Kind::LinkToOther, 0, S_IFDIR) << missing << false << "l 0 0 0 600";
        QTest::newRow("unwritable") << entry(Kind::File, 5, S_IFREG, EACCES) << missing << false << "13 1 0 0 600";
        QTest::newRow("read-only, the user's own") << rt::EntryFacts{Kind::File, S_IFREG | 0444, 1, 5, 1000, 100, EACCES, true}
                                                   << missing << false << "0 1 0 0 600";
        QTest::newRow("twin is the file, in place") << entry(Kind::File, 5) << entry(Kind::File, 5) << true << "0 1 0 1 600";
        QTest::newRow("twin alone") << missing << entry(Kind::File, 6) << false << "0 1 1 0 600";
        QTest::newRow("twin alone, in place") << missing << entry(Kind::File, 6) << true << "0 1 0 1 600";
        QTest::newRow("twin a folder") << missing << entry(Kind::Other, 6, S_IFDIR) << false << "n 0 0 0 600";
    }
    void writingPlan()
    {
        QFETCH(rt::EntryFacts, under);
        QFETCH(rt::EntryFacts, twin);
        QFETCH(bool, inPlace);
        rt::DestinationOptions options;
        options.inPlace = inPlace;
        const rt::WritePlan p = planWriting({"/d", "out.bin", under, "OUT.BIN", twin}, 0666, options);
        const QString refusal = p.notRegularMode ? QString(p.throughLink ? u'l' : u'n') : QString::number(p.refusalError);
        QTEST(QStringLiteral("%1 %2 %3 %4 %5").arg(refusal).arg(p.replaces).arg(!p.twinName.isEmpty()).arg(p.inPlaceFirst)
                  .arg(p.createMode, 0, 8),
              "plan");
        if (p.replaces && !p.refusalError)
            QCOMPARE(p.oldOwner, uid_t(1000));
    }

    // The entry differing in letter case goes once the copy has its name, but
    // only while it is still the file that was there.
    void caseTwinGoesOnlyWhileTheSame_data()
    {
        QTest::addColumn<bool>("swapped");
        QTest::newRow("unchanged") << false;
        QTest::newRow("another file meanwhile") << true;
    }
    void caseTwinGoesOnlyWhileTheSame()
    {
        QFETCH(bool, swapped);
        TestDrives drives;
        drives.makeFile(u'd', QStringLiteral("OUT.BIN"), "old");
        rt::DestinationOptions options;
        options.caseTwin = QStringLiteral("OUT.BIN");
        rt::Destination d = prepareDestination(QStringLiteral("D:\\out.bin"), 0644, options);
        if (swapped) {
            drives.makeFile(u'd', QStringLiteral("other"), "another");
            QCOMPARE(::rename(QFile::encodeName(drives.host(u'd', QStringLiteral("other"))),
                              QFile::encodeName(drives.host(u'd', QStringLiteral("OUT.BIN")))), 0);
        }
        (void)d.commit(0);
        QCOMPARE(drives.exists(u'd', QStringLiteral("OUT.BIN")), swapped);
        QVERIFY(drives.exists(u'd', QStringLiteral("out.bin")));
    }

    // A read-only file (a copy of a read-only source) is replaced for its
    // owner by a rename, its mode kept; anyone else is refused.
    void readOnlyFileReplacedOnlyForItsOwner_data()
    {
        QTest::addColumn<uid_t>("owner");
        QTest::newRow("the user's own") << uid_t(65534);
        QTest::newRow("another user's") << uid_t(1234);
    }
    void readOnlyFileReplacedOnlyForItsOwner()
    {
        QFETCH(uid_t, owner);
        if (geteuid() != 0)
            QSKIP("handing a file to another user needs root");
        TestDrives drives;
        drives.makeFolder(u'd', QStringLiteral("sub"));
        drives.makeFile(u'd', QStringLiteral("sub/out.bin"), "old");
        const QByteArray file = QFile::encodeName(drives.host(u'd', QStringLiteral("sub/out.bin")));
        for (const QString &path : {QFileInfo(drives.host(u'd')).absolutePath(), drives.host(u'd')})
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0755), 0);
        QCOMPARE(::chown(QFile::encodeName(drives.host(u'd', QStringLiteral("sub"))).constData(), 65534, 65534), 0);
        QCOMPARE(::chown(file.constData(), owner, owner), 0);
        QCOMPARE(::chmod(file.constData(), 0444), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(77);
            try {
                rt::Destination d = prepareDestination(QStringLiteral("D:\\sub\\out.bin"), 0666);
                (void)d.commit(0);
                ::_exit(0);
            } catch (const rt::RtError &e) {
                ::_exit(e.reason() == rt::reasonFromErrno(EACCES) ? 2 : 3);
            }
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), owner == 65534 ? 0 : 2);
        struct stat now {};
        QCOMPARE(::stat(file.constData(), &now), 0);
        QCOMPARE(now.st_size, owner == 65534 ? 0 : 3);
        QCOMPARE(now.st_mode & 0777, mode_t(0444));
    }

    // A map beside its copy: gone on with only where the lengths agree.
    void mapLengthsFit_data()
    {
        QTest::addColumn<qint64>("mapEnd");
        QTest::addColumn<qint64>("finished");
        QTest::addColumn<qint64>("copyLength");
        QTest::addColumn<bool>("fits");
        QTest::newRow("shorter copy") << 4096LL << 1024LL << 2048LL << true;
        QTest::newRow("copy of the source's length") << 4096LL << 1024LL << 4096LL << true;
        QTest::newRow("longer copy") << 4096LL << 1024LL << 4097LL << false;
        QTest::newRow("map of another length") << 8192LL << 1024LL << 4096LL << false;
        QTest::newRow("nothing left to read") << 4096LL << 4096LL << 4096LL << false;
    }
    void mapLengthsFit()
    {
        QFETCH(qint64, mapEnd);
        QFETCH(qint64, finished);
        QFETCH(qint64, copyLength);
        const std::optional<RescueMap> map = RescueMap::parse(
            QStringLiteral("0 +\n0x0 0x%1 +\n0x%1 0x%2 -\n").arg(finished, 0, 16).arg(mapEnd - finished, 0, 16).toLatin1());
        QVERIFY(map);
        QTEST(lengthsFit(*map, 4096, copyLength), "fits");
    }

    // A share that does not answer keeps the window waiting 10 s, no less, no more.
    void silentShareAnswerLimit()
    {
        const auto silent = std::make_shared<std::atomic<bool>>(true);
        QElapsedTimer clock;
        clock.start();
        const std::optional<int> answer = rt::answerOf(QStringLiteral("silent medium"), [silent] {
            while (*silent)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return 1;
        }, rt::kMediumAnswerLimit);
        *silent = false;
        QVERIFY(!answer);
        QVERIFY2(clock.elapsed() >= 10000 && clock.elapsed() < 11000, qPrintable(QString::number(clock.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestChecks)
#include "tst_checks.moc"
