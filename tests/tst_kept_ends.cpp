#include "support/KeptKit.h"
#include "support/RescueKit.h"
#include "copy/rescue/RescueFiles.h"
#include "runtime/files/CopyFolder.h"
#include "copy/rescue/SourceIdentity.h"
#include "runtime/files/WriterLock.h"
#include "runtime/text/NumberText.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace copytest;
using namespace testkit;
using namespace keptkit;

// The kept rescue's life on the suite's damaged medium: its map's source line,
// the folder flush as the medium answers it, a stalled Stop, a second writer.

class TestKeptEnds : public QObject {
    Q_OBJECT
public:
    // The other window of oneWriterPerRescue: this program, copying C:\src.bin onto D:\out.bin until killed.
    static void initMain()
    {
        const QString medium = qEnvironmentVariable("DUPLON_OTHER_COPY_MEDIUM");
        if (medium.isEmpty())
            return;
        int argc = 1;
        char *argv[] = {const_cast<char *>("other"), nullptr};
        QCoreApplication app(argc, argv);
        rt::Drives::instance().setFixedMap({{u'c', medium}, {u'd', qEnvironmentVariable("DUPLON_OTHER_COPY_DEST")}});
        PlainProgress progress;
        ScriptedDialogs dialogs;
        std::exit(int(CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")}, progress,
                              dialogs)
                           .run()));
    }

