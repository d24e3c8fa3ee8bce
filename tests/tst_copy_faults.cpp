#include "support/TestKit.h"
#include "support/CopyWatch.h"
#include "runtime/files/Transfer.h"
#include "support/TmpfsMount.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace copytest;

using namespace testkit;

namespace {

// The first offset at which two files differ, or -1; read a piece at a time
// so files of gigabytes can be compared.
qint64 firstDifference(const QString &a, const QString &b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return 0;
    if (fa.size() != fb.size())
        return std::min(fa.size(), fb.size());
    qint64 offset = 0;
    for (;;) {
        const QByteArray x = fa.read(4 * kLargePiece);
        const QByteArray y = fb.read(4 * kLargePiece);
        if (x != y) {
            for (qsizetype i = 0; i < std::min(x.size(), y.size()); ++i)
                if (x[i] != y[i])
                    return offset + i;
            return offset + std::min(x.size(), y.size());
        }
        if (x.isEmpty())
            return -1;
        offset += x.size();
    }
}


} // namespace

class TestCopyFaults : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // A source that fails where its size says it has ended (a kernel file
    // whose size reads 0) is refused, never copied as empty without a word.
    void readFailingPastTheEndIsReported()
    {
        FormFixture f;
        QVERIFY(prepareCopy(f, QByteArray()));
        CopyWatch watch(f.c());
        watch.unreadable = {0};
        watch.readError = EIO;

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("The source file C:\\src.bin could not be read.\r\n")
                                                   + reason(EIO)});
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
    }

    // Once the copy has its name, a failure is no failed write and no success.
    void failureAfterTheNameIsTaken_data()
    {
        QTest::addColumn<int>("folderFlush");
        QTest::addColumn<int>("close");
        QTest::addColumn<QString>("says");
        QTest::newRow("the folder's flush") << EIO << 0 << QStringLiteral("its folder entry may not yet be on the medium.");
        QTest::newRow("a late write error at the close") << 0 << EIO << QStringLiteral("the copy under its name may be incomplete.");
    }
    void failureAfterTheNameIsTaken()
    {
        QFETCH(int, folderFlush);
        QFETCH(int, close);
        QFETCH(QString, says);
        FormFixture f;
        const QByteArray content = patternBytes(3000, 3);
        QVERIFY(prepareCopy(f, content));
        rt::Destination::setFailuresAfterNaming({folderFlush, close});

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("The file D:\\out.bin was copied, but ") + says + QStringLiteral("\r\n")
                                                   + reason(EIO)});
        QCOMPARE(f.dialogs.shown[0].style, 48);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
    }

    // ---- failed writes end the copy -------------------------------------------

    void failedWriteEndsTheCopy_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("failAt");     // destination offset of the failing write
        QTest::addColumn<int>("osError");
        QTest::addColumn<qint64>("unreadable"); // a piece whose read fails first, or -1
        QTest::addColumn<int>("pieces");        // pieces run, the failing one included

        QTest::newRow("first piece, disk full") << qint64(3 * kLargePiece) << qint64(0) << ENOSPC << qint64(-1) << 1;
        QTest::newRow("second piece, disk full")
            << qint64(3 * kLargePiece) << kLargePiece << ENOSPC << qint64(-1) << 2;
        QTest::newRow("small piece, medium gone")
            << qint64(3000000) << 2 * kLargePiece + 5 * kSmallPiece << EIO << qint64(-1) << 8;
        QTest::newRow("file too large") << qint64(3 * kLargePiece) << 2 * kLargePiece << EFBIG << qint64(-1) << 3;
        // The zeros for an unreadable block cannot be written either: three
        // pieces (the first pass leaps from the failed one to the end, the
        // second reads the one leapt over), then the block at the failed piece's start.
        QTest::newRow("zeros of an unreadable block")
            << qint64(3 * kLargePiece) << kLargePiece << ENOSPC << kLargePiece << 4;
    }
    void failedWriteEndsTheCopy()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, failAt);
        QFETCH(int, osError);
        QFETCH(qint64, unreadable);
        QFETCH(int, pieces);

        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(size, 22)));
        CopyWatch watch(f.c());
        if (unreadable >= 0)
            watch.unreadable = {unreadable};
        int writesRefused = 0;
        rt::setWriteFaultHook([&](qint64 offset, qint64) {
            if (offset != failAt)
                return 0;
            ++writesRefused;
            return osError;
        });
        // A copy that went on after the failure would never end: stop it, and fail below.
        watch.onRead = [&](qint64, qint64) {
            if (watch.reads.size() > pieces + 2)
                f.copy().Copying = false;
        };
        const DescriptorGuard descriptors;
        // The files are closed and the destination gone before the message shows.
        bool destinationDuringMessage = true;
        int descriptorsDuringMessage = -1;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &) {
            destinationDuringMessage = f.drives.exists(u'd', QStringLiteral("out.bin"));
            descriptorsDuringMessage = openDescriptors();
        };

        f.c().cmdCopy->click();

        QCOMPARE(writesRefused, 1);
        QVERIFY(!destinationDuringMessage);
        QCOMPARE(descriptorsDuringMessage, descriptors.before());
        QCOMPARE(watch.reads.size(), qsizetype(pieces));
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        // A rescue whose map can still be saved is kept; a healthy copy goes.
        QCOMPARE(f.dialogs.shown[0].prompt, notWritten() + reason(osError)
                     + (unreadable >= 0 ? QStringLiteral("\r\n2 MB of 3 MB were rescued and are kept in 'out.bin.part' to go on later.") : QString()));
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.part")), unreadable >= 0);
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QVERIFY(f.readyToCopy());
    }

    void fullFileSystem()
    {
        FormFixture f;
        QTemporaryDir mountBase;
        QVERIFY(mountBase.isValid());
        const TmpfsMount tmpfs(mountBase.path(), "size=1m");
        if (!tmpfs.mounted())
            QSKIP(qPrintable(tmpfs.whyNot() + QStringLiteral("; a full disk is only simulated in failedWriteEndsTheCopy")));
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', mountBase.path()}});
        QVERIFY(prepareCopy(f, patternBytes(3 * kLargePiece, 23)));
        CopyWatch watch(f.c());
        // A copy that went on after the failure would never end (and never
        // unmount): stop it, and fail below.
        watch.onRead = [&](qint64, qint64) {
            if (watch.reads.size() > 10)
                f.copy().Copying = false;
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        // Refused before a byte is written, with the drive and the numbers.
        QCOMPARE(f.dialogs.messages().size(), qsizetype(1));
        const QString text = f.dialogs.messages().constFirst();
        QVERIFY2(text.startsWith(QStringLiteral("The file C:\\src.bin does not fit on drive D: [")) && text.contains(u"(tmpfs)")
                     && text.contains(u"needs 3.0 MiB (3,145,728 bytes)") && text.contains(u"has 1.0 MiB (1,048,576 bytes) free."),
                 qPrintable(text));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QCOMPARE(watch.reads.size(), qsizetype(0));
        QCOMPARE(QDir(mountBase.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                 QStringList());
        QVERIFY(f.readyToCopy());
    }

    // A copy written in place (room for one of the two files only) that is
    // stopped or fails, in a folder whose entries may not be removed: the
    // half-written file is named, never left without a word.
    void inPlaceCopyThatCannotBeDeletedSaysSo_data()
    {
        QTest::addColumn<bool>("stopped");
        QTest::newRow("stopped") << true;
        QTest::newRow("failed") << false;
    }
    void inPlaceCopyThatCannotBeDeletedSaysSo()
    {
        QFETCH(bool, stopped);
        FormFixture f;
        QTemporaryDir mountBase;
        const TmpfsMount tmpfs(mountBase.path(), "size=1m");
        if (!tmpfs.mounted())
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs here (%1)").arg(reason(tmpfs.error()))));
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', mountBase.path()}});
        QFile old(mountBase.filePath(QStringLiteral("out.bin")));
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(600 << 10, 'o')) == 600 << 10);
        old.close();
        QVERIFY(prepareCopy(f, patternBytes(700 << 10, 27)));
        const int folder = ::open(QFile::encodeName(mountBase.path()).constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (::ioctl(folder, FS_IOC_GETFLAGS, &flags) != 0 || (flags |= FS_APPEND_FL, ::ioctl(folder, FS_IOC_SETFLAGS, &flags)) != 0)
            QSKIP("no append-only folders here (that needs root and a file system that has them)");
        CopyWatch watch(f.c());
        watch.onRead = [&](qint64, qint64) { f.copy().Copying = !stopped || watch.reads.size() < 10; };
        rt::setWriteFaultHook([stopped](qint64 at, qint64) { return !stopped && at > 0 ? EIO : 0; });
        f.dialogs.answers = {rt::AnswerYes, rt::AnswerYes}; // replace, in place
        f.c().cmdCopy->click();
        flags &= ~FS_APPEND_FL;
        ::ioctl(folder, FS_IOC_SETFLAGS, &flags);
        ::close(folder);
        QCOMPARE(f.dialogs.shown.size(), qsizetype(stopped ? 3 : 4));
        QCOMPARE(f.dialogs.messages().constLast(),
                 QStringLiteral("The file D:\\out.bin was being written in place and could not be deleted: it is left "
                                "incomplete.\r\n") + reason(EPERM));
    }

    void copiesAcrossFileSystems_data()
    {
        QTest::addColumn<QChar>("onTmpfs"); // the drive put on its own file system
        QTest::newRow("to a tmpfs") << QChar(u'd');
        QTest::newRow("from a tmpfs") << QChar(u'c');
    }
    void copiesAcrossFileSystems()
    {
        // The kernel may refuse to copy between file systems; the bytes must
        // arrive all the same.
        QFETCH(QChar, onTmpfs);
        FormFixture f;
        QTemporaryDir mountBase;
        QVERIFY(mountBase.isValid());
        const TmpfsMount tmpfs(mountBase.path(), "size=16m");
        SKIP_UNLESS_MOUNTED(tmpfs);
        std::map<QChar, QString> map{{u'c', f.drives.host(u'c')}, {u'd', f.drives.host(u'd')}};
        map[onTmpfs] = mountBase.path();
        rt::Drives::instance().setFixedMap(map);
        const qint64 size = 3000000;
        const QByteArray content = patternBytes(size, 27);
        QFile source(map[u'c'] + QStringLiteral("/src.bin"));
        QVERIFY(source.open(QIODevice::WriteOnly));
        QCOMPARE(source.write(content), size);
        source.close();
        f.start();
        aimCopy(f, QStringLiteral("src.bin"));
        CopyWatch watch(f.c());

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QCOMPARE(watch.reads, CopyWatch::readsOf(expectedPieces(size)));
        QFile dest(map[u'd'] + QStringLiteral("/out.bin"));
        QVERIFY(dest.open(QIODevice::ReadOnly));
        QVERIFY(dest.readAll() == content);
    }

    // ---- beyond 2 GiB -----------------------------------------------------------

    void sparseFileBeyondTwoGigabytes()
    {
        constexpr qint64 size = 2147484672; // 2 GiB + 1 KiB
        FormFixture f;
        struct statvfs fs {};
        QCOMPARE(::statvfs(QFile::encodeName(f.drives.host(u'd')).constData(), &fs), 0);
        if (qint64(fs.f_bavail) * qint64(fs.f_frsize) < size + 512 * kLargePiece)
            QSKIP("less than 2.5 GiB free next to the temporary files");

        const QByteArray sourceHost = QFile::encodeName(f.drives.host(u'c', QStringLiteral("sparse.bin")));
        {
            const int fd = ::open(sourceHost.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::ftruncate(fd, size), 0);
            // Marks near the start, across the 2 GiB line and at the very end.
            const struct {
                qint64 offset;
                QByteArray bytes;
            } marks[] = {{100, "start"}, {2147483647 - 2, "ABCDE"}, {size - 3, "end"}};
            for (const auto &m : marks)
                QCOMPARE(::pwrite(fd, m.bytes.constData(), size_t(m.bytes.size()), m.offset), ssize_t(m.bytes.size()));
            QCOMPARE(::close(fd), 0);
        }
        f.start();
        aimCopy(f, QStringLiteral("sparse.bin"));
        CopyWatch watch(f.c());

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        const QString destHost = f.drives.host(u'd', QStringLiteral("out.bin"));
        QCOMPARE(QFileInfo(destHost).size(), size);
        QCOMPARE(firstDifference(QFile::decodeName(sourceHost), destHost), qint64(-1));
        QCOMPARE(f.c().KorBar->barValue(), 100);
        QCOMPARE(f.c().lblCopied->caption(), QStringLiteral("2048 MB"));
        QCOMPARE(f.c().lblInputLoc->caption(), QStringLiteral("2147484672"));
        // 2048 large pieces, a full small one, and one that reads nothing.
        QCOMPARE(watch.reads.size(), qsizetype(2050));
        QCOMPARE(watch.reads[2048], (CopyWatch::Read{2147483648, 1024}));
        QCOMPARE(watch.reads[2049], (CopyWatch::Read{size, 1024}));
        // The bar only ever climbs, past 2 GiB included.
        int last = 0;
        for (const auto &s : watch.shown.bar) {
            QVERIFY2(s.value > last && s.value <= 100, qPrintable(QStringLiteral("piece %1: %2").arg(s.piece).arg(s.value)));
            last = s.value;
        }
        QFile::remove(destHost);
    }
};

QTEST_MAIN(TestCopyFaults)
#include "tst_copy_faults.moc"
