#include "runtime/media/Drives.h"
#include "runtime/media/EscapedBytes.h"
#include "runtime/media/MountTable.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/FolderListing.h"
#include "runtime/text/RtError.h"
#include "support/TestDrives.h"

#include <QTemporaryDir>

#include <algorithm>
#include <QTest>

#include <sys/mount.h>
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

    void driveIsReadyOnlyWhenItCanBeListed_data()
    {
        QTest::addColumn<QChar>("letter");
        QTest::addColumn<bool>("unreadable");
        QTest::addColumn<bool>("ready");
        QTest::newRow("folder") << QChar(u'c') << false << true;
        QTest::newRow("upper-case letter") << QChar(u'D') << false << true;
        QTest::newRow("folder missing") << QChar(u'e') << false << false;
        QTest::newRow("letter not in the map") << QChar(u'q') << false << false;
        QTest::newRow("folder that cannot be listed") << QChar(u'd') << true << false;
    }
    void driveIsReadyOnlyWhenItCanBeListed()
    {
        QFETCH(QChar, letter);
        QFETCH(bool, unreadable);
        QFETCH(bool, ready);
        TestDrives drives;
        const rt::Drives &map = rt::Drives::instance();
        const QByteArray folder = QFile::encodeName(drives.host(letter.toLower()));
        // Root reads every folder: it asks as an ordinary user instead.
        const bool asNobody = unreadable && geteuid() == 0;
        if (unreadable) {
            QVERIFY(chmod(QFile::encodeName(QFileInfo(drives.host(u'c')).path()).constData(), 0755) == 0);
            QVERIFY(chmod(folder.constData(), 0) == 0);
            if (asNobody)
                QVERIFY(seteuid(65534) == 0);
        }
        const bool isReady = map.isReady(letter);
        const int error = errorOf([&] { map.toHost(QString(letter) + QStringLiteral(":\\x")); });
        if (asNobody)
            QVERIFY(seteuid(0) == 0);
        if (unreadable)
            QVERIFY(chmod(folder.constData(), 0755) == 0);
        QCOMPARE(isReady, ready);
        QCOMPARE(error, ready ? 0 : int(rt::ErrDeviceUnavailable));
    }

    void lettersAreListedInOrder()
    {
        TestDrives drives;
        rt::Drives &map = rt::Drives::instance();
        map.setFixedMap({{u'E', drives.host(u'd')}, {u'c', drives.host(u'c')}, {u'D', drives.host(u'd')}});
        QCOMPARE(map.letters(), (QList<QChar>{u'c', u'd', u'e'}));
        QCOMPARE(map.refresh(), map.letters());
        QCOMPARE(errorOf([&] { map.toHost(QStringLiteral("\\no\\drive")); }), int(rt::ErrPathNotFound));
    }

    void displayPathsHaveSingleSeparators_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("shown");
        QTest::newRow("ready drive") << "c:\\\\Data\\\\a.txt" << "C:\\Data\\a.txt";
        QTest::newRow("drive not ready") << "e:\\\\onE.txt" << "E:\\onE.txt";
        QTest::newRow("root of a drive not ready") << "E:\\\\" << "E:\\";
        QTest::newRow("folder of a drive not ready") << "E:\\x/\\y\\" << "E:\\x\\y";
    }
    void displayPathsHaveSingleSeparators()
    {
        QFETCH(QString, given);
        QFETCH(QString, shown);
        TestDrives drives;
        QCOMPARE(rt::displayPath(given), shown);
    }

    // Mount folders and labels as the system's tables write them.
    void escapedBytesAreRead_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("marker");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("mount folder with a space") << QByteArray("/mnt/my\\040stick") << QByteArray() << QByteArray("/mnt/my stick");
        QTest::newRow("backslash, tab at the end") << QByteArray("a\\134b\\011") << QByteArray() << QByteArray("a\\b\t");
        QTest::newRow("label in UTF-8") << QByteArray("Fotos\\x20\\xc3\\xa9t\\xc3\\xa9") << QByteArray("x") << QByteArray("Fotos \xc3\xa9t\xc3\xa9");
        QTest::newRow("cut short, or no code") << QByteArray("\\x2g\\xzz\\x4") << QByteArray("x") << QByteArray("\\x2g\\xzz\\x4");
        QTest::newRow("a sign or blank is no digit") << QByteArray("\\x-1\\x 1") << QByteArray("x") << QByteArray("\\x-1\\x 1");
        QTest::newRow("octal: no sign, nothing past a byte")
            << QByteArray("\\-12\\ 12\\777\\377") << QByteArray() << QByteArray("\\-12\\ 12\\777\xff");
    }
    void escapedBytesAreRead()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, marker);
        QFETCH(QByteArray, bytes);
        QCOMPARE(rt::unescapeBytes(text, marker, marker.isEmpty() ? 3 : 2, marker.isEmpty() ? 8 : 16), bytes);
    }

    void currentFolderFollowsTheProcess_data()
    {
        QTest::addColumn<bool>("nested"); // d: is the folder Mnt inside c:
        QTest::addColumn<QChar>("cdLetter");
        QTest::addColumn<QString>("cdFolder");
        QTest::addColumn<QChar>("drive");
        QTest::addColumn<QString>("folderOfC");
        QTest::addColumn<QString>("folderOfD");
        QTest::newRow("on d:") << false << QChar(u'd') << "Deep/Er" << QChar(u'd') << "C:\\" << "D:\\Deep\\Er";
        QTest::newRow("on c:") << false << QChar(u'c') << "Work" << QChar(u'c') << "C:\\Work" << "D:\\";
        QTest::newRow("nested, inside the inner root") << true << QChar(u'c') << "Mnt/In" << QChar(u'd') << "C:\\" << "D:\\In";
        QTest::newRow("nested, beside the inner root") << true << QChar(u'c') << "Mntx" << QChar(u'c') << "C:\\Mntx" << "D:\\";
    }
    void currentFolderFollowsTheProcess()
    {
        QFETCH(bool, nested);
        QFETCH(QChar, cdLetter);
        QFETCH(QString, cdFolder);
        QFETCH(QChar, drive);
        QFETCH(QString, folderOfC);
        QFETCH(QString, folderOfD);
        TestDrives drives;
        rt::Drives &map = rt::Drives::instance();
        drives.makeFolder(u'c', QStringLiteral("Work"));
        if (nested) {
            drives.makeFolder(u'c', QStringLiteral("Mnt/In"));
            drives.makeFolder(u'c', QStringLiteral("Mntx"));
            map.setFixedMap({{u'c', drives.host(u'c')}, {u'd', drives.host(u'c', QStringLiteral("Mnt"))}});
        } else {
            drives.makeFolder(u'd', QStringLiteral("Deep/Er"));
        }
        drives.cd(cdLetter, cdFolder);
        QCOMPARE(map.currentDrive(), drive);
        QCOMPARE(map.currentFolder(u'c'), folderOfC);
        QCOMPARE(map.currentFolder(u'd'), folderOfD);
    }

    void systemMapHasTheRootAsC()
    {
        rt::Drives::instance().useSystemMap();
        QCOMPARE(rt::Drives::instance().root(u'c'), QStringLiteral("/"));
        QVERIFY(rt::Drives::instance().isReady(u'c'));
        QCOMPARE(rt::Drives::instance().toHost(QStringLiteral("C:\\tmp")), QStringLiteral("/tmp"));
        const QList<QChar> letters = rt::Drives::instance().refresh();
        QCOMPARE(letters.first(), QChar(u'c'));
        QVERIFY(std::is_sorted(letters.begin(), letters.end()));
    }

    void mountedVolumeBecomesADriveAndLeaves()
    {
        // Given a real (loop) device mounted after start,
        QTemporaryDir dir;
        LoopVolume volume(dir.path());
        SKIP_UNLESS_MOUNTED(volume);
        rt::Drives &map = rt::Drives::instance();
        map.useSystemMap();

        // then the drives, read again, list it under a letter of its own,
        const QChar letter = volume.letter();
        QVERIFY2(!letter.isNull(), "the mounted volume got no drive letter");
        QVERIFY(letter > QChar(u'c'));
        const QString root = QString(letter) + QStringLiteral(":\\");
        rt::makeDir(root + QStringLiteral("Made"));
        QVERIFY(QFileInfo::exists(volume.mountPoint() + QStringLiteral("/Made")));
        QVERIFY(volume.unmount());

        // and once it is gone, the letter is not ready even before the drives
        // are read again: nothing lands in the bare mount folder,
        QVERIFY(!map.isReady(letter));
        QCOMPARE(errorOf([&] { rt::makeDir(root + QStringLiteral("Made")); }), int(rt::ErrDeviceUnavailable));
        QCOMPARE(errorOf([&] { rt::listFolder(root, rt::EntryKind::Files); }), int(rt::ErrDeviceUnavailable));
        QCOMPARE(errorOf([&] { rt::File::open(root + QStringLiteral("new.bin"), rt::File::Access::Write); }),
                 int(rt::ErrDeviceUnavailable));
        QVERIFY(QDir(volume.mountPoint()).isEmpty());
        // and once they are read again, it is no longer listed.
        QVERIFY(!map.refresh().contains(letter));
        QVERIFY(!map.isReady(letter));
    }

    void fileOperationsRaiseNumberedErrors()
    {
        TestDrives drives;
        drives.makeFile(u'c', QStringLiteral("a.txt"), "12345");
        QCOMPARE(rt::fileLength(QStringLiteral("C:\\a.txt")), qint64(5));
        QCOMPARE(rt::findFile(QStringLiteral("C:\\\\a.txt")), QStringLiteral("a.txt"));
        QCOMPARE(rt::findFile(QStringLiteral("C:\\A.TXT")), QString());
        QCOMPARE(errorOf([] { rt::fileLength(QStringLiteral("C:\\none.txt")); }), int(rt::ErrFileNotFound));
        QCOMPARE(errorOf([] { rt::listFolder(QStringLiteral("C:\\nope"), rt::EntryKind::Files); }), int(rt::ErrPathNotFound));

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

    // When every letter is taken, a new volume gets the letter whose volume has
    // been gone longest, never one that a list or a running copy stands on.
    void letterGivenAgainWhenAllAreTaken_data()
    {
        QTest::addColumn<bool>("longestGoneInUse");
        QTest::newRow("none in use") << false;
        QTest::newRow("the longest gone in use") << true;
    }
    void letterGivenAgainWhenAllAreTaken()
    {
        QFETCH(bool, longestGoneInUse);
        if (geteuid() != 0)
            QSKIP("bind mounts need root");
        rt::Drives &drives = rt::Drives::instance();
        drives.useSystemMap();
        QTemporaryDir dir;
        QStringList binds;
        const auto bind = [&] {
            binds << dir.filePath(QString::number(binds.size()));
            return QDir().mkdir(binds.last())
                && ::mount(QFile::encodeName(dir.path()).constData(), QFile::encodeName(binds.last()).constData(), nullptr,
                           MS_BIND, nullptr) == 0;
        };
        const auto letterOf = [&](int bound) {
            const QList<QChar> letters = drives.refresh();
            const auto it = std::find_if(letters.begin(), letters.end(), [&](QChar l) { return drives.root(l) == binds[bound]; });
            return it == letters.end() ? QChar() : *it;
        };
        for (qsizetype free = 24 - drives.refresh().size(); free > 0; --free)
            QVERIFY(bind());
        const QChar first = letterOf(0), second = letterOf(1);
        QVERIFY(!first.isNull() && !second.isNull());
        for (const int gone : {0, 1}) {
            QCOMPARE(::umount(QFile::encodeName(binds[gone]).constData()), 0);
            drives.refresh();
            QTest::qWait(5);
        }
        drives.setLettersInUse([&] { return longestGoneInUse ? QList<QChar>{first} : QList<QChar>(); });
        QVERIFY(bind());
        const QChar given = letterOf(int(binds.size()) - 1);
        drives.setLettersInUse(nullptr);
        for (qsizetype i = 2; i < binds.size(); ++i)
            ::umount2(QFile::encodeName(binds[i]).constData(), MNT_DETACH);
        drives.useSystemMap();
        QCOMPARE(given, longestGoneInUse ? second : first);
    }
    // Whether a source's medium is gone is asked after every failed read; the
    // mount table is read again only when the watch says it changed: at its
    // first look, and after each mount or unmount, never in between.
    void mountTableWatchSeesEveryChange()
    {
        if (geteuid() != 0)
            QSKIP("bind mounts need root");
        QTemporaryDir dir;
        const QByteArray target = QFile::encodeName(dir.filePath(QStringLiteral("m")));
        QVERIFY(QDir().mkdir(dir.filePath(QStringLiteral("m"))));
        rt::MountTableWatch watch;
        QVERIFY(watch.changed()); // the first look reads the table
        QVERIFY(!watch.changed());
        QVERIFY(!watch.changed());
        QCOMPARE(::mount(QFile::encodeName(dir.path()).constData(), target.constData(), nullptr, MS_BIND, nullptr), 0);
        QVERIFY(watch.changed());
        QVERIFY(!watch.changed());
        QCOMPARE(::umount2(target.constData(), MNT_DETACH), 0);
        QVERIFY(watch.changed());
        QVERIFY(!watch.changed());
    }
};

QTEST_GUILESS_MAIN(TestDrivesAndFiles)
#include "tst_drives.moc"
