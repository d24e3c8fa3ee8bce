// The window opened from the command line at a file, as a file manager's Open
// With starts it ("duplon FILE"), and the program itself given a path that is
// not there.
#include "runtime/media/Drives.h"
#include "support/FormFixture.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

class TestStart : public QObject {
    Q_OBJECT
private slots:
    void fileArgumentOpensTheWindowAtTheFile()
    {
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Photos/2024"));
        f.drives.makeFile(u'd', QStringLiteral("Photos/p.jpg"), QByteArray(1572864, 'p'));
        f.drives.makeFile(u'd', QStringLiteral("Photos/q.jpg"), "q");
        MyForm &form = f.start();
        const rt::Drives::Entered start =
            rt::Drives::instance().enterPath(QFile::encodeName(f.drives.host(u'd', QStringLiteral("Photos/p.jpg"))));
        QCOMPARE(start.file, QByteArray("p.jpg"));
        form.openFile(start.folder, start.file);
        QVERIFY(f.show());
        for (rt::FolderList *folders : {f.c().KorDir, f.c().Dir2})
            QCOMPARE(folders->path(), QStringLiteral("D:\\Photos"));
        QCOMPARE(f.c().KorFile->fileName(), QStringLiteral("p.jpg"));
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("p.jpg"));
        QTRY_COMPARE(f.c().lblBytes->caption(), QStringLiteral("Source File Size: 1.5 MB"));
        // Copy at once: onto the file itself, refused as such a copy always is.
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("Source and destination are the same file.")});
        QCOMPARE(f.drives.read(u'd', QStringLiteral("Photos/p.jpg")), QByteArray(1572864, 'p'));
        // Another name copies it beside itself.
        f.c().txtDest->setText(QStringLiteral("p2.jpg"));
        f.c().cmdCopy->click();
        QTRY_VERIFY(f.readyToCopy());
        QCOMPARE(f.drives.read(u'd', QStringLiteral("Photos/p2.jpg")), QByteArray(1572864, 'p'));
    }

    // A file the list does not show: its folder opens, and a message names it.
    void unlistedFileOpensItsFolderAndSaysSo_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("hidden") << QByteArray(".notes") << QStringLiteral(".notes");
        QTest::newRow("not UTF-8") << QByteArray("caf\xE9.txt") << QStringLiteral("caf\\xE9.txt");
    }
    void unlistedFileOpensItsFolderAndSaysSo()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, shown);
        FormFixture f;
        f.drives.makeFile(u'd', QStringLiteral("Notes/seen.txt"), "s");
        const QByteArray path = QFile::encodeName(f.drives.host(u'd', QStringLiteral("Notes/"))) + name;
        const int made = ::open(path.constData(), O_CREAT | O_WRONLY, 0644); // the bytes as they are
        QVERIFY(made >= 0);
        ::close(made);
        MyForm &form = f.start();
        const rt::Drives::Entered start = rt::Drives::instance().enterPath(path);
        QCOMPARE(start.file, name);
        form.openFile(start.folder, start.file);
        QVERIFY(f.show());
        QTRY_COMPARE(f.dialogs.shown.size(), qsizetype(1));
        QVERIFY2(f.dialogs.shown[0].prompt.startsWith(QStringLiteral("'%1' is not shown in the file list").arg(shown)),
                 qPrintable(f.dialogs.shown[0].prompt));
        QCOMPARE(f.dialogs.shown[0].style, rt::MsgStyle::Information);
        for (rt::FolderList *folders : {f.c().KorDir, f.c().Dir2})
            QCOMPARE(folders->path(), QStringLiteral("D:\\Notes"));
        QCOMPARE(FormFixture::items(f.c().KorFile), QStringList{QStringLiteral("seen.txt")});
        QCOMPARE(f.c().KorFile->fileName(), QString());
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("Talmo"));
    }

    // The program itself: a path that is not there ends it with one line
    // before any window; a file given opens no such line.
    void missingPathEndsTheProgramWithOneLine()
    {
        QTemporaryDir dir;
        QProcess program;
        program.start(QStringLiteral(DUPLON_PROGRAM), {dir.filePath(QStringLiteral("gone.txt"))});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitCode(), 2);
        QCOMPARE(QString(program.readAllStandardError()),
                 QStringLiteral("duplon: %1: No such file or directory\n").arg(dir.filePath(QStringLiteral("gone.txt"))));
        QCOMPARE(program.readAllStandardOutput(), QByteArray());
    }
};

QTEST_MAIN(TestStart)
#include "tst_start.moc"
