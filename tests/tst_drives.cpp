#include "runtime/Drives.h"
#include "runtime/FileAccess.h"
#include "runtime/RtError.h"
#include "support/TestDrives.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {
int errorOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const rt::RtError &e) {
        return e.number();
    }
    return 0;
}
} // namespace

class TestDrivesAndFiles : public QObject {
    Q_OBJECT
private slots:
    void normalizesDriveLetterPaths_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("normalized");
        QTest::newRow("plain") << "C:\\Data\\a.txt" << "C:\\Data\\a.txt";
        QTest::newRow("lower-case letter") << "c:\\Data" << "C:\\Data";
        QTest::newRow("repeated backslashes") << "c:\\\\Data\\\\\\a.txt" << "C:\\Data\\a.txt";
        QTest::newRow("trailing backslash") << "C:\\Data\\" << "C:\\Data";
        QTest::newRow("root") << "C:\\" << "C:\\";
        QTest::newRow("root, doubled") << "C:\\\\" << "C:\\";
        QTest::newRow("dot-dot stays inside the drive") << "C:\\..\\..\\Data" << "C:\\Data";
        QTest::newRow("dot") << "D:\\.\\x\\.\\y" << "D:\\x\\y";
        QTest::newRow("bare drive is its current folder") << "c:" << "C:\\Work";
        QTest::newRow("relative to the current folder") << "c:Sub" << "C:\\Work\\Sub";
        QTest::newRow("bare other drive is its root") << "d:" << "D:\\";
    }
    void normalizesDriveLetterPaths()
    {
        QFETCH(QString, given);
        QFETCH(QString, normalized);
        TestDrives drives;
        drives.makeFolder(u'c', QStringLiteral("Work"));
        drives.cd(u'c', QStringLiteral("Work"));
        QCOMPARE(rt::Drives::instance().normalize(given), normalized);
    }

    void translatesToHostPaths()
    {
        TestDrives drives;
        const rt::Drives &map = rt::Drives::instance();
        QCOMPARE(map.toHost(QStringLiteral("C:\\")), drives.host(u'c'));
        QCOMPARE(map.toHost(QStringLiteral("c:\\\\Data\\a.txt")), drives.host(u'c', QStringLiteral("Data/a.txt")));
        QCOMPARE(map.toHost(QStringLiteral("D:\\x")), drives.host(u'd', QStringLiteral("x")));
        QCOMPARE(map.toDrivePath(u'd', drives.host(u'd', QStringLiteral("x/y"))), QStringLiteral("D:\\x\\y"));
        QCOMPARE(map.toDrivePath(u'd', drives.host(u'd')), QStringLiteral("D:\\"));
        QVERIFY(!map.toDrivePath(u'd', drives.host(u'c')).has_value());
        QVERIFY(!map.toDrivePath(u'd', drives.host(u'd', QStringLiteral("a\\b"))).has_value());
    }

    void driveWithoutMediumIsNotReady()
    {
        TestDrives drives;
        const rt::Drives &map = rt::Drives::instance();
        QVERIFY(map.isReady(u'c'));
        QVERIFY(map.isReady(u'D')); // either case
        QVERIFY(!map.isReady(u'e'));
        QVERIFY(!map.isReady(u'q')); // not in the map at all
        QCOMPARE(map.letters(), (QList<QChar>{u'c', u'd', u'e'}));
        QCOMPARE(errorOf([&] { map.toHost(QStringLiteral("E:\\x")); }), int(rt::ErrDeviceUnavailable));
        QCOMPARE(errorOf([&] { map.toHost(QStringLiteral("Q:\\")); }), int(rt::ErrDeviceUnavailable));
        QCOMPARE(errorOf([&] { map.toHost(QStringLiteral("\\no\\drive")); }), int(rt::ErrPathNotFound));
        QCOMPARE(errorOf([&] { rt::fileLength(QStringLiteral("e:\\a.txt")); }), int(rt::ErrDeviceUnavailable));
    }

    void currentFolderFollowsTheProcess()
    {
        TestDrives drives;
        const rt::Drives &map = rt::Drives::instance();
        drives.makeFolder(u'd', QStringLiteral("Deep/Er"));
        drives.cd(u'd', QStringLiteral("Deep/Er"));
        QCOMPARE(map.currentDrive(), QChar(u'd'));
        QCOMPARE(map.currentFolder(u'd'), QStringLiteral("D:\\Deep\\Er"));
        QCOMPARE(map.currentFolder(u'c'), QStringLiteral("C:\\"));
        drives.cd(u'c', QString());
        QCOMPARE(map.currentDrive(), QChar(u'c'));
        QCOMPARE(map.currentFolder(u'd'), QStringLiteral("D:\\"));
    }

    void systemMapHasTheRootAsC()
    {
        rt::Drives::instance().useSystemMap();
        QCOMPARE(rt::Drives::instance().root(u'c'), QStringLiteral("/"));
        QVERIFY(rt::Drives::instance().isReady(u'c'));
        QCOMPARE(rt::Drives::instance().toHost(QStringLiteral("C:\\tmp")), QStringLiteral("/tmp"));
        QCOMPARE(rt::Drives::instance().refresh().first(), QChar(u'c'));
    }

    void mountedVolumeBecomesADriveAndLeaves()
    {
        // Given a real (loop) device mounted after start,
        QTemporaryDir dir;
        const QByteArray image = QFile::encodeName(dir.path() + QStringLiteral("/volume.img"));
        const QByteArray mountPoint = QFile::encodeName(dir.path() + QStringLiteral("/usb"));
        QVERIFY(QDir().mkpath(QFile::decodeName(mountPoint)));
        if (geteuid() != 0
            || system(("truncate -s 8M '" + image + "' && mkfs.ext4 -q '" + image + "' 2>/dev/null").constData()) != 0
            || system(("mount -o loop '" + image + "' '" + mountPoint + "' 2>/dev/null").constData()) != 0)
            QSKIP("Mounting a loop device is not allowed here.");
        rt::Drives &map = rt::Drives::instance();
        map.useSystemMap();

        // then the drives, read again, list it under a letter of its own,
        const QList<QChar> letters = map.refresh();
        QChar letter;
        for (QChar l : letters)
            if (map.root(l) == QFile::decodeName(mountPoint))
                letter = l;
        const int unmounted = system(("umount '" + mountPoint + "'").constData());
        QVERIFY2(!letter.isNull(), "the mounted volume got no drive letter");
        QVERIFY(letter > QChar(u'c'));
        QCOMPARE(unmounted, 0);
        // and once it is gone, the letter is no longer listed and is not ready.
        QVERIFY(!map.refresh().contains(letter));
        QVERIFY(!map.isReady(letter));
        QCOMPARE(errorOf([&] { map.toHost(QString(letter) + QStringLiteral(":\\")); }), int(rt::ErrDeviceUnavailable));
    }

    void listsVisibleRepresentableNamesSorted()
    {
        TestDrives drives;
        drives.makeFile(u'c', QStringLiteral("b.txt"), "b");
        drives.makeFile(u'c', QStringLiteral("A.txt"), "a");
        drives.makeFile(u'c', QStringLiteral("c.TXT"), "c");
        drives.makeFile(u'c', QStringLiteral(".hidden"), "h");
        drives.makeFile(u'c', QStringLiteral("back\\slash"), "x");
        drives.makeFolder(u'c', QStringLiteral("Sub"));
        drives.makeFolder(u'c', QStringLiteral("another"));
        drives.makeFolder(u'c', QStringLiteral(".git"));
        // A name that is not valid UTF-8 cannot be shown or typed back.
        const QByteArray badName = QFile::encodeName(drives.host(u'c')) + "/bad\xff.bin";
        FILE *f = fopen(badName.constData(), "w");
        QVERIFY(f);
        fclose(f);
        QVERIFY(symlink("b.txt", QFile::encodeName(drives.host(u'c', QStringLiteral("link.txt"))).constData()) == 0);
        QVERIFY(symlink("Sub", QFile::encodeName(drives.host(u'c', QStringLiteral("SubLink"))).constData()) == 0);
        QVERIFY(symlink("nowhere", QFile::encodeName(drives.host(u'c', QStringLiteral("dangling"))).constData()) == 0);

        QCOMPARE(rt::listFolder(QStringLiteral("C:\\"), rt::EntryKind::Files),
                 (QStringList{QStringLiteral("A.txt"), QStringLiteral("b.txt"), QStringLiteral("c.TXT"),
                              QStringLiteral("link.txt")}));
        QCOMPARE(rt::listFolder(QStringLiteral("C:\\"), rt::EntryKind::Folders),
                 (QStringList{QStringLiteral("another"), QStringLiteral("Sub"), QStringLiteral("SubLink")}));
        QCOMPARE(errorOf([] { rt::listFolder(QStringLiteral("C:\\nope"), rt::EntryKind::Files); }),
                 int(rt::ErrPathNotFound));
        unlink(badName.constData()); // Qt cannot remove a name it cannot decode
    }

    void fileOperationsRaiseNumberedErrors()
    {
        TestDrives drives;
        drives.makeFile(u'c', QStringLiteral("a.txt"), "12345");
        QCOMPARE(rt::fileLength(QStringLiteral("C:\\a.txt")), qint64(5));
        QCOMPARE(rt::findFile(QStringLiteral("C:\\\\a.txt")), QStringLiteral("a.txt"));
        QCOMPARE(rt::findFile(QStringLiteral("C:\\A.TXT")), QString());
        QCOMPARE(errorOf([] { rt::fileLength(QStringLiteral("C:\\none.txt")); }), int(rt::ErrFileNotFound));

        rt::makeDir(QStringLiteral("C:\\\\New"));
        QVERIFY(drives.exists(u'c', QStringLiteral("New")));
        QCOMPARE(rt::findFile(QStringLiteral("C:\\New")), QString()); // folders are no files
        // A link to nothing is an entry a copy would replace; a link to a folder is a folder.
        QVERIFY(symlink("nowhere", QFile::encodeName(drives.host(u'c', QStringLiteral("dangling"))).constData()) == 0);
        QVERIFY(symlink("New", QFile::encodeName(drives.host(u'c', QStringLiteral("NewLink"))).constData()) == 0);
        QCOMPARE(rt::findFile(QStringLiteral("C:\\dangling")), QStringLiteral("dangling"));
        QCOMPARE(rt::findFile(QStringLiteral("C:\\NewLink")), QString());
        QCOMPARE(errorOf([] { rt::makeDir(QStringLiteral("C:\\New")); }), int(rt::ErrPathFileAccess));
        QCOMPARE(errorOf([] { rt::makeDir(QStringLiteral("C:\\a\\b\\c")); }), int(rt::ErrPathNotFound));

        drives.makeFile(u'c', QStringLiteral("New/inside"), "x");
        QCOMPARE(errorOf([] { rt::removeDir(QStringLiteral("C:\\New")); }), int(rt::ErrPathFileAccess));
        QCOMPARE(errorOf([] { rt::removeDir(QStringLiteral("C:\\")); }), int(rt::ErrPathFileAccess));
        QVERIFY(drives.exists(u'c', QStringLiteral("New/inside")));

        // Deleting a file never removes a folder, empty or not.
        rt::makeDir(QStringLiteral("C:\\Empty"));
        QCOMPARE(errorOf([] { rt::killFile(QStringLiteral("C:\\Empty\\")); }), int(rt::ErrPathFileAccess));
        QVERIFY(drives.exists(u'c', QStringLiteral("Empty")));
        rt::killFile(QStringLiteral("C:\\New\\inside"));
        QVERIFY(!drives.exists(u'c', QStringLiteral("New/inside")));
        rt::removeDir(QStringLiteral("C:\\New"));
        QVERIFY(!drives.exists(u'c', QStringLiteral("New")));
    }

    void sameFileSeesThroughLinksAndSpellings()
    {
        TestDrives drives;
        drives.makeFolder(u'c', QStringLiteral("Data"));
        drives.makeFile(u'c', QStringLiteral("Data/a.bin"), "a");
        drives.makeFile(u'c', QStringLiteral("Data/b.bin"), "b");
        QVERIFY(link(QFile::encodeName(drives.host(u'c', QStringLiteral("Data/a.bin"))).constData(),
                     QFile::encodeName(drives.host(u'd', QStringLiteral("hard.bin"))).constData()) == 0);
        QVERIFY(rt::sameFile(QStringLiteral("C:\\Data\\a.bin"), QStringLiteral("c:\\\\Data\\.\\a.bin")));
        QVERIFY(rt::sameFile(QStringLiteral("C:\\Data\\a.bin"), QStringLiteral("D:\\hard.bin")));
        QVERIFY(!rt::sameFile(QStringLiteral("C:\\Data\\a.bin"), QStringLiteral("C:\\Data\\b.bin")));
        QVERIFY(!rt::sameFile(QStringLiteral("C:\\Data\\a.bin"), QStringLiteral("C:\\Data\\none.bin")));
        QVERIFY(!rt::sameFile(QStringLiteral("E:\\a.bin"), QStringLiteral("C:\\Data\\a.bin"))); // not ready
    }
};

QTEST_GUILESS_MAIN(TestDrivesAndFiles)
#include "tst_drives.moc"