private slots:
    void cleanup()
    {
        failingflush::failAfter(-1);
        resetTestSwitches();
    }


    // The map names its source's length and time on a line of its own, read
    // back as written (a name with a newline too); a source of another length
    // or time is another source, to the medium's resolution.
    void theMapKnowsItsSource_data()
    {
        QTest::addColumn<qint64>("length");
        QTest::addColumn<qint64>("shiftNs"); // the source's time now, less the map's
        QTest::addColumn<bool>("coarse");    // FAT, exFAT
        QTest::addColumn<bool>("same");
        constexpr qint64 s = 1000000000;
        QTest::newRow("the same") << qint64(8192) << qint64(0) << false << true;
        QTest::newRow("one nanosecond later") << qint64(8192) << qint64(1) << false << false;
        QTest::newRow("another length") << qint64(8193) << qint64(0) << false << false;
        // A medium that keeps whole seconds (ext3, many shares) stamps the copy's
        // source at .000000000: the same second is the same time.
        QTest::newRow("whole seconds, the same second") << qint64(8192) << qint64(-123456789) << false << true;
        QTest::newRow("whole seconds, the next second") << qint64(8192) << s - 123456789 << false << false;
        QTest::newRow("FAT: within its 2 s") << qint64(8192) << 2 * s << true << true;
        QTest::newRow("FAT: 3 s later") << qint64(8192) << 3 * s << true << false;
        QTest::newRow("FAT: an hour's time-zone shift") << qint64(8192) << -3600 * s + s << true << true;
        QTest::newRow("FAT: half an hour later") << qint64(8192) << 1800 * s << true << false;
    }
    void theMapKnowsItsSource()
    {
        QFETCH(qint64, length);
        QFETCH(qint64, shiftNs);
        QFETCH(bool, coarse);
        QFETCH(bool, same);
        RescueMap map;
        map.set(0, 8192, RescueMap::Status::Finished);
        const SourceIdentity mapped{8192, 1765150000123456789, QStringLiteral("a\nb.bin")};
        const QByteArray text = withSourceIdentity(map.mapfile("duplon C:\\a D:\\b"), mapped);
        QVERIFY(RescueMap::parse(text).has_value());
        const std::optional<SourceIdentity> read = sourceIdentityIn(text);
        QVERIFY(read && read->length == mapped.length && read->modifiedNs == mapped.modifiedNs && read->name == mapped.name);
        QVERIFY(!sourceIdentityIn(map.mapfile("duplon")).has_value()); // GNU ddrescue's: samples alone
        QCOMPARE(sameSource(*read, {length, mapped.modifiedNs + shiftNs, mapped.name}, coarse), same);
    }

    // A folder flush as the medium answers it: a failure says the folder entry
    // may not yet be on the medium; a driver that cannot flush a folder leaves
    // its durability unknown, which fails nothing: neither a healthy copy nor
    // a rescue, whose part and maps flush the folder at every step.
    void aFolderFlushAsTheMediumAnswersIt_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("rescue");
        QTest::newRow("failed: EIO") << EIO << false;
        QTest::newRow("not supported: EOPNOTSUPP") << EOPNOTSUPP << false;
        QTest::newRow("not permitted: EPERM") << EPERM << false;
        QTest::newRow("a rescue, not supported: EOPNOTSUPP") << EOPNOTSUPP << true;
    }
    void aFolderFlushAsTheMediumAnswersIt()
    {
        QFETCH(int, error);
        QFETCH(bool, rescue);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 29);
        BadMedium medium(f.drives.host(u'c'), {.bad = rescue ? QList<BadMedium::Range>{{300 * kBlock, 301 * kBlock}} : QList<BadMedium::Range>{}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        const QByteArray folder = hostBytes(f.drives.host(u'd'));
        failingflush::failAfter(0, folder.constData(), error);
        f.c().cmdCopy->click();
        QVERIFY(failingflush::flushes() > 0);
        QByteArray expected = content;
        if (rescue) {
            expected.replace(300 * kBlock, kBlock, QByteArray(kBlock, '\0'));
            QCOMPARE(f.dialogs.messages().value(0).section(u'\n', 0, 1),
                     kCompleted + QStringLiteral("\r\n4096 bytes could not be read and were written as zeros.\r"));
            QVERIFY(f.drives.exists(u'd', QStringLiteral("out.bin.map")) && !f.drives.exists(u'd', kPartMap));
        } else {
            QCOMPARE(f.dialogs.messages(), QStringList{error == EIO ? QStringLiteral("The file D:\\out.bin was copied, but its folder "
                                                                                     "entry may not yet be on the medium.\r\n")
                                                               + reason(EIO)
                                                         : kCompleted});
        }
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
    }

    // A close that reports a late failure once a rescue has taken its name:
    // its data was flushed before the rename, so only the folder entry is in
    // doubt, whether blocks stayed unreadable (a map is written) or every
    // block read in the end (a marginal one, read again).
    void aLateCloseErrorAfterARescueSpeaksOfTheFolderEntry_data()
    {
        QTest::addColumn<bool>("allReadInTheEnd");
        QTest::newRow("a block left unreadable, a map written") << false;
        QTest::newRow("every block read in the end") << true;
    }
    void aLateCloseErrorAfterARescueSpeaksOfTheFolderEntry()
    {
        QFETCH(bool, allReadInTheEnd);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 32);
        const BadMedium::Range damaged{300 * kBlock, 301 * kBlock, 1};
        BadMedium medium(f.drives.host(u'c'), allReadInTheEnd ? BadMedium::Options{.marginal = {damaged}}
                                                              : BadMedium::Options{.bad = {damaged}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        CopyWatch watch(f.c());
        bool keptAsPart = false;
        watch.onRead = [&](qint64, qint64) { keptAsPart = keptAsPart || f.drives.exists(u'd', kPart); };
        rt::Destination::setFailuresAfterNaming({0, EIO});
        f.c().cmdCopy->click();
        QVERIFY(keptAsPart); // a rescue: named at its first unreadable block
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("The file D:\\out.bin was copied, but its folder entry may "
                                                                  "not yet be on the medium.\r\n")
                                                   + reason(EIO)});
        QByteArray expected = content;
        if (!allReadInTheEnd)
            expected.replace(300 * kBlock, kBlock, QByteArray(kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.map")), !allReadInTheEnd);
        QVERIFY(!f.drives.exists(u'd', kPart) && !f.drives.exists(u'd', kPartMap));
    }

    // A rescue deleted on the user's No that leaves something behind says
    // exactly what stays: here its map, whose name a folder took while the
    // question was open.
    void aPartlyDeletedRescueSaysWhatIsLeft()
    {
        FormFixture f;
        sourceOnC(f, 33);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        CopyWatch watch(f.c());
        stopInALaterPass(f, watch);
        const QString map = f.drives.host(u'd', kPartMap);
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &shown) {
            if (shown.prompt.endsWith(QStringLiteral("to Go On Later.")) && QFile::remove(map))
                QDir().mkpath(map + QStringLiteral("/inside"));
        };
        f.c().cmdCopy->click(); // the question is answered No
        const QStringList said = f.dialogs.messages();
        QVERIFY2(said.size() == 2 && said[0].endsWith(QStringLiteral("to Go On Later.")), qPrintable(said.join(u'|')));
        QCOMPARE(said[1], QStringLiteral("'out.bin.part' was deleted, but its map 'out.bin.part.map' could not be and is left: ")
                              + reason(EISDIR));
        QVERIFY(!f.drives.exists(u'd', kPart));
        QVERIFY(QFileInfo(map).isDir());
    }

    // A Stop that the medium holds past the answer limit during a rescue says
    // what becomes of it: asked about when the drive answers (never "removed").
    void aStalledStopDuringARescueSaysWhatItKeeps()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 30);
        const qint64 slow = 2 * kLargePiece + 5 * kBlock;
        BadMedium medium(f.drives.host(u'c'), {.bad = {{10 * kBlock, 11 * kBlock}}, .slow = {{slow, slow + kBlock}}, .slowDelayMs = 11500});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        f.dialogs.answers = {rt::AnswerOk, rt::AnswerYes}; // the stall's word, then keep it
        CopyWatch watch(f.c());
        bool stopped = false;
        watch.onRead = [&](qint64 offset, qint64 count) {
            if (!stopped && offset <= slow && offset + count > slow) {
                stopped = true;
                QTimer::singleShot(200, f.c().cmdCopy, &QAbstractButton::click); // while the read is held
            }
        };
        f.c().cmdCopy->click();
        QTRY_VERIFY_WITH_TIMEOUT(f.readyToCopy(), 30000);
        const QStringList said = f.dialogs.messages();
        QVERIFY2(said.size() == 2, qPrintable(said.join(u'|')));
        QVERIFY2(said[0].startsWith(QStringLiteral("Drive "))
                     && said[0].endsWith(QStringLiteral(" does not answer. The copy is stopped; when the drive answers, you "
                                                       "are asked whether to keep what was rescued.")),
                 qPrintable(said[0]));
        QVERIFY(said[1].endsWith(QStringLiteral("Do You Want to Keep Them in 'out.bin.part' to Go On Later.")));
        QVERIFY(f.drives.exists(u'd', kPart) && f.drives.exists(u'd', kPartMap));
    }

    // One writer per rescue: while another process (another window) writes
    // the kept part, a Copy onto the same name is told so before any
    // question and starts nothing; the lock goes with the process.
    void oneWriterPerRescue()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 28);
        BadMedium medium(f.drives.host(u'c'), {.bad = {{300 * kBlock, 340 * kBlock}}, .badDelayMs = 200});
        SKIP_UNLESS_MOUNTED(medium);
        QProcess other;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DUPLON_OTHER_COPY_MEDIUM"), medium.path());
        env.insert(QStringLiteral("DUPLON_OTHER_COPY_DEST"), f.drives.host(u'd'));
        other.setProcessEnvironment(env);
        other.start(QCoreApplication::applicationFilePath(), {});
        QTRY_VERIFY_WITH_TIMEOUT(f.drives.exists(u'd', kPartMap), 20000);

        QVERIFY(startOnMedium(f, medium));
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("'out.bin.part' is not gone on with: Another copy is writing "
                                                                  "it.\r\nCopy it again once that copy has ended.")});
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.1.part")) && !f.drives.exists(u'd', QStringLiteral("out.bin")));
        QVERIFY(rt::writtenElsewhere(QStringLiteral("D:\\out.bin.part")));
        other.kill();
        QVERIFY(other.waitForFinished(10000));
        QVERIFY(!rt::writtenElsewhere(QStringLiteral("D:\\out.bin.part"))); // the lock went with it
    }

    // Two retries of one copy that start together (two windows): the one that
    // comes second to the copy's writer's lock is refused before it touches a
    // file, so the map temporary the first is writing, and any other, stay.
    void retriesThatMeetAreRefused()
    {
        FormFixture f;
        sourceOnC(f, 49);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        QCOMPARE(rescuekit::firstRescue(f.drives, medium, false), QStringLiteral("out.bin.map"));
        const rt::File source = rt::File::open(QStringLiteral("C:\\src.bin"), rt::File::Access::Read);
        rt::IoWorker io;
        std::optional<Resumable> first = findResumable(QStringLiteral("D:\\out.bin"), source, io);
        std::optional<Resumable> second = findResumable(QStringLiteral("D:\\out.bin"), source, io);
        QVERIFY(first && second);
        RescueFiles firstOwner(QStringLiteral("D:\\out.bin"), io);
        firstOwner.retry(*std::move(first));
        const QString saving = QStringLiteral(".out.bin.map.k2x9.tmp"), cutLeft = QStringLiteral(".out.bin.map.z7.tmp");
        f.drives.makeFile(u'd', saving, "a map being saved");
        f.drives.makeFile(u'd', cutLeft, "half a map");
        const rt::HeldFile held = rt::CopyFolder(QStringLiteral("D:\\out.bin")).hold(saving); // as the first retry's save holds it
        RescueFiles secondOwner(QStringLiteral("D:\\out.bin"), io);
        QString refusal;
        try {
            secondOwner.retry(*std::move(second));
        } catch (const rt::RtError &e) {
            refusal = e.reason();
        }
        QCOMPARE(refusal, rt::writtenElsewhereText());
        QCOMPARE(secondOwner.state(), RescueState::Nothing);
        QVERIFY(f.drives.exists(u'd', saving) && f.drives.exists(u'd', cutLeft));
        QVERIFY(f.drives.exists(u'd', QStringLiteral("out.bin.map")));
    }
};

QTEST_MAIN(TestKeptEnds)
#include "tst_kept_ends.moc"
