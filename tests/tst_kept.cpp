#include "support/BadMedium.h"
#include "support/CopyWatch.h"
#include "support/FailingFlush.h"
#include "support/TestKit.h"
#include "copy/job/CopyJob.h"
#include "copy/rescue/RescueMap.h"
#include "copy/rescue/SourceIdentity.h"
#include "runtime/files/WriterLock.h"
#include "runtime/text/NumberText.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace copytest;
using namespace testkit;

// The kept rescue's life on the suite's damaged medium: what a medium that
// refuses a flush, the program's own files and a second copy can do to it.

namespace {

constexpr qint64 kBlock = BadMedium::kBlock;
const QString kSourceName = QStringLiteral("src.bin");
const QString kPart = QStringLiteral("out.bin.part"), kPartMap = QStringLiteral("out.bin.part.map");

// C:\src.bin, 3 MiB of a pattern from seed, laid out for the medium to mirror.
QByteArray sourceOnC(FormFixture &f, quint32 seed)
{
    const QByteArray content = patternBytes(3 * kLargePiece, seed);
    f.drives.makeFile(u'c', kSourceName, content);
    return content;
}

// Blocks 300 to 307 unreadable: the first pass meets them in its second piece.
const BadMedium::Options kEightBadBlocks{.bad = {{300 * kBlock, 308 * kBlock}}};

// The bytes a map lists as finished; -1 when it does not read as a map.
qint64 finishedIn(const QByteArray &mapText)
{
    const std::optional<RescueMap> map = RescueMap::parse(mapText);
    return map ? map->bytes(RescueMap::Status::Finished) : -1;
}

// Whether every block the map lists as finished holds the source's bytes in the copy.
bool finishedBlocksHold(const QByteArray &mapText, const QByteArray &copy, const QByteArray &source)
{
    const std::optional<RescueMap> map = RescueMap::parse(mapText);
    if (!map)
        return false;
    for (const RescueMap::Area &a : map->areas())
        if (a.status == RescueMap::Status::Finished && copy.mid(a.pos, a.size) != source.mid(a.pos, a.size))
            return false;
    return true;
}

// Starts the window on the source behind the damaged medium, aimed at D:\out.bin.
[[nodiscard]] bool startOnMedium(FormFixture &f, const BadMedium &medium)
{
    rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', f.drives.host(u'd')}});
    return startAimed(f, kSourceName);
}

// Clicks Stop at the first read of a pass after the first (one behind the furthest point reached).
void stopInALaterPass(FormFixture &f, CopyWatch &watch)
{
    auto furthest = std::make_shared<qint64>(0);
    auto stopped = std::make_shared<bool>(false);
    watch.onRead = [&f, furthest, stopped](qint64 offset, qint64 count) {
        if (!*stopped && count <= kBlock && offset < *furthest) {
            *stopped = true;
            clickInNextYield(f.c().cmdCopy);
        }
        *furthest = std::max(*furthest, offset + count);
    };
}

// What the program says is kept with a map older than the copy.
QString keptWithOlderMap(const QString &rescued, const QByteArray &mapText)
{
    return rescued
        + QStringLiteral(". 'out.bin.part' is kept to go on later with its map 'out.bin.part.map' as last saved, which lists %1 of them.")
              .arg(rt::megabytesText(finishedIn(mapText)))
        + QStringLiteral("\r\nThe map could not be brought up to date: ") + reason(EIO);
}

// Keeps a rescue of C:\src.bin (behind the medium) as D:\out.bin.part with its map: a Stop, answered Yes.
void keepARescue(FormFixture &f, const BadMedium &medium)
{
    QVERIFY(startOnMedium(f, medium));
    f.dialogs.answers = {rt::AnswerYes};
    CopyWatch watch(f.c());
    stopInALaterPass(f, watch);
    f.c().cmdCopy->click();
    QVERIFY(f.drives.exists(u'd', kPart) && f.drives.exists(u'd', kPartMap));
}

// A copy outside the window, as a second window would run it.
struct PlainProgress : CopyProgress {
    void showProgress(int, qint64, qint64) override {}
    bool yieldAndGoOn() override { return true; }
    bool goingOn() const override { return true; }
};

} // namespace

class TestKept : public QObject {
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

