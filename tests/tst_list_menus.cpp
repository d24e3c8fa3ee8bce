#include "runtime/text/RtError.h"
#include "support/FormFixture.h"

#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kTalmo = QStringLiteral("Talmo");
} // namespace

class TestListMenus : public QObject {
    Q_OBJECT
private slots:
    // ---- Create Folder, Delete Folder, Delete File -----------------------

    void createFolderWithTheDefaultName()
    {
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Backup"));
        f.start();
        f.c().Dir2->setPath(QStringLiteral("D:\\Backup"));
        f.dialogs.inputs = {QStringLiteral("KorFolder")};
        f.c().MD->trigger();
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].kind, ScriptedDialogs::Shown::Kind::Input);
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("Enter the Desired Folder's Name: "));
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(QStringLiteral("Folder Name")));
        QCOMPARE(f.dialogs.shown[0].defaultText, QStringLiteral("KorFolder"));
        QVERIFY(QFileInfo(f.drives.host(u'd', QStringLiteral("Backup/KorFolder"))).isDir());
        // Not listed until the list reads its folder again.
        QVERIFY(!FormFixture::items(f.c().Dir2).contains(QStringLiteral("KorFolder")));
        f.c().Dir2->refresh();
        QVERIFY(FormFixture::items(f.c().Dir2).contains(QStringLiteral("KorFolder")));
    }

    void createFolderAtTheRootAndCancelled()
    {
        FormFixture f;
        f.start();
        f.c().Dir2->setPath(QStringLiteral("D:\\"));
        f.dialogs.inputs = {QStringLiteral("New One")};
        f.c().MD->trigger();
        QVERIFY(QFileInfo(f.drives.host(u'd', QStringLiteral("New One"))).isDir());

        f.dialogs.inputs = {QString()}; // Cancel
        const QStringList before = QDir(f.drives.host(u'd')).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        f.c().MD->trigger();
        QCOMPARE(QDir(f.drives.host(u'd')).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QCOMPARE(f.dialogs.messages(), QStringList());
    }

    void createFolderFailuresAreReported_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("osError");
        QTest::newRow("exists") << "Existing" << EEXIST;
        QTest::newRow("inside a missing folder") << "no\\such" << ENOENT;
        QTest::newRow("name too long") << QString(300, u'x') << ENAMETOOLONG;
    }
    void createFolderFailuresAreReported()
    {
        QFETCH(QString, name);
        QFETCH(int, osError);
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Existing"));
        f.start();
        f.c().Dir2->setPath(QStringLiteral("D:\\"));
        f.dialogs.inputs = {name};
        f.c().MD->trigger();
        QCOMPARE(f.dialogs.messages().size(), qsizetype(1));
        const auto &shown = f.dialogs.shown.last();
        QCOMPARE(shown.style, 16);
        QCOMPARE(shown.title, std::optional<QString>(kTalmo));
        QCOMPARE(shown.prompt, QStringLiteral("The folder D:\\%1 could not be created.\r\n%2")
                                   .arg(name, rt::reasonFromErrno(osError)));
    }

    void createFolderOnAReadOnlyMedium()
    {
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Locked"));
        const QByteArray locked = QFile::encodeName(f.drives.host(u'd', QStringLiteral("Locked")));
        int expected = EACCES;
        if (geteuid() == 0) {
            // Root writes into any folder; a medium mounted read-only still refuses.
            if (system(("mount -t tmpfs -o ro,size=64k tmpfs '" + locked + "' 2>/dev/null").constData()) != 0)
                QSKIP("Mounting is not allowed here, and as root nothing else makes a folder unwritable.");
            expected = EROFS;
        } else {
            QVERIFY(chmod(locked.constData(), 0555) == 0);
        }
        f.start();
        f.c().Dir2->setPath(QStringLiteral("D:\\Locked"));
        f.dialogs.inputs = {QStringLiteral("KorFolder")};
        f.c().MD->trigger();
        if (geteuid() == 0)
            (void)system(("umount '" + locked + "'").constData());
        QCOMPARE(f.dialogs.messages(),
                 QStringList{QStringLiteral("The folder D:\\Locked\\KorFolder could not be created.\r\n")
                             + rt::reasonFromErrno(expected)});
    }

    void deleteFolderAskedAndAnswered()
    {
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Parent/Doomed"));
        f.drives.makeFolder(u'd', QStringLiteral("Parent/Highlighted"));
        f.start();
        f.c().Dir2->setPath(QStringLiteral("D:\\Parent\\Doomed"));

        // No: nothing goes, but the list is read again.
        f.drives.makeFolder(u'd', QStringLiteral("Parent/Doomed/Later"));
        f.dialogs.answers = {rt::AnswerNo};
        f.c().Del->trigger();
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("Do You Really Want To Delete The Selected Folder.\r\nD:\\Parent\\Doomed"));
        QCOMPARE(f.dialogs.shown[0].style, 52);
        QCOMPARE(f.dialogs.shown[0].title, std::nullopt);
        QVERIFY(f.drives.exists(u'd', QStringLiteral("Parent/Doomed")));
        QVERIFY(FormFixture::items(f.c().Dir2).contains(QStringLiteral("Later")));
        QVERIFY(QDir().rmdir(f.drives.host(u'd', QStringLiteral("Parent/Doomed/Later"))));

        // Yes: the open folder goes, whatever is highlighted, and the list shows its parent.
        f.c().Dir2->setCurrentRow(f.c().Dir2->count() - 1);
        f.dialogs.answers = {rt::AnswerYes};
        f.c().Del->trigger();
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("Parent/Doomed")));
        QVERIFY(f.drives.exists(u'd', QStringLiteral("Parent/Highlighted")));
        QCOMPARE(f.c().Dir2->path(), QStringLiteral("D:\\Parent"));
        QCOMPARE(f.dialogs.shown.size(), qsizetype(2));
    }

    void deleteFolderFailuresAreReported_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not empty") << "D:\\Full" << rt::reasonFromErrno(ENOTEMPTY);
        QTest::newRow("a drive's root") << "D:\\" << "A drive's root folder cannot be removed";
    }
    void deleteFolderFailuresAreReported()
    {
        QFETCH(QString, folder);
        QFETCH(QString, reason);
        FormFixture f;
        f.drives.makeFile(u'd', QStringLiteral("Full/inside.txt"), "x");
        f.start();
        f.c().Dir2->setPath(folder);
        f.dialogs.answers = {rt::AnswerYes};
        f.c().Del->trigger();
        QCOMPARE(f.dialogs.shown.size(), qsizetype(2));
        QCOMPARE(f.dialogs.shown[1].style, 16);
        QCOMPARE(f.dialogs.shown[1].title, std::optional<QString>(kTalmo));
        QCOMPARE(f.dialogs.shown[1].prompt,
                 QStringLiteral("The folder %1 could not be removed.\r\n%2").arg(folder, reason));
        QVERIFY(f.drives.exists(u'd', QStringLiteral("Full/inside.txt")));
        QCOMPARE(f.c().Dir2->path(), folder);
    }

    void deleteFileAtOnce()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data"));
        f.drives.makeFile(u'c', QStringLiteral("Data/a.txt"), "a");
        f.drives.makeFile(u'c', QStringLiteral("Data/b.txt"), "b");
        f.start();
        f.c().KorDir->setPath(QStringLiteral("C:\\Data"));
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("a.txt")));
        const QString source = f.copy().SourceFile;
        f.c().DelFile->trigger();
        QVERIFY(f.dialogs.shown.isEmpty()); // no question
        QVERIFY(!f.drives.exists(u'c', QStringLiteral("Data/a.txt")));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("b.txt")});
        // What the selection put elsewhere stays.
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("a.txt"));
        QCOMPARE(f.copy().SourceFile, source);
    }

    void deleteFileWithNothingSelected()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Sub"));
        f.drives.makeFile(u'c', QStringLiteral("Data/a.txt"), "a");
        f.start();
        f.c().KorDir->setPath(QStringLiteral("C:\\Data"));
        f.c().DelFile->trigger();
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("First Choose The File To Be Deleted."));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QVERIFY(f.drives.exists(u'c', QStringLiteral("Data/a.txt")));
        QVERIFY(f.drives.exists(u'c', QStringLiteral("Data/Sub")));
    }

    void deleteFileTheSystemRefuses()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("keep.txt"), "k");
        const QByteArray host = QFile::encodeName(f.drives.host(u'c', QStringLiteral("keep.txt")));
        // Immutable files cannot be deleted even by root.
        if (geteuid() == 0) {
            if (system(("chattr +i '" + host + "' 2>/dev/null").constData()) != 0)
                QSKIP("chattr +i is not available here, and as root nothing else makes a deletion fail.");
        } else {
            QVERIFY(chmod(QFile::encodeName(f.drives.host(u'c')).constData(), 0555) == 0);
        }
        f.start();
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("keep.txt")));
        f.c().DelFile->trigger();
        if (geteuid() == 0)
            (void)system(("chattr -i '" + host + "'").constData());
        else
            (void)chmod(QFile::encodeName(f.drives.host(u'c')).constData(), 0755);
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("First Choose The File To Be Deleted.")});
        QVERIFY(f.drives.exists(u'c', QStringLiteral("keep.txt")));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("keep.txt")});
        QCOMPARE(f.c().KorFile->fileName(), QStringLiteral("keep.txt"));
    }
};

QTEST_MAIN(TestListMenus)
#include "tst_list_menus.moc"
