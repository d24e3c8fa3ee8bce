#include "runtime/files/FileAccess.h"
#include "runtime/text/RtError.h"
#include "support/FormFixture.h"
#include "runtime/controls/FolderPictures.h"

#include <QSignalSpy>
#include <QStyle>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kTalmo = QStringLiteral("Talmo");
const QString kUnavailable = QStringLiteral("Device Unavailable.");
} // namespace

class TestBrowse : public QObject {
    Q_OBJECT
private slots:
    // ---- drives and folders follow one another ------------------------------

    void newSourceDriveMovesFolderAndFiles()
    {
        FormFixture f;
        f.drives.makeFile(u'd', QStringLiteral("on-d.bin"), "d");
        f.drives.makeFolder(u'd', QStringLiteral("Folder"));
        f.start();
        FormFixture::pickDrive(f.c().KorDrv, u'd');
        QCOMPARE(f.c().KorDrv->drive(), QStringLiteral("d:"));
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("D:\\"));
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("D:\\"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("on-d.bin")});
        QCOMPARE(FormFixture::items(f.c().KorDir), (QStringList{"D:\\", "Folder"}));
        // The destination side is not touched.
        QCOMPARE(f.c().Dir2->path(), QStringLiteral("C:\\"));
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void newDestinationDriveMovesOnlyItsFolderList()
    {
        FormFixture f;
        f.start();
        FormFixture::pickDrive(f.c().drv2, u'd');
        QCOMPARE(f.c().Dir2->path(), QStringLiteral("D:\\"));
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("C:\\"));
    }

    void openingAFolderListsItsFiles()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Inner"));
        f.drives.makeFile(u'c', QStringLiteral("Data/a.txt"), "a");
        f.drives.makeFile(u'c', QStringLiteral("top.txt"), "t");
        f.start();
        FormFixture::openFolder(f.c().KorDir, QStringLiteral("C:\\Data"));
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("C:\\Data"));
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("C:\\Data"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("a.txt")});
        QCOMPARE(FormFixture::items(f.c().KorDir), (QStringList{"C:\\", "Data", "Inner"}));
        // Back up through an ancestor.
        FormFixture::openFolder(f.c().KorDir, QStringLiteral("C:\\"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("top.txt")});
    }

    void openFolderIsMarkedAndHighlightedAfterEveryRead()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Inner"));
        f.drives.makeFolder(u'c', QStringLiteral("Data/Other"));
        f.start();
        QVERIFY(f.show());
        rt::FolderList *list = f.c().KorDir;
        const QImage open = rt::folderIcon(true).pixmap(16).toImage();
        const QImage closed = rt::folderIcon(false).pixmap(16).toImage();
        QVERIFY(open != closed);
        // Both pictures stand out on the list's black.
        for (const QImage &picture : {open, closed}) {
            int bright = 0;
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x)
                    bright += qAlpha(picture.pixel(x, y)) > 128 && qGray(picture.pixel(x, y)) > 96;
            QVERIFY(bright >= 40);
        }
        // Per row: 1 an open folder, 0 a closed one, -1 any other picture.
        auto pictures = [&] {
            QList<int> shown;
            for (int i = 0; i < list->count(); ++i) {
                const QImage picture = list->model()->index(i, 0).data(Qt::DecorationRole).value<QIcon>().pixmap(16).toImage();
                shown.append(picture == open ? 1 : picture == closed ? 0 : -1);
            }
            return shown;
        };

        // Opened: the root and Data with open folders, Data highlighted, its subfolders closed.
        FormFixture::openFolder(list, QStringLiteral("C:\\Data"));
        QCOMPARE(FormFixture::items(list), (QStringList{"C:\\", "Data", "Inner", "Other"}));
        QCOMPARE(pictures(), (QList<int>{1, 1, 0, 0}));
        QCOMPARE(list->currentRow(), 1);
        QVERIFY(list->selectionModel()->isRowSelected(1));
        // A single click elsewhere moves the highlight only; the pictures still show what is open.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(0, 0)).center());
        QCOMPARE(list->currentRow(), 0);
        QCOMPARE(list->path(), QStringLiteral("C:\\Data"));
        QCOMPARE(pictures(), (QList<int>{1, 1, 0, 0}));
        // Read again, the open folder is highlighted again.
        list->refresh();
        QCOMPARE(list->currentRow(), 1);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(3, 0)).center());
        list->setPath(QStringLiteral("C:\\Data"));
        QCOMPARE(list->currentRow(), 1);
        // A click on no entry keeps the highlight.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(5, list->viewport()->height() - 3));
        QCOMPARE(list->currentRow(), 1);
        QVERIFY(list->selectionModel()->isRowSelected(1));
    }

    void enterOpensTheHighlightedFolder()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data"));
        f.start();
        QVERIFY(f.show());
        rt::FolderList *list = f.c().KorDir;
        list->setFocus();
        list->setCurrentRow(1); // "Data", below the open root
        QCOMPARE(list->path(), QStringLiteral("C:\\")); // a highlight opens nothing
        QTest::keyClick(list, Qt::Key_Return);
        QCOMPARE(list->path(), QStringLiteral("C:\\Data"));
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("C:\\Data"));
    }

    void settingTheSamePathRaisesNoChange()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data"));
        f.start();
        QSignalSpy changes(f.c().Dir2, &rt::FolderList::change);
        f.c().Dir2->setPath(QStringLiteral("C:\\Data"));
        f.c().Dir2->setPath(QStringLiteral("c:\\\\Data\\"));
        QCOMPARE(changes.count(), 1);
    }

    void folderThatCannotBeOpenedSaysWhy_data()
    {
        QTest::addColumn<bool>("vanished"); // else it may not be read
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("reason");
        QTest::newRow("vanished") << true << QStringList{"C:\\", "Data"} << "Path not found";
        QTest::newRow("no permission") << false << QStringList{"C:\\", "Data", "Gone"} << "Permission denied";
    }
    void folderThatCannotBeOpenedSaysWhy()
    {
        QFETCH(bool, vanished);
        QFETCH(QStringList, listed);
        QFETCH(QString, reason);
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Gone"));
        f.start();
        f.c().KorDir->setPath(QStringLiteral("C:\\Data"));
        const QString gone = f.drives.host(u'c', QStringLiteral("Data/Gone"));
        QVERIFY(vanished ? QDir().rmdir(gone) : chmod(QFile::encodeName(gone).constData(), 0) == 0);
        // Root opens every folder: it tries as an ordinary user instead.
        const bool asNobody = !vanished && geteuid() == 0;
        if (asNobody) {
            QVERIFY(chmod(QFile::encodeName(QFileInfo(f.drives.host(u'c')).path()).constData(), 0755) == 0);
            QVERIFY(seteuid(65534) == 0);
        }
        FormFixture::openFolder(f.c().KorDir, QStringLiteral("C:\\Data\\Gone"));
        if (asNobody)
            QVERIFY(seteuid(0) == 0);
        // The list shows what is there now, with the open folder highlighted,
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("C:\\Data"));
        QCOMPARE(FormFixture::items(f.c().KorDir), listed);
        QCOMPARE(f.c().KorDir->currentRow(), 1);
        // and says which folder did not open, and why.
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("The folder C:\\Data\\Gone could not be opened.\r\n") + reason});
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        chmod(QFile::encodeName(gone).constData(), 0755);
    }

    void driveListRereadsTheDrivesWhenOpened()
    {
        FormFixture f;
        f.start();
        QVERIFY(f.show());
        QCOMPARE(f.c().drv2->count(), 3);
        // e: has no medium: listed, but greyed and said as not ready.
        for (int row = 0; row < 3; ++row) {
            const bool ready = f.c().drv2->itemData(row).toString() != u"e";
            QCOMPARE(f.c().drv2->itemData(row, Qt::AccessibleTextRole).toString(),
                     f.c().drv2->itemText(row) + (ready ? "" : ", not ready"));
            QCOMPARE(f.c().drv2->itemData(row, Qt::ToolTipRole).toString().endsWith(", not ready"), !ready);
            QCOMPARE(f.c().drv2->itemData(row, Qt::ForegroundRole).isValid(), !ready);
        }
        // A medium that turns up after start is listed the next time the list opens.
        QVERIFY(QDir().mkpath(f.drives.host(u'f')));
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', f.drives.host(u'd')},
                                            {u'e', f.drives.host(u'e')}, {u'f', f.drives.host(u'f')}});
        QCOMPARE(f.c().drv2->count(), 3);
        f.c().drv2->showPopup();
        f.c().drv2->hidePopup();
        QCOMPARE(f.c().drv2->count(), 4);
        QCOMPARE(f.c().drv2->itemText(3), QStringLiteral("f: [f]")); // a folder without a label: its last name
        QCOMPARE(f.c().drv2->drive(), QStringLiteral("c:")); // the choice stays
        FormFixture::pickDrive(f.c().drv2, u'f');
        QCOMPARE(f.c().Dir2->path(), QStringLiteral("F:\\"));
    }

    // ---- a drive that is not ready -----------------------------------------

    void unmountedVolumeIsNotReadyForAnyUse()
    {
        // Given a stick (a loop volume) in use on both sides under its letter,
        FormFixture f;
        LoopVolume volume(f.drives.host(u'd'));
        SKIP_UNLESS_MOUNTED(volume);
        rt::Drives &map = rt::Drives::instance();
        map.useSystemMap();
        const QChar letter = volume.letter();
        QVERIFY(!letter.isNull());
        const QString root = QString(letter.toUpper()) + QStringLiteral(":\\");
        QFile onStick(volume.mountPoint() + QStringLiteral("/onD.txt"));
        QVERIFY(onStick.open(QIODevice::WriteOnly) && onStick.write("d") == 1);
        onStick.close();
        f.drives.makeFile(u'c', QStringLiteral("src.bin"), "source");
        const QString sourceFolder = *map.toDrivePath(map.currentDrive(), f.drives.host(u'c'));
        f.start();
        FormFixture::pickDrive(f.c().KorDrv, letter);
        FormFixture::pickDrive(f.c().drv2, letter);
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("onD.txt")));
        QVERIFY(f.dialogs.shown.isEmpty());

        // when it is unmounted, its mount folder left behind empty,
        QVERIFY(volume.unmount());
        // the file's size, a new folder, opening its root and a copy onto it all
        // fail as for a drive that is not ready,
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("onD.txt")));
        f.dialogs.inputs = {QStringLiteral("New")};
        f.c().MD->trigger();
        FormFixture::openFolder(f.c().KorDir, root);
        QCOMPARE(f.dialogs.messages().size(), qsizetype(3));
        QVERIFY(f.dialogs.messages()[0].startsWith(QStringLiteral("The size of %1onD.txt could not be read.").arg(root)));
        QVERIFY(f.dialogs.messages()[1].startsWith(QStringLiteral("The folder %1New could not be created.").arg(root)));
        QVERIFY(f.dialogs.messages()[2].startsWith(QStringLiteral("The folder %1 could not be opened.").arg(root)));

        FormFixture::pickDrive(f.c().KorDrv, sourceFolder.at(0).toLower());
        f.c().KorDir->setPath(sourceFolder);
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("src.bin")));
        f.c().txtDest->setText(QStringLiteral("out.bin"));
        f.c().cmdCopy->click();
        QVERIFY(!f.dialogs.messages().contains(QStringLiteral("File Copy Completed.")));
        // and nothing was written to the disk beneath the mount folder.
        QVERIFY(QDir(volume.mountPoint()).isEmpty());
    }

    void unavailableDriveIsReported_data()
    {
        QTest::addColumn<bool>("sourceSide");
        QTest::newRow("source") << true;
        QTest::newRow("destination") << false;
    }
    void unavailableDriveIsReported()
    {
        QFETCH(bool, sourceSide);
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.txt"), "a");
        f.start();
        rt::DriveList *drive = sourceSide ? f.c().KorDrv : f.c().drv2;
        rt::FolderList *folders = sourceSide ? f.c().KorDir : f.c().Dir2;
        FormFixture::pickDrive(drive, u'e');
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].prompt, kUnavailable);
        QCOMPARE(f.dialogs.shown[0].style, 64);
        QCOMPARE(f.dialogs.shown[0].title, std::nullopt);
        // The drive list shows the chosen drive; the folders stay where they were.
        QCOMPARE(drive->drive(), QStringLiteral("e:"));
        QCOMPARE(folders->path(), QStringLiteral("C:\\"));
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("C:\\"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("a.txt")});
    }

    void folderHandOverFailuresOnlyReportDeviceErrors()
    {
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Gone"));
        f.start();
        FormFixture::pickDrive(f.c().KorDrv, u'd');
        FormFixture::openFolder(f.c().KorDir, QStringLiteral("D:\\Gone"));
        QVERIFY(f.dialogs.shown.isEmpty());

        // A folder that has gone: no message, and the file list keeps its folder.
        QVERIFY(QDir(f.drives.host(u'd', QStringLiteral("Gone"))).removeRecursively());
        f.c().KorFile->setPath(QStringLiteral("D:\\"));
        f.form->browsing().KorDir_Change();
        QVERIFY(f.dialogs.shown.isEmpty());
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("D:\\"));

        // The medium gone from under the folder list: the message without an icon.
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', f.drives.host(u'd') + "-gone"}});
        f.form->browsing().KorDir_Change();
        QCOMPARE(f.dialogs.messages(), QStringList{kUnavailable});
        QCOMPARE(f.dialogs.shown[0].style, 0);
        QCOMPARE(f.dialogs.shown[0].title, std::nullopt);
    }

    void vanishedFolderMovesToNearestAncestorOnRefresh()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("A/B/C"));
        f.start();
        f.c().KorDir->setPath(QStringLiteral("C:\\A\\B\\C"));
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("C:\\A\\B\\C"));
        QVERIFY(QDir(f.drives.host(u'c', QStringLiteral("A/B"))).removeRecursively());
        f.c().KorDir->refresh();
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("C:\\A"));
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("C:\\A")); // its Change ran
    }
};

QTEST_MAIN(TestBrowse)
#include "tst_browse.moc"