    // A medium that refuses a flush of the part never costs the rescue: it is
    // kept with the last map saved after a successful flush, no newer map is
    // saved for it, and the message says what is kept. At a Stop answered Yes
    // (the first save flushed, the Stop's flush fails) and going on with a
    // kept part (the final flush fails).
    void aRefusedFlushKeepsThePartAndItsMap_data()
    {
        QTest::addColumn<bool>("goingOn");
        QTest::newRow("Stop, Yes: kept with its first map") << false;
        QTest::newRow("going on with a kept part: kept with its map as it was") << true;
    }
    void aRefusedFlushKeepsThePartAndItsMap()
    {
        QFETCH(bool, goingOn);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 25);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        const QByteArray part = hostBytes(f.drives.host(u'd', kPart));
        failingflush::failAfter(goingOn ? -1 : 0, part.constData()); // the first save flushes the copy before it has the name
        keepARescue(f, medium);
        if (QTest::currentTestFailed())
            return;
        QByteArray mapBefore = f.drives.read(u'd', kPartMap);
        QVERIFY(finishedIn(mapBefore) > 0);
        const QString rescuedAtStop = QStringLiteral("2 MB of 3 MB were rescued");
        if (!goingOn) {
            QCOMPARE(f.dialogs.messages(), (QStringList{rescuedAtStop + QStringLiteral(".\r\nDo You Want to Keep Them in "
                                                                                        "'out.bin.part' to Go On Later."),
                                                        keptWithOlderMap(rescuedAtStop, mapBefore)}));
            QVERIFY(finishedIn(mapBefore) < 2 * kLargePiece); // the first map, saved at the first failure
        } else {
            f.dialogs.shown.clear();
            f.dialogs.answers = {rt::AnswerYes}; // go on with it
            failingflush::failAfter(0, part.constData());
            f.c().cmdCopy->click();
            QVERIFY(failingflush::flushes() > 0);
            const QStringList said = f.dialogs.messages();
            QCOMPARE(said.size(), 2);
            QVERIFY(said[0].startsWith(QStringLiteral("An unfinished copy of 'out.bin' is kept as 'out.bin.part': ")));
            QCOMPARE(said[1], notWritten() + reason(EIO) + QStringLiteral("\r\n")
                                  + keptWithOlderMap(rt::megabytesText(content.size() - 8 * kBlock) + QStringLiteral(" of 3 MB were rescued"), mapBefore));
            QCOMPARE(f.drives.read(u'd', kPartMap), mapBefore); // nothing newer than the last flush that worked
        }
        QVERIFY(!f.dialogs.messages().join(u'\n').contains(QStringLiteral("could not be kept")));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QVERIFY(finishedBlocksHold(f.drives.read(u'd', kPartMap), f.drives.read(u'd', kPart), content));
        QVERIFY(f.readyToCopy());

