#include "support/FormFixture.h"
#include "runtime/controls/FolderPictures.h"

#include <QApplication>
#include <QScrollBar>
#include <QToolTip>
#include <QTest>

class TestWindowLists : public QObject {
    Q_OBJECT
private slots:
    // The keyboard entering the file list with no file chosen: the focus
    // frame stands on the first row, and the first Down or Space chooses it.
    void keysEnteringTheFileList_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("chosen");
        for (auto [keys, chosen] : {std::pair{"", ""}, {"Down", "a.txt"}, {"Space", "a.txt"}, {"Down Down", "b.txt"}, {"Down Space", "a.txt"}})
            QTest::addRow("Tab in, %s", keys) << keys << chosen;
    }
    void keysEnteringTheFileList()
    {
        QFETCH(QString, keys);
        QFETCH(QString, chosen);
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.txt"), "a");
        f.drives.makeFile(u'c', QStringLiteral("b.txt"), "b");
        f.start().showCentred();
        QVERIFY(QTest::qWaitForWindowActive(f.form.get()));
        const QString typed = f.c().txtDest->text();
        f.c().KorDir->setFocus();
        const QImage before = f.c().KorFile->viewport()->grab().toImage();
        QTest::keyClick(f.c().KorDir, Qt::Key_Tab);
        const QImage entered = f.c().KorFile->viewport()->grab().toImage();
        for (const QString &key : keys.split(u' ', Qt::SkipEmptyParts))
            QTest::keyClick(QApplication::focusWidget(), key == u"Down" ? Qt::Key_Down : Qt::Key_Space);
        QCOMPARE(f.c().KorFile->currentRow(), chosen == u"b.txt" ? 1 : 0);
        QCOMPARE(f.c().KorFile->fileName(), chosen);
        QCOMPARE(f.c().txtDest->text(), chosen.isEmpty() ? typed : chosen);
        const QRect first = f.c().KorFile->visualRect(f.c().KorFile->model()->index(0, 0)); // its frame's bottom edge
        QVERIFY(before.pixel(first.center().x(), first.bottom()) != entered.pixel(first.center().x(), first.bottom()));
    }

    void startFolderOpensOnBothSides()
    {
        // As "duplon FOLDER" starts: both sides move to that folder, on its drive.
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Photos/2024"));
        f.drives.makeFile(u'd', QStringLiteral("Photos/p.jpg"), "p");
        MyForm &form = f.start();
        form.openFolder(rt::Drives::instance().enterFolder(f.drives.host(u'd', QStringLiteral("Photos"))));
        for (rt::DriveList *drive : {f.c().KorDrv, f.c().drv2})
            QCOMPARE(drive->drive(), QStringLiteral("d:"));
        for (rt::FolderList *folders : {f.c().KorDir, f.c().Dir2})
            QCOMPARE(folders->path(), QStringLiteral("D:\\Photos"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("p.jpg")});
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void listsShowWholeRowsAndNoSideways()
    {
        FormFixture f;
        const QString longName = QStringLiteral("A folder name far too long for the list to show whole");
        f.drives.makeFolder(u'c', longName);
        for (int i = 0; i < 30; ++i)
            f.drives.makeFile(u'c', QStringLiteral("file%1.txt").arg(i), "x");
        f.start();
        QVERIFY(f.show());
        for (rt::FolderBoundList *list : std::initializer_list<rt::FolderBoundList *>{f.c().KorDir, f.c().Dir2, f.c().KorFile}) {
            const int row = list->rowHeight();
            QVERIFY(row >= list->fontMetrics().height());
            QCOMPARE(list->viewport()->height() % row, 0);
            QCOMPARE(list->visualRect(list->model()->index(1, 0)).height(), row);
            // Nothing reaches past the right edge: no sideways scrolling.
            QVERIFY(list->visualRect(list->model()->index(1, 0)).right() < list->viewport()->width());
            QVERIFY(!list->horizontalScrollBar()->isVisible());
        }
        // A name cut short shows whole in a tooltip; one shown whole has none.
        rt::FolderList *folders = f.c().KorDir;
        auto tipAt = [folders](int row) {
            const QPoint at = folders->visualRect(folders->model()->index(row, 0)).center();
            QHelpEvent help(QEvent::ToolTip, at, folders->viewport()->mapToGlobal(at));
            QCoreApplication::sendEvent(folders->viewport(), &help);
            return QToolTip::isVisible() ? QToolTip::text() : QString();
        };
        QCOMPARE(folders->itemText(1), longName);
        QCOMPARE(tipAt(0), QString());
        QCOMPARE(tipAt(1), longName);
        // The drive boxes drop down in their own colours.
        for (rt::DriveList *drive : {f.c().KorDrv, f.c().drv2})
            for (QPalette::ColorRole role : {QPalette::Base, QPalette::Text})
                QCOMPARE(drive->view()->palette().color(role), drive->palette().color(role));
    }

    // Ten levels down the open folder's name shows whole (the text drawn after
    // its picture is as wide as the name), its full path in its tooltip; and its
    // picture is drawn open: at 16 pixels a third of it or more differs from
    // the closed one. The small program icons are drawn on grids of their own:
    // no half-covered pixels, which a larger drawing scaled down has.
    void deepFoldersAndPictures()
    {
        FormFixture f;
        const QString deep = QStringLiteral("Documents/Projects/Archive/Pictures/Holidays/Summer/Beach/Day/Hour/Sunset");
        f.drives.makeFolder(u'c', deep + QStringLiteral("/Evening"));
        f.drives.cd(u'c', deep);
        f.start();
        QVERIFY(f.show());
        for (rt::FolderList *list : {f.c().KorDir, f.c().Dir2}) {
            const QRect row = list->visualRect(list->model()->index(list->currentRow(), 0));
            const QImage drawn = list->viewport()->grab(row).toImage();
            const QRgb ground = drawn.pixel(drawn.width() - 1, 0); // the highlight, from the indentation on
            int x = 0, first = -1, last = -1;
            while (x < drawn.width() && drawn.pixel(x, 0) != ground)
                ++x;
            for (x += list->iconSize().width() + 2; x < drawn.width(); ++x)
                for (int y = 0; y < drawn.height(); ++y)
                    if (drawn.pixel(x, y) != ground)
                        (first < 0 ? first : last) = x;
            QVERIFY(last - first >= list->fontMetrics().horizontalAdvance(QStringLiteral("Sunset")) - 3);
            QHelpEvent help(QEvent::ToolTip, row.center(), list->viewport()->mapToGlobal(row.center()));
            QCoreApplication::sendEvent(list->viewport(), &help);
            QCOMPARE(QToolTip::text(), QStringLiteral("C:\\") + QString(deep).replace(u'/', u'\\'));
        }
        // Pixels of one picture that differ from those of another (or that are
        // only partly covered, when compared with itself).
        auto differ = [](const QImage &a, const QImage &b) {
            int n = 0;
            for (int i = 0; i < a.width() * a.height(); ++i) {
                const QRgb p = a.pixel(i % a.width(), i / a.width()), q = b.pixel(i % a.width(), i / a.width());
                n += &a == &b ? qAlpha(p) % 255 != 0 : ((p ^ q) & 0xC0C0C0C0) != 0;
            }
            return n;
        };
        QVERIFY(differ(rt::drawFolder(16, true), rt::drawFolder(16, false)) * 3 >= 256);
        for (int size : {16, 24}) {
            const QImage own = drawAppIcon(size), scaled = drawAppIcon(32).scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            QVERIFY(differ(own, own) == 0 && differ(scaled, scaled) > size);
        }
    }

    void startsOnDriveCsCurrentFolder()
    {
        // Given a current folder on C:, both folder lists open it.
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Work/Sub"));
        f.drives.makeFile(u'c', QStringLiteral("Work/w.txt"), "w");
        f.drives.cd(u'c', QStringLiteral("Work"));
        f.start();
        QCOMPARE(f.c().drv2->drive(), QStringLiteral("c:"));
        QCOMPARE(f.c().KorDrv->drive(), QStringLiteral("c:"));
        QCOMPARE(f.c().Dir2->path(), QStringLiteral("C:\\Work"));
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("C:\\Work"));
        QCOMPARE(f.c().KorFile->path(), QStringLiteral("C:\\Work"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("w.txt")});
        QCOMPARE(FormFixture::items(f.c().KorDir), (QStringList{"C:\\", "Work", "Sub"}));
        QCOMPARE(f.c().KorDir->itemText(f.c().KorDir->currentRow()), QStringLiteral("Work"));
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void startedOnAnotherDriveShowsC()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("root.txt"), "r");
        f.drives.makeFolder(u'd', QStringLiteral("Elsewhere"));
        f.drives.cd(u'd', QStringLiteral("Elsewhere"));
        f.start();
        QCOMPARE(f.c().drv2->drive(), QStringLiteral("c:"));
        QCOMPARE(f.c().KorDrv->drive(), QStringLiteral("c:"));
        QCOMPARE(f.c().Dir2->path(), QStringLiteral("C:\\"));
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("C:\\"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("root.txt")});
    }

    void startsWithoutDriveC()
    {
        FormFixture f;
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c') + QStringLiteral("/gone")},
                                            {u'd', f.drives.host(u'd')}});
        f.drives.cd(u'd', QString());
        f.start();
        QCOMPARE(f.dialogs.messages(),
                 (QStringList{QStringLiteral("Device Unavailable."), QStringLiteral("Device Unavailable.")}));
        QCOMPARE(f.dialogs.shown[0].style, 64);
        QCOMPARE(f.c().KorDrv->drive(), QStringLiteral("d:"));
        QCOMPARE(f.c().KorDir->path(), QStringLiteral("D:\\"));
        QVERIFY(f.show());
    }
};

QTEST_MAIN(TestWindowLists)
#include "tst_window_lists.moc"
