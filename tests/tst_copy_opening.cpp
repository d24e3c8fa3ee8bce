#include "support/TestKit.h"
#include "support/CopyWatch.h"
#include "support/TmpfsMount.h"

#include <QTest>

#include <cerrno>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace copytest;

using namespace testkit;

class TestCopyOpening : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // ---- files that cannot be opened ------------------------------------------

    void sourceThatCannotBeOpened_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("osError");
        QTest::newRow("deleted after it was picked") << QStringLiteral("vanished") << ENOENT;
        QTest::newRow("no permission to read") << QStringLiteral("unreadable") << EACCES;
    }
    void sourceThatCannotBeOpened()
    {
        QFETCH(QString, how);
        QFETCH(int, osError);
        if (how == u"unreadable" && isRoot())
            QSKIP("root reads any file, so a missing read permission cannot be tested as root");

        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(5000, 24)));
        const QString host = f.drives.host(u'c', QStringLiteral("src.bin"));
        if (how == u"vanished")
            QVERIFY(QFile::remove(host));
        else
            QCOMPARE(::chmod(QFile::encodeName(host).constData(), 0), 0);
        CopyWatch watch(f.c());
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        const QString text = f.dialogs.shown[0].prompt;
        QVERIFY2(text.contains(QStringLiteral("C:\\src.bin")), qPrintable(text));
        QVERIFY2(text.contains(reason(osError)), qPrintable(text));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QVERIFY(watch.reads.isEmpty());
        QVERIFY(QDir(f.drives.host(u'd')).isEmpty());
        QCOMPARE(f.drives.exists(u'c', QStringLiteral("src.bin")), how != u"vanished"); // never created
        QVERIFY(f.readyToCopy());
    }

    void vanishedSourceIsReportedBeforeAnyQuestion()
    {
        // Given a destination the copy would replace and a source gone since it was picked,
        FormFixture f;
        f.drives.makeFile(u'd', QStringLiteral("out.bin"), "keep me");
        QVERIFY(prepareCopy(f, patternBytes(5000, 31)));
        QVERIFY(QFile::remove(f.drives.host(u'c', QStringLiteral("src.bin"))));
        f.dialogs.answers = {rt::AnswerYes};

        f.c().cmdCopy->click();

        // then only the source's failure is shown, and the old file is untouched.
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QVERIFY(f.dialogs.shown[0].prompt.startsWith(QStringLiteral("The source file C:\\src.bin could not be opened.\r\n")));
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), QByteArray("keep me"));
    }

    void sourceDriveGoneIsReportedAsTheSource()
    {
        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(5000, 32)));
        // The medium of drive C: is pulled after the file was picked.
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c') + QStringLiteral("-pulled")},
                                            {u'd', f.drives.host(u'd')}});
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QVERIFY2(f.dialogs.shown[0].prompt.startsWith(QStringLiteral("The source file C:\\src.bin could not be opened.\r\n")),
                 qPrintable(f.dialogs.shown[0].prompt));
        QVERIFY(QDir(f.drives.host(u'd')).isEmpty());
        QVERIFY(f.readyToCopy());
    }

    void stopLeavesAFileThatTookTheDestinationsPlace()
    {
        // Given a copy under way, and another file moved under the destination's name,
        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(5 * kLargePiece, 7)));
        f.drives.makeFile(u'd', QStringLiteral("other.bin"), "someone else's file");
        CopyWatch watch(f.c());
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset != kLargePiece)
                return;
            QVERIFY(::rename(QFile::encodeName(f.drives.host(u'd', QStringLiteral("other.bin"))).constData(),
                             QFile::encodeName(f.drives.host(u'd', QStringLiteral("out.bin"))).constData()) == 0);
            clickInNextYield(f.c().cmdCopy);
        };

        f.c().cmdCopy->click();

        // the stop's clean-up leaves that file alone.
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), QByteArray("someone else's file"));
        QVERIFY(f.dialogs.shown.isEmpty());
    }

    void stoppedCopyThroughALinkKeepsTheTarget()
    {
        // Given a destination name that is a link to a file elsewhere,
        FormFixture f;
        const QByteArray old = patternBytes(3 * kLargePiece, 5);
        f.drives.makeFile(u'd', QStringLiteral("elsewhere/target.bin"), old);
        QVERIFY(::symlink(QFile::encodeName(f.drives.host(u'd', QStringLiteral("elsewhere/target.bin"))).constData(),
                          QFile::encodeName(f.drives.host(u'd', QStringLiteral("out.bin"))).constData()) == 0);
        QVERIFY(prepareCopy(f, patternBytes(5 * kLargePiece, 6)));
        f.dialogs.answers = {rt::AnswerYes};
        CopyWatch watch(f.c());
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset == kLargePiece)
                clickInNextYield(f.c().cmdCopy);
        };

        f.c().cmdCopy->click();

        // when the copy is stopped half way, the file behind the link keeps
        // what it held, and nothing else is left in either folder.
        QCOMPARE(watch.reads.size(), qsizetype(2));
        QVERIFY(f.drives.read(u'd', QStringLiteral("elsewhere/target.bin")) == old);
        QVERIFY(QFileInfo(f.drives.host(u'd', QStringLiteral("out.bin"))).isSymLink());
        QCOMPARE(QDir(f.drives.host(u'd', QStringLiteral("elsewhere"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("target.bin")});
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1)); // the question only
    }

    void destinationThatCannotBeOpened_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("osError");
        QTest::newRow("a folder of that name") << QStringLiteral("folder") << EISDIR;
        QTest::newRow("read-only folder") << QStringLiteral("read-only folder") << EACCES;
        QTest::newRow("read-only medium") << QStringLiteral("read-only medium") << EROFS;
    }
    void destinationThatCannotBeOpened()
    {
        QFETCH(QString, how);
        QFETCH(int, osError);
        if (how == u"read-only folder" && isRoot())
            QSKIP("root writes anywhere, so a missing write permission cannot be tested as root");

        FormFixture f;
        std::unique_ptr<TmpfsMount> readOnly;
        if (how == u"folder") {
            f.drives.makeFolder(u'd', QStringLiteral("out.bin"));
        } else if (how == u"read-only folder") {
            f.drives.makeFolder(u'd', QStringLiteral("ro"));
        } else if (how == u"read-only medium") {
            f.drives.makeFolder(u'd', QStringLiteral("ro"));
            readOnly = std::make_unique<TmpfsMount>(f.drives.host(u'd', QStringLiteral("ro")), "size=64k");
            SKIP_UNLESS_MOUNTED(*readOnly);
            QVERIFY(::mount(nullptr, QFile::encodeName(f.drives.host(u'd', QStringLiteral("ro"))).constData(), nullptr,
                            MS_REMOUNT | MS_RDONLY, nullptr) == 0);
        }
        QVERIFY(prepareCopy(f, patternBytes(5000, 25)));
        QString destHost = f.drives.host(u'd', QStringLiteral("out.bin"));
        if (how.startsWith(u"read-only")) {
            f.c().Dir2->setPath(QStringLiteral("D:\\ro"));
            destHost = f.drives.host(u'd', QStringLiteral("ro/out.bin"));
            if (how == u"read-only folder")
                QCOMPARE(::chmod(QFile::encodeName(f.drives.host(u'd', QStringLiteral("ro"))).constData(), 0555), 0);
        }
        CopyWatch watch(f.c());
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        const QString text = f.dialogs.messages().last();
        QVERIFY2(text.contains(f.copy().DestFile), qPrintable(text));
        QVERIFY2(text.contains(reason(osError)), qPrintable(text));
        QCOMPARE(f.dialogs.shown.last().style, 16);
        QCOMPARE(f.dialogs.shown.last().title, std::optional<QString>(kTalmo));
        QVERIFY(!f.dialogs.messages().contains(kCompleted));
        QVERIFY(watch.reads.isEmpty());
        if (how == u"folder")
            QVERIFY(QDir(destHost).exists() && QDir(destHost).isEmpty());
        else
            QVERIFY(!QFile::exists(destHost));
        QVERIFY(f.readyToCopy());
    }

    // ---- the same file ---------------------------------------------------------

    void sameFileIsRefused_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("same folder, same name") << QStringLiteral("same");
        QTest::newRow("another spelling of the path") << QStringLiteral("spelling");
        QTest::newRow("hard link on the other drive") << QStringLiteral("hard link");
        QTest::newRow("symbolic link on the other drive") << QStringLiteral("symlink");
    }
    void sameFileIsRefused()
    {
        QFETCH(QString, how);
        FormFixture f;
        const QByteArray content = patternBytes(3 * kLargePiece + 5, 26);
        f.drives.makeFolder(u'c', QStringLiteral("Data/Sub"));
        f.drives.makeFile(u'c', QStringLiteral("Data/src.bin"), content);
        const QByteArray sourceHost = QFile::encodeName(f.drives.host(u'c', QStringLiteral("Data/src.bin")));
        if (how == u"hard link")
            QCOMPARE(::link(sourceHost.constData(),
                            QFile::encodeName(f.drives.host(u'd', QStringLiteral("link.bin"))).constData()),
                     0);
        if (how == u"symlink")
            QCOMPARE(::symlink(sourceHost.constData(),
                               QFile::encodeName(f.drives.host(u'd', QStringLiteral("link.bin"))).constData()),
                     0);
        struct stat before {};
        QCOMPARE(::stat(sourceHost.constData(), &before), 0);

        f.start();
        FormFixture::openFolder(f.c().KorDir, QStringLiteral("C:\\Data"));
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("src.bin")));
        if (how == u"same") {
            f.c().Dir2->setPath(QStringLiteral("C:\\Data"));
        } else if (how == u"spelling") {
            f.c().Dir2->setPath(QStringLiteral("C:\\Data\\Sub"));
            f.c().txtDest->setText(QStringLiteral("..\\src.bin"));
        } else {
            f.c().Dir2->setPath(QStringLiteral("D:\\"));
            f.c().txtDest->setText(QStringLiteral("link.bin"));
        }
        f.dialogs.answers = {rt::AnswerYes}; // would replace, were it asked
        CopyWatch watch(f.c());

        f.c().cmdCopy->click();

        // Refused before the question about replacing.
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("Source and destination are the same file."));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kSelectionTitle));
        QVERIFY(watch.reads.isEmpty());
        QVERIFY(f.readyToCopy());
        struct stat after {};
        QCOMPARE(::stat(sourceHost.constData(), &after), 0);
        QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        QCOMPARE(f.drives.read(u'c', QStringLiteral("Data/src.bin")), content);
    }
};

QTEST_MAIN(TestCopyOpening)
#include "tst_copy_opening.moc"