        // The next Copy, with a medium that flushes, goes on from it and ends as one rescue.
        failingflush::failAfter(-1);
        f.dialogs.shown.clear();
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        QVERIFY(f.dialogs.messages().size() == 2 && f.dialogs.messages()[1].startsWith(kCompleted));
        QByteArray expected = content;
        expected.replace(300 * kBlock, 8 * kBlock, QByteArray(8 * kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
        QVERIFY(!f.drives.exists(u'd', kPart) && !f.drives.exists(u'd', kPartMap));
    }

    // The program's own files are never taken for a rescue to go on with: the
    // kept part chosen as the source and copied onto NAME is a plain copy (its
    // blocks never read would "read" as zeros), and says what it copied; a
    // link under the part's name, pointing outside the folder, is never
    // written through, though the map beside it fits the source.
    void ownFilesAreNotGoneOnWith_data()
    {
        QTest::addColumn<bool>("linked");
        QTest::newRow("NAME.part copied onto NAME") << false;
        QTest::newRow("NAME.part a link to a file outside") << true;
    }
    void ownFilesAreNotGoneOnWith()
    {
        QFETCH(bool, linked);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 26);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        keepARescue(f, medium);
        if (QTest::currentTestFailed())
            return;
        f.dialogs.shown.clear();
        const QByteArray part = f.drives.read(u'd', kPart), map = f.drives.read(u'd', kPartMap);
        if (!linked) {
            PlainProgress progress;
            const CopyEnd end = CopyJob({QStringLiteral("D:\\out.bin.part"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")},
                                        progress, f.dialogs)
                                    .run();
            QCOMPARE(int(end), int(CopyEnd::Completed));
            QCOMPARE(f.dialogs.messages(),
                     QStringList{kCompleted + QStringLiteral("\r\nThe file copied is an unfinished rescue: %1 bytes of it were "
                                                             "never read, as its map D:\\out.bin.part.map says.")
                                                  .arg(content.size() - finishedIn(map))});
            QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == part);
            QVERIFY(f.drives.read(u'd', kPart) == part);
            QCOMPARE(f.drives.read(u'd', kPartMap), map);
            return;
        }
        QTemporaryDir outside;
        const QString target = outside.filePath(QStringLiteral("elsewhere.bin"));
        QVERIFY(QFile::rename(f.drives.host(u'd', kPart), target));
        QVERIFY(QFile::link(target, f.drives.host(u'd', kPart)));
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        QVERIFY(!f.dialogs.messages().join(u'\n').contains(QStringLiteral("An unfinished copy")));
        QVERIFY(f.dialogs.messages().size() == 1 && f.dialogs.messages()[0].startsWith(kCompleted));
        QVERIFY(QFile(target).open(QIODevice::ReadOnly) && QFile(target).size() == part.size());
        QFile kept(target);
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == part); // never written through
        QCOMPARE(f.drives.read(u'd', kPartMap), map);
        QVERIFY(QFileInfo(f.drives.host(u'd', kPart)).isSymLink());
        QByteArray expected = content;
        expected.replace(300 * kBlock, 8 * kBlock, QByteArray(8 * kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
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

    // A source changed since the rescue was kept, in a block the samples do
    // not read, is not gone on with: the message names both times, the kept
    // part stays, and the copy is made afresh beside it.
    void aChangedSourceIsNotGoneOnWith()
    {
        FormFixture f;
        QByteArray content = sourceOnC(f, 27);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        keepARescue(f, medium);
        if (QTest::currentTestFailed())
            return;
        f.dialogs.shown.clear();
        const QByteArray part = f.drives.read(u'd', kPart), map = f.drives.read(u'd', kPartMap);
        const QString host = f.drives.host(u'c', kSourceName);
        const QString before = QFileInfo(host).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QTest::qWait(1100); // changed a second later, as a user would change it
        content[5000] = char(~content[5000]); // block 1: between the first two samples
        QFile source(host);
        QVERIFY(source.open(QIODevice::ReadWrite) && source.seek(5000) && source.write(content.mid(5000, 1)) == 1);
        source.close();
        const QString after = QFileInfo(host).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QTest::qWait(1100); // the medium's driver tells the new time after its second of caching

        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        const QStringList said = f.dialogs.messages();
        QCOMPARE(said.value(0), QStringLiteral("'out.bin.part' was rescued from another version of the source: its map "
                                               "out.bin.part.map was written for 3145728 bytes, changed %1; the source now "
                                               "has 3145728 bytes, changed %2.\r\nIt is not gone on with, and stays as it is.")
                                    .arg(before, after));
        QVERIFY(said.size() == 2 && said[1].startsWith(kCompleted));
        QVERIFY(f.drives.read(u'd', kPart) == part);
        QCOMPARE(f.drives.read(u'd', kPartMap), map);
        QByteArray expected = content;
        expected.replace(300 * kBlock, 8 * kBlock, QByteArray(8 * kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
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

    // What a cut leaves is recognised on the next Copy onto the name: a map of
    // ours whose part is gone (the part took NAME, or never had a name) and
    // its temporary files are cleared, and the rescue takes NAME.part again;
    // a map GNU ddrescue wrote is not ours to clear.
    void leftoversOfACutAreCleared_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<bool>("ours"); // cleared, and the rescue takes NAME.part
        QTest::newRow("this program's stale part map") << QStringLiteral("our map") << true;
        QTest::newRow("GNU ddrescue's map under that name") << QStringLiteral("ddrescue's map") << false;
        QTest::newRow("a part without its map, Yes deletes it") << QStringLiteral("part") << true;
    }
    void leftoversOfACutAreCleared()
    {
        QFETCH(QString, left);
        QFETCH(bool, ours);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 31);
        RescueMap stale;
        stale.set(0, content.size(), RescueMap::Status::NonTried);
        if (left == u"part") {
            f.drives.makeFile(u'd', kPart, content.left(kLargePiece));
            f.dialogs.answers = {rt::AnswerYes};
        } else {
            f.drives.makeFile(u'd', kPartMap, left == u"our map" ? stale.mapfile("duplon C:\\src.bin D:\\out.bin")
                                                                 : "# Mapfile. Created by GNU ddrescue version 1.27\n0x0 ? 1\n0x0 0x300000 ?\n");
        }
        const QString temporary = QStringLiteral(".out.bin.part.map.x1y2.tmp");
        f.drives.makeFile(u'd', temporary, "half a map");
        BadMedium medium(f.drives.host(u'c'), {.bad = {{300 * kBlock, 301 * kBlock}}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        CopyWatch watch(f.c());
        bool keptAsPart = false;
        watch.onRead = [&](qint64, qint64) { keptAsPart = keptAsPart || f.drives.exists(u'd', kPart); };
        f.c().cmdCopy->click();
        QStringList said = f.dialogs.messages();
        if (left == u"part")
            QCOMPARE(said.takeFirst(), QStringLiteral("'out.bin.part' holds an unfinished copy of 'out.bin' without its map: what "
                                                      "in it was read is not known.\r\nDo You Want to Delete It."));
        QVERIFY(said.size() == 1 && said[0].startsWith(kCompleted));
        QCOMPARE(keptAsPart, ours);
        QCOMPARE(f.drives.exists(u'd', kPartMap), left == u"ddrescue's map");
        QCOMPARE(f.drives.exists(u'd', temporary), left != u"our map");
        QVERIFY(f.drives.exists(u'd', QStringLiteral("out.bin.map")) && !f.drives.exists(u'd', QStringLiteral("out.bin.1.part.map")));
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
};

QTEST_MAIN(TestKept)
#include "tst_kept.moc"
