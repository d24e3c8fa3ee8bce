#include "support/TestKit.h"
#include "support/CopyWatch.h"
#include "support/FolderSnapshot.h"
#include "runtime/files/Transfer.h"

#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace copytest;

using namespace testkit;

namespace {

mode_t modeOf(const QString &hostPath)
{
    struct stat st {};
    if (stat(QFile::encodeName(hostPath).constData(), &st) != 0)
        return mode_t(-1);
    return st.st_mode & 07777;
}

// Sets the process's umask for the life of the object.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : m_old(::umask(mask)) {}
    ~UmaskScope() { ::umask(m_old); }

private:
    mode_t m_old;
};

const QString kOverwriteSuffix = QStringLiteral("' already exists.\r\nDo You Want to OverWrite the File.");

} // namespace

class TestCopy : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // ---- complete copies ------------------------------------------------------

    void copiesEveryByteInPieces_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<int>("lastBar");
        QTest::addColumn<QString>("lastCopied");
        // An empty file still runs one piece, which reads nothing.
        QTest::newRow("empty") << qint64(0) << 1 << 0 << QStringLiteral("0 MB");
        // Eight full small pieces and a ninth that reads nothing.
        QTest::newRow("8192") << qint64(8192) << 9 << 100 << QStringLiteral("0.01 MB");
        // One large piece, then a small one that reads nothing.
        QTest::newRow("1 MiB") << qint64(1048576) << 2 << 100 << QStringLiteral("1 MB");
        QTest::newRow("1 MiB + 1") << qint64(1048577) << 2 << 100 << QStringLiteral("1 MB");
        // Two large pieces, 881 full small ones and a last one of 704 bytes.
        QTest::newRow("3000000") << qint64(3000000) << 884 << 100 << QStringLiteral("2.86 MB");
    }
    void copiesEveryByteInPieces()
    {
        QFETCH(qint64, size);
        QFETCH(int, pieces);
        QFETCH(int, lastBar);
        QFETCH(QString, lastCopied);

        FormFixture f;
        const QByteArray content = patternBytes(size, 7);
        QVERIFY(prepareCopy(f, content));
        CopyWatch watch(f.c());
        const DescriptorGuard descriptors;
        // While "completed" is on screen the files are closed and cut to length,
        // and the button still reads "S&top".
        QString captionDuringMessage;
        int descriptorsDuringMessage = -1;
        qint64 lengthDuringMessage = -1;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &) {
            captionDuringMessage = f.c().cmdCopy->caption();
            descriptorsDuringMessage = openDescriptors();
            lengthDuringMessage = QFileInfo(f.drives.host(u'd', QStringLiteral("out.bin"))).size();
        };

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(captionDuringMessage, QStringLiteral("S&top"));
        QCOMPARE(descriptorsDuringMessage, descriptors.before());
        QCOMPARE(lengthDuringMessage, size);
        QCOMPARE(f.dialogs.shown[0].prompt, kCompleted);
        QCOMPARE(f.dialogs.shown[0].style, 64);
        QCOMPARE(f.dialogs.shown[0].title, std::nullopt);
        QVERIFY(f.drives.exists(u'd', QStringLiteral("out.bin")));
        const QByteArray copied = f.drives.read(u'd', QStringLiteral("out.bin"));
        QCOMPARE(copied.size(), content.size());
        QVERIFY(copied == content);

        const QList<Piece> model = expectedPieces(size);
        QCOMPARE(model.size(), pieces);
        QCOMPARE(watch.reads, CopyWatch::readsOf(model));
        QVERIFY(watch.yieldedAfterEveryPiece);
        QCOMPARE(watch.yields, watch.reads.size());
        const Progress display = expectedProgress(model, size);
        QCOMPARE(watch.shown.bar, display.bar);
        QCOMPARE(watch.shown.copied, display.copied);
        QCOMPARE(watch.shown.inputLoc, display.inputLoc);

        QCOMPARE(f.c().KorBar->barValue(), lastBar);
        QCOMPARE(f.c().lblCopied->caption(), lastCopied);
        QCOMPARE(f.c().lblInputLoc->caption(), QString::number(size));
        // The last values are on screen once the copy has returned.
        QCOMPARE(f.c().KorBar->value(), lastBar);
        QCOMPARE(f.c().lblCopied->text(), lastCopied);
        QCOMPARE(f.c().lblInputLoc->text(), QString::number(size));
        QVERIFY(f.readyToCopy());
        QCOMPARE(f.copy().SourceFile, QStringLiteral("C:\\src.bin"));
        QCOMPARE(f.copy().DestFile, QStringLiteral("D:\\out.bin"));
    }

    void eightKilobyteFileShowsEveryPiece()
    {
        // The progress of a file of eight small pieces, as the user sees it.
        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(8192, 3)));
        CopyWatch watch(f.c());
        f.c().cmdCopy->click();

        QCOMPARE(watch.reads.size(), qsizetype(9));
        for (int i = 0; i < 9; ++i)
            QCOMPARE(watch.reads[i], (CopyWatch::Read{1024 * i, 1024}));

        QList<int> bars;
        for (const auto &s : watch.shown.bar)
            bars.append(s.value);
        // 12.5 goes to 12, 37.5 to 38: halves to the even neighbour.
        QCOMPARE(bars, (QList<int>{12, 25, 38, 50, 62, 75, 88, 100}));
        QStringList positions;
        for (const auto &s : watch.shown.inputLoc)
            positions.append(s.value);
        QCOMPARE(positions, (QStringList{"1024", "2048", "3072", "4096", "5120", "6144", "7168", "8192"}));
        // "0 MB" from the first piece, "0.01 MB" from the sixth on.
        QCOMPARE(watch.shown.copied,
                 (QList<Set<QString>>{{1, QStringLiteral("0 MB")}, {6, QStringLiteral("0.01 MB")}}));
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")).size(), 8192);
    }

    // ---- an existing destination --------------------------------------------

    void replacesOnlyAfterYes()
    {
        FormFixture f;
        f.drives.makeFile(u'd', QStringLiteral("out.bin"), patternBytes(5000, 99));
        const QByteArray content = patternBytes(1000, 5);
        QVERIFY(prepareCopy(f, content));
        f.dialogs.answers = {rt::AnswerYes};

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.shown.size(), qsizetype(2));
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("A file naming 'out.bin") + kOverwriteSuffix);
        QCOMPARE(f.dialogs.shown[0].style, 20);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QCOMPARE(f.dialogs.shown[1].prompt, kCompleted);
        // Nothing of the longer file it replaced stays behind.
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
    }

    void declinedReplacementTouchesNothing()
    {
        FormFixture f;
        const QByteArray old = patternBytes(5000, 99);
        f.drives.makeFile(u'd', QStringLiteral("out.bin"), old);
        f.drives.makeFolder(u'c', QStringLiteral("Data"));
        f.drives.makeFile(u'c', QStringLiteral("Data/src.bin"), patternBytes(1000, 5));
        f.start();
        FormFixture::openFolder(f.c().KorDir, QStringLiteral("C:\\Data"));
        aimCopy(f, QStringLiteral("src.bin"));
        CopyWatch watch(f.c());
        f.dialogs.answers = {rt::AnswerNo};

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("A file naming 'out.bin") + kOverwriteSuffix});
        QVERIFY(f.readyToCopy());
        QVERIFY(watch.reads.isEmpty());
        QVERIFY(watch.shown.bar.isEmpty() && watch.shown.copied.isEmpty() && watch.shown.inputLoc.isEmpty());
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), old);
        QCOMPARE(f.copy().SourceFile, QStringLiteral("C:\\Data\\src.bin"));
        QCOMPARE(f.copy().DestFile, QStringLiteral("D:\\out.bin"));
    }

    void nameInAnotherLetterCaseIsAnotherFile()
    {
        // File names here tell letter case apart: "OUT.BIN" is not "out.bin".
        FormFixture f;
        const QByteArray other = patternBytes(3000, 42);
        f.drives.makeFile(u'd', QStringLiteral("OUT.BIN"), other);
        const QByteArray content = patternBytes(2000, 43);
        QVERIFY(prepareCopy(f, content, QStringLiteral("out.bin")));

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
        QCOMPARE(f.drives.read(u'd', QStringLiteral("OUT.BIN")), other);
    }

    // ---- refusals -------------------------------------------------------------

    // A name with a ".." part would leave the chosen folder: refused before
    // anything is asked or written, for a copy and for Create Folder.
    void namesLeavingTheFolderAreRefused_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("name");
        QTest::newRow("file") << "file" << "../esc.txt";
        QTest::newRow("file, deeper") << "file" << "a\\..\\..\\esc.txt";
        QTest::newRow("folder") << "folder" << "../x";
    }
    void namesLeavingTheFolderAreRefused()
    {
        QFETCH(QString, what);
        QFETCH(QString, name);
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("Trip/a"));
        QVERIFY(prepareCopy(f, "x", name));
        f.c().Dir2->setPath(QStringLiteral("D:\\Trip"));
        const QMap<QString, QByteArray> before = folderSnapshot(f.drives.host(u'd'));
        f.dialogs.answers = {rt::AnswerYes};
        f.dialogs.inputs = {name};
        what == u"file" ? f.c().cmdCopy->click() : f.c().MD->trigger();
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("The %1 name '%2' leads outside the chosen folder.\r\n"
                                                                  "A name with a '..' part is not used.").arg(what, name)});
        QCOMPARE(folderSnapshot(f.drives.host(u'd')), before);
    }

    void emptyNameIsRefusedBeforeTheSelection()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("src.bin"), "x");
        f.start();
        f.copy().SourceFile = QStringLiteral("stale source");
        f.copy().DestFile = QStringLiteral("stale destination");
        f.c().Dir2->setPath(QStringLiteral("D:\\"));
        f.c().txtDest->clear();
        QCOMPARE(f.c().KorFile->fileName(), QString()); // nothing selected
        QCOMPARE(f.form->focusWidget(), f.c().cmdCopy);
        QString captionDuringMessage;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &) { captionDuringMessage = f.c().cmdCopy->caption(); };

        f.c().cmdCopy->click();

        QCOMPARE(captionDuringMessage, QStringLiteral("S&top"));
        QCOMPARE(f.form->focusWidget(), f.c().txtDest); // ready for the name
        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].prompt,
                 QStringLiteral("No Destination file name is specified.\r\nPlease give a file name to be created."));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QVERIFY(f.readyToCopy());
        // Both paths are composed before anything is checked.
        QCOMPARE(f.copy().SourceFile, QStringLiteral("C:\\"));
        QCOMPARE(f.copy().DestFile, QStringLiteral("D:\\"));
        QVERIFY(QDir(f.drives.host(u'd')).isEmpty());
    }

    void noSourceSelectedIsRefused()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("src.bin"), "x");
        f.start();
        f.c().Dir2->setPath(QStringLiteral("D:\\"));
        f.c().txtDest->setText(QStringLiteral("out.bin"));
        CopyWatch watch(f.c());

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("Choose Source and Destination first."));
        QCOMPARE(f.dialogs.shown[0].style, 16);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kSelectionTitle));
        QVERIFY(f.readyToCopy());
        QVERIFY(watch.reads.isEmpty());
        QVERIFY(QDir(f.drives.host(u'd')).isEmpty());
    }

    // ---- the destination's permissions ----------------------------------------

    void destinationPermissions_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::addColumn<int>("sourceMode");
        QTest::addColumn<int>("destMode");
        QTest::addColumn<int>("mask");
        QTest::addColumn<int>("expected");
        // A new file takes the source's bits less the umask, as cp does.
        QTest::newRow("new, umask 027") << false << 0754 << 0 << 027 << 0750;
        QTest::newRow("new, umask 022") << false << 0777 << 0 << 022 << 0755;
        QTest::newRow("new, read-only source") << false << 0444 << 0 << 022 << 0444;
        // A replaced file keeps its own.
        QTest::newRow("replaced") << true << 0755 << 0604 << 022 << 0604;
    }
    void destinationPermissions()
    {
        QFETCH(bool, replace);
        QFETCH(int, sourceMode);
        QFETCH(int, destMode);
        QFETCH(int, mask);
        QFETCH(int, expected);

        const UmaskScope umaskScope{mode_t(mask)};
        FormFixture f;
        const QByteArray content = patternBytes(4000, 18);
        if (replace) {
            f.drives.makeFile(u'd', QStringLiteral("out.bin"), "old");
            QCOMPARE(::chmod(QFile::encodeName(f.drives.host(u'd', QStringLiteral("out.bin"))).constData(),
                             mode_t(destMode)),
                     0);
        }
        f.drives.makeFile(u'c', QStringLiteral("src.bin"), content);
        QCOMPARE(::chmod(QFile::encodeName(f.drives.host(u'c', QStringLiteral("src.bin"))).constData(),
                         mode_t(sourceMode)),
                 0);
        QVERIFY(prepareCopy(f, content));
        f.dialogs.answers = {rt::AnswerYes};

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages().last(), kCompleted);
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
        QCOMPARE(int(modeOf(f.drives.host(u'd', QStringLiteral("out.bin")))), expected);
    }

    // ---- the run flag ---------------------------------------------------------

    void runFlagAfterACopy_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("copying");
        QTest::newRow("completed") << QStringLiteral("completed") << true;
        QTest::newRow("replacement declined") << QStringLiteral("declined") << true;
        QTest::newRow("no name") << QStringLiteral("no name") << true;
        QTest::newRow("no source") << QStringLiteral("no source") << true;
        QTest::newRow("stopped") << QStringLiteral("stopped") << false;
    }
    void runFlagAfterACopy()
    {
        QFETCH(QString, how);
        QFETCH(bool, copying);

        FormFixture f;
        const QByteArray content = patternBytes(2 * kLargePiece + 10, 19);
        if (how == u"declined")
            f.drives.makeFile(u'd', QStringLiteral("out.bin"), "old");
        f.drives.makeFile(u'c', QStringLiteral("src.bin"), content);
        f.start();
        if (how != u"no source")
            QVERIFY(f.c().KorFile->selectFile(QStringLiteral("src.bin")));
        f.c().Dir2->setPath(QStringLiteral("D:\\"));
        f.c().txtDest->setText(how == u"no name" ? QString() : QStringLiteral("out.bin"));
        CopyWatch watch(f.c());
        if (how == u"stopped")
            watch.onRead = [&](qint64 offset, qint64) {
                if (offset == 0)
                    clickInNextYield(f.c().cmdCopy);
            };

        f.c().cmdCopy->click();

        QCOMPARE(f.copy().Copying, copying);
        QVERIFY(f.readyToCopy());
        QCOMPARE(f.copy().isRunning(), false);

        // Whatever ended it, the next click starts afresh.
        watch.onRead = nullptr;
        f.dialogs.shown.clear();
        f.dialogs.answers = {rt::AnswerYes};
        if (how == u"no source")
            QVERIFY(f.c().KorFile->selectFile(QStringLiteral("src.bin")));
        f.c().txtDest->setText(QStringLiteral("out.bin"));
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages().last(), kCompleted);
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
        QCOMPARE(f.copy().Copying, true);
    }
};

QTEST_MAIN(TestCopy)
#include "tst_copy.moc"
