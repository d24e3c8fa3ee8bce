#include "runtime/text/RtError.h"
#include "support/FormFixture.h"

#include <QTest>

namespace {
const QString kTalmo = QStringLiteral("Talmo");
} // namespace

class TestChoosing : public QObject {
    Q_OBJECT
private slots:
    // ---- choosing a source file ------------------------------------------

    void choosingAFileShowsNameAndSize_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("caption");
        QTest::newRow("empty") << qint64(0) << "Source File Size: 0 MB";
        QTest::newRow("10,000") << qint64(10000) << "Source File Size: 0.01 MB";
        QTest::newRow("1,572,864") << qint64(1572864) << "Source File Size: 1.5 MB";
        QTest::newRow("123,456,789") << qint64(123456789) << "Source File Size: 117.74 MB";
        QTest::newRow("2.5 GiB") << qint64(2684354560) << "Source File Size: 2560 MB";
    }
    void choosingAFileShowsNameAndSize()
    {
        QFETCH(qint64, size);
        QFETCH(QString, caption);
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data"));
        // Sparse: the size is what counts, not the blocks.
        QVERIFY(truncate(QFile::encodeName(f.drives.host(u'c', "Data/file.bin")).constData(), 0) != 0);
        QFile file(f.drives.host(u'c', QStringLiteral("Data/file.bin")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
        file.close();
        f.start();
        f.c().KorDir->setPath(QStringLiteral("C:\\Data"));
        f.c().txtDest->setText(QStringLiteral("typed by the user"));
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("file.bin")));
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("file.bin"));
        QCOMPARE(f.copy().SourceFile, QStringLiteral("C:\\Data\\file.bin"));
        QCOMPARE(f.c().lblBytes->caption(), caption);
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void fileAtTheRootKeepsTheDoubledBackslash()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.txt"), "abc");
        f.start();
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("a.txt")));
        QCOMPARE(f.copy().SourceFile, QStringLiteral("C:\\\\a.txt"));
        QCOMPARE(f.c().lblBytes->caption(), QStringLiteral("Source File Size: 0 MB"));
    }

    void fileGoneSinceListedIsReported()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("gone.txt"), "x");
        f.start();
        f.c().lblBytes->setCaption(QStringLiteral("Source File Size: 7 MB"));
        QVERIFY(QFile::remove(f.drives.host(u'c', QStringLiteral("gone.txt"))));
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("gone.txt")));
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("gone.txt"));
        QCOMPARE(f.copy().SourceFile, QStringLiteral("C:\\\\gone.txt"));
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QVERIFY(f.dialogs.shown[0].prompt.startsWith(QStringLiteral("The size of C:\\gone.txt could not be read.\r\n")));
        QVERIFY(f.dialogs.shown[0].prompt.endsWith(rt::reasonFromErrno(ENOENT)));
        QCOMPARE(f.c().lblBytes->caption(), QStringLiteral("Source File Size: 7 MB"));
    }

    void clickAndArrowKeysChooseFiles()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.txt"), "a");
        f.drives.makeFile(u'c', QStringLiteral("b.txt"), "bb");
        f.start();
        QVERIFY(f.show());
        rt::FileList *files = f.c().KorFile;
        const QRect first = files->visualRect(files->model()->index(0, 0));
        QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, first.center());
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("a.txt"));
        QTest::keyClick(files, Qt::Key_Down);
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("b.txt"));
        QCOMPARE(files->fileName(), QStringLiteral("b.txt"));
        // A click below the last entry keeps the choice, as in a list box.
        QTest::mouseClick(files->viewport(), Qt::LeftButton, {}, QPoint(first.center().x(), files->viewport()->height() - 3));
        QCOMPARE(files->fileName(), QStringLiteral("b.txt"));
        QCOMPARE(files->selectionModel()->selectedIndexes().size(), qsizetype(1));
    }

    // ---- composing the copy's paths ---------------------------------------

    void composesSourceAndDestinationPaths_data()
    {
        QTest::addColumn<QString>("sourceFolder");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("destFolder");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("dest");
        QTest::newRow("folders") << "C:\\Data" << "a.txt" << "D:\\Backup" << "copy.bin"
                                 << "C:\\Data\\a.txt" << "D:\\Backup\\copy.bin";
        QTest::newRow("roots") << "C:\\" << "a.txt" << "D:\\" << "copy.bin" << "C:\\a.txt" << "D:\\copy.bin";
        QTest::newRow("no file selected") << "C:\\Data" << "" << "D:\\Backup" << "x" << "C:\\Data\\"
                                          << "D:\\Backup\\x";
        QTest::newRow("no file at the root") << "C:\\" << "" << "D:\\" << "x" << "C:\\" << "D:\\x";
        QTest::newRow("empty name") << "C:\\" << "a.txt" << "D:\\Backup" << "" << "C:\\a.txt" << "D:\\Backup\\";
        QTest::newRow("name as typed") << "C:\\" << "a.txt" << "D:\\" << " b c " << "C:\\a.txt" << "D:\\ b c ";
    }
    void composesSourceAndDestinationPaths()
    {
        QFETCH(QString, sourceFolder);
        QFETCH(QString, file);
        QFETCH(QString, destFolder);
        QFETCH(QString, name);
        QFETCH(QString, source);
        QFETCH(QString, dest);
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data"));
        f.drives.makeFolder(u'd', QStringLiteral("Backup"));
        f.drives.makeFile(u'c', QStringLiteral("a.txt"), "a");
        f.drives.makeFile(u'c', QStringLiteral("Data/a.txt"), "a");
        f.start();
        f.c().KorDir->setPath(sourceFolder);
        if (!file.isEmpty())
            QVERIFY(f.c().KorFile->selectFile(file));
        f.c().Dir2->setPath(destFolder);
        f.c().txtDest->setText(name);
        QCOMPARE(f.copy().GetSourcePath(), source);
        QCOMPARE(f.copy().GetDestPath(), dest);
    }

    void checkSelectionRefusesAMissingSource()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.txt"), "a");
        f.start();
        f.c().cmdCopy->setCaption(QStringLiteral("S&top"));
        f.copy().DestFile = QStringLiteral("D:\\x");
        QCOMPARE(f.copy().CheckSelection(), false);
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("Choose Source and Destination first."));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(QStringLiteral("Source/Dest Error.")));
        QVERIFY(f.readyToCopy());

        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("a.txt")));
        f.c().cmdCopy->setCaption(QStringLiteral("S&top"));
        QCOMPARE(f.copy().CheckSelection(), true);
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.c().cmdCopy->caption(), QStringLiteral("S&top"));
        f.copy().DestFile.clear();
        QCOMPARE(f.copy().CheckSelection(), false);
    }
};

QTEST_MAIN(TestChoosing)
#include "tst_choosing.moc"
