#include "copy/job/WritingPlan.h"
#include "support/TestKit.h"
#include "support/BadMedium.h"
#include "copy/job/CopyJob.h"
#include "copy/rescue/RetryPasses.h"
#include "runtime/files/Destination.h"
#include "runtime/files/IoWorker.h"
#include "runtime/files/Transfer.h"
#include "support/CopyWatch.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <pwd.h>
#include <numeric>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace copytest;

using namespace testkit;

namespace {

using Range = BadMedium::Range;
constexpr qint64 kBlock = BadMedium::kBlock;
const QString kSourceName = QStringLiteral("src.bin");

// The blocks with any byte in a bad range, in order.
QList<qint64> blocksTouched(const QList<Range> &bad, qint64 size)
{
    QList<qint64> blocks;
    for (qint64 b = 0; b * kBlock < size; ++b)
        for (const Range &r : bad)
            if (r.begin < (b + 1) * kBlock && r.end > b * kBlock) {
                blocks.append(b);
                break;
            }
    return blocks;
}

// The closing message of a copy that could not read the given bytes.
// The closing words of a rescue; a source of which nothing could be read says so.
QString rescueMessage(qint64 zeros, const QString &mapPath, bool nothingRead = false)
{
    return kCompleted + QStringLiteral("\r\n%1 bytes could not be read and were written as zeros.").arg(zeros)
           + (nothingRead ? QStringLiteral("\r\nNone of its bytes could be read.") : QString())
           + QStringLiteral("\r\nA map of the unreadable parts was written to %1.").arg(mapPath)
           + QStringLiteral("\r\nCopy pressed again later onto the same name reads only the damaged parts again.");
}

// Puts drive c: on the damaged medium, which mirrors the test drive's own c: folder.
void sourceOnMedium(FormFixture &f, const BadMedium &medium)
{
    rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', f.drives.host(u'd')}});
}

// Starts the window on a source laid out behind a damaged medium and aims the copy at D:\out.bin;
// whether all went well.
[[nodiscard]] bool prepareRescue(FormFixture &f, const BadMedium &medium)
{
    sourceOnMedium(f, medium);
    return startAimed(f, kSourceName);
}

// Shows nothing; stops after a given number of reads.
struct QuietProgress : CopyProgress {
    int reads = 0;
    int stopAfter = -1;
    void showProgress(int, qint64, qint64) override { ++reads; }
    bool yieldAndGoOn() override { return goingOn(); }
    bool goingOn() const override { return reads != stopAfter; }
};

// The blocks, the last one ending with the file: a real medium does not fail past a file's end.
QList<Range> blockRanges(const QList<qint64> &blocks, qint64 size)
{
    QList<Range> ranges;
    for (qint64 b : blocks)
        ranges.append({b * kBlock, std::min((b + 1) * kBlock, size)});
    return ranges;
}

// A first rescue of C:\src.bin into D:\out.bin from the medium: by the engine,
// with its map written as the window writes it, or by GNU ddrescue. The map's
// name; empty when the rescue did not complete.
QString firstRescue(const TestDrives &drives, const BadMedium &medium, bool byDdrescue)
{
    rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', drives.host(u'd')}});
    const QString d = drives.host(u'd') + u'/';
    if (byDdrescue)
        return QProcess::execute(QStringLiteral("ddrescue"), {QStringLiteral("-qb4096"), medium.path() + u'/' + kSourceName,
                                                              d + QStringLiteral("out.bin"), d + QStringLiteral("rescue.log")})
                == 0 ? QStringLiteral("rescue.log") : QString();
    const rt::File source = rt::File::open(QStringLiteral("C:\\src.bin"), rt::File::Access::Read);
    rt::Destination dest = prepareDestination(QStringLiteral("D:\\out.bin"), 0644);
    QuietProgress progress;
    rt::IoWorker io;
    CopyEngine engine(source, dest, progress, io);
    const CopyEngine::Outcome outcome = engine.run();
    if (outcome.end != CopyEngine::Outcome::End::Completed || dest.commit(outcome.length).closeError
        || !rt::createNewFile(QStringLiteral("D:\\out.bin.map"), engine.map().mapfile("duplon C:\\src.bin D:\\out.bin")))
        return QString();
    return QStringLiteral("out.bin.map");
}

// The blocks that ddrescuelog lists with a status ('+' or '-'); {-1} when it cannot read the map.
QList<qint64> listedBlocks(const QString &mapHost, char status)
{
    QProcess list;
    list.start(QStringLiteral("ddrescuelog"), {QStringLiteral("-b4096"), QStringLiteral("-l") + QChar(status), mapHost});
    if (!list.waitForFinished(30000) || list.exitCode() != 0)
        return {-1};
    QList<qint64> blocks;
    for (const QByteArray &line : list.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            blocks.append(line.toLongLong());
    return blocks;
}

// Goes on with the rescue of C:\src.bin in D:\out.bin; nullopt when none is offered.
std::optional<RetryPasses::Outcome> retryRescue(int stopAfter = -1,
                                                std::chrono::milliseconds saveEvery = RetryPasses::kSaveInterval)
{
    const rt::File source = rt::File::open(QStringLiteral("C:\\src.bin"), rt::File::Access::Read);
    rt::IoWorker io;
    std::optional<Resumable> resumable = findResumable(QStringLiteral("D:\\out.bin"), source, io);
    if (!resumable)
        return std::nullopt;
    QuietProgress progress;
    progress.stopAfter = stopAfter;
    RetryPasses retry(source, *std::move(resumable), progress, io);
    retry.setSaveInterval(saveEvery);
    return retry.run();
}

qint64 blockBytes(const QList<qint64> &blocks, qint64 size)
{
    return std::accumulate(blocks.begin(), blocks.end(), qint64(0),
                           [&](qint64 sum, qint64 b) { return sum + std::min(kBlock, size - b * kBlock); });
}

using Marginals = QMap<qint64, int>; // block -> reads that fail before it reads

qint64 allocatedBytes(const QString &host)
{
    struct stat st {};
    return ::stat(QFile::encodeName(host).constData(), &st) == 0 ? qint64(st.st_blocks) * 512 : -1;
}

} // namespace

Q_DECLARE_METATYPE(BadMedium::Range)

class TestRescue : public QObject {
    Q_OBJECT
public:
    // The retry that interruptedRetryKeepsCopyAndMap kills: this program, run again.
    static void initMain()
    {
        // Or the rescue that aKilledRescueIsGoneOnWith kills: a copy that meets damage.
        const QString medium = qEnvironmentVariable("DUPLON_RETRY_MEDIUM"), rescue = qEnvironmentVariable("DUPLON_RESCUE_MEDIUM");
        if (medium.isEmpty() && rescue.isEmpty())
            return;
        int argc = 1;
        char *argv[] = {const_cast<char *>("retry"), nullptr};
        QCoreApplication app(argc, argv);
        rt::Drives::instance().setFixedMap({{u'c', medium + rescue}, {u'd', qEnvironmentVariable("DUPLON_RETRY_DEST")}});
        QuietProgress progress;
        ScriptedDialogs dialogs;
        CopyEngine::setSaveIntervalOfNewEngines(std::chrono::milliseconds(qEnvironmentVariableIntValue("DUPLON_SAVE_EVERY_MS")));
        if (const int user = qEnvironmentVariableIntValue("DUPLON_AS_USER"); user > 0) { // aReadOnlyRescue...
            if (setgid(gid_t(user)) != 0 || setuid(uid_t(user)) != 0)
                std::exit(99);
            const qint64 fault = qEnvironmentVariableIntValue("DUPLON_FAULT_AT");
            if (fault > 0)
                rt::setReadFaultHook([fault](qint64 at, qint64 n) { return at <= fault && at + n > fault ? EIO : 0; });
            progress.stopAfter = fault > 0 ? 3 : -1;
            dialogs.answers = {rt::AnswerYes}; // keep it; go on with it
        }
        if (!rescue.isEmpty())
            std::exit(int(CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")},
                                  progress, dialogs).run()));
        std::exit(retryRescue(-1, std::chrono::milliseconds(0)) ? 0 : 3);
    }

private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // ---- every readable block is rescued ---------------------------------------

    void rescuesEveryReadableBlock_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<Range>>("bad");
        QTest::addColumn<bool>("shortReads"); // reads return the blocks before a bad one, then fail there
        QTest::addColumn<int>("oldMaps");     // maps of an earlier rescue beside the destination
        QTest::addColumn<QString>("folder");  // a folder part of the name typed, after a '/'
        QTest::addColumn<QString>("medium");  // "1 MiB": st_blksize says 1 MiB; "no direct": O_DIRECT refused

        constexpr qint64 M = kLargePiece;
        QTest::newRow("bad first block") << 3 * M + 5000 << QList<Range>{{0, kBlock}} << false << 0 << QString() << QString();
        QTest::newRow("bad last partial block")
            << 2 * M + 5000 << QList<Range>{{2 * M + 4990, 2 * M + 5000}} << false << 0 << QString() << QString();
        // One byte in each, in large pieces, the small pieces of the tail and
        // the last partial block; the map takes the first free name.
        QList<Range> scattered;
        for (qint64 b : {3, 300, 1000, 1250, 1300, 1353})
            scattered.append({b * kBlock + 17, b * kBlock + 18});
        QTest::newRow("scattered single blocks") << 5 * M + 300000 << scattered << false << 2 << QString() << QString();
        QTest::newRow("a run across a 1 MiB boundary")
            << 3 * M << QList<Range>{{M - 3 * kBlock + 5, M + 2 * kBlock - 5}} << false << 0 << QString() << QString();
        QTest::newRow("a read that fails part-way through a piece")
            << 3 * M + 777 << QList<Range>{{M + 300000, M + 300100}, {2 * M + 2 * kBlock, 2 * M + 4 * kBlock}} << true
            << 0 << QString() << QString();
        QTest::newRow("a name typed with a folder part") << 2 * M << QList<Range>{{M, M + 1}} << false << 1 << "sub" << QString();
        // One bad sector costs its own bytes, not the 1 MiB a network share names as its I/O size.
        QTest::newRow("a medium that says 1 MiB blocks")
            << 3 * M << QList<Range>{{M + 5 * kBlock + 9, M + 5 * kBlock + 10}} << false << 0 << QString() << "1 MiB";
        // Where direct access is refused, the rescue reads buffered with read-ahead off.
        QTest::newRow("direct access refused") << 3 * M + 777 << scattered.mid(0, 3) << false << 0 << QString() << "no direct";
        QTest::newRow("direct access refused, reads fail part-way")
            << 3 * M << QList<Range>{{M + 300000, M + 300100}} << true << 0 << QString() << "no direct";
        QTest::newRow("entirely unreadable file") << M + 200000 << QList<Range>{{0, M + 200000}} << false << 0 << QString() << QString();
    }
    void rescuesEveryReadableBlock()
    {
        QFETCH(qint64, size);
        QFETCH(QList<Range>, bad);
        QFETCH(bool, shortReads);
        QFETCH(int, oldMaps);
        QFETCH(QString, folder);
        QFETCH(QString, medium);
        const QString at = folder.isEmpty() ? QString() : folder + u'/';

        FormFixture f;
        const QByteArray content = patternBytes(size, 61);
        f.drives.makeFile(u'c', kSourceName, content);
        QStringList oldMapNames;
        for (int i = 0; i < oldMaps; ++i) {
            oldMapNames.append(i == 0 ? QStringLiteral("out.bin.map") : QStringLiteral("out.bin.%1.map").arg(i));
            f.drives.makeFile(u'd', at + oldMapNames.last(), "an earlier map");
        }
        const QString mapName = oldMaps == 0 ? QStringLiteral("out.bin.map") : QStringLiteral("out.bin.%1.map").arg(oldMaps);
        BadMedium disk(f.drives.host(u'c'), {.bad = bad, .shortReads = shortReads,
                                             .blksize = medium == u"1 MiB" ? kLargePiece : kBlock,
                                             .refuseDirect = medium == u"no direct"});
        SKIP_UNLESS_MOUNTED(disk);
        QVERIFY(prepareRescue(f, disk));
        if (!folder.isEmpty())
            f.drives.makeFolder(u'd', folder), f.c().txtDest->setText(at + QStringLiteral("out.bin"));
        CopyWatch watch(f.c());
        bool keptTogether = folder.isEmpty(); // the rescue's map beside its copy while it runs
        watch.onRead = [&](qint64, qint64) { keptTogether = keptTogether || f.drives.exists(u'd', at + QStringLiteral("out.bin.part.map")); };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QVERIFY(keptTogether);
        const QList<qint64> badBlocks = blocksTouched(bad, size);
        qint64 zeros = 0;
        QSet<qint64> piecesHit;
        for (qint64 b : badBlocks) {
            zeros += std::min(kBlock, size - b * kBlock);
            piecesHit.insert(b * kBlock / kLargePiece);
        }
        QCOMPARE(f.dialogs.messages(), QStringList{rescueMessage(zeros, QStringLiteral("D:\\") + QString(at).replace(u'/', u'\\') + mapName, zeros == size)});
        QCOMPARE(f.dialogs.shown[0].style, 48);
        QCOMPARE(f.dialogs.shown[0].title, std::nullopt);

        // Block by block: the bad ones zeros, every other one the source's.
        const QByteArray copied = f.drives.read(u'd', at + QStringLiteral("out.bin"));
        QCOMPARE(copied.size(), content.size());
        for (qint64 b = 0; b * kBlock < size; ++b) {
            const qint64 n = std::min(kBlock, size - b * kBlock);
            const QByteArray expected = badBlocks.contains(b) ? QByteArray(n, '\0') : content.mid(b * kBlock, n);
            QVERIFY2(copied.mid(b * kBlock, n) == expected,
                     qPrintable(QStringLiteral("block %1 (%2) differs").arg(b).arg(badBlocks.contains(b) ? "bad" : "good")));
        }

        // Bad spots cost little: at most two reads of each bad block, and no
        // more failing reads than two per bad block and one per piece holding any.
        const BadMedium::Stats stats = disk.stats(kSourceName);
        QCOMPARE(stats.refusedDirect > 0, medium == u"no direct");
        QVERIFY2(stats.failedReads <= 2 * badBlocks.size() + piecesHit.size(),
                 qPrintable(QStringLiteral("%1 failing reads for %2 bad blocks in %3 pieces")
                                .arg(stats.failedReads).arg(badBlocks.size()).arg(piecesHit.size())));
        for (qint64 b : badBlocks)
            QVERIFY2(stats.blockReads.value(b) <= 2,
                     qPrintable(QStringLiteral("bad block %1 read %2 times").arg(b).arg(stats.blockReads.value(b))));
        // Every read, in every pass, is followed by a yield.
        QVERIFY(watch.yieldedAfterEveryPiece);
        QCOMPARE(f.c().KorBar->barValue(), 100);
        QVERIFY(f.readyToCopy());
        for (const QString &old : oldMapNames)
            QCOMPARE(f.drives.read(u'd', at + old), QByteArray("an earlier map"));

        // The map lists exactly the bad blocks, as ddrescue reads it.
        const QString mapHost = f.drives.host(u'd', at + mapName);
        QVERIFY2(QFile::exists(mapHost), qPrintable(mapHost));
        QVERIFY(f.drives.read(u'd', at + mapName).contains("\n# Sector size: 4096 bytes (ddrescuelog -b 4096)\n"));
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            QSKIP("ddrescuelog (gddrescue) is not installed, so the map was not read back");
        QCOMPARE(listedBlocks(mapHost, '-'), badBlocks);
    }

    // ---- stopping -----------------------------------------------------------------

    // A Stop during a rescue asks: Yes keeps the copy and its map to go on later, No deletes both.
    void stopDuringTheBlockPasses_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("Yes keeps both") << rt::AnswerYes;
        QTest::newRow("No deletes both") << rt::AnswerNo;
    }
    void stopDuringTheBlockPasses()
    {
        QFETCH(int, answer);
        FormFixture f;
        f.dialogs.answers = {answer};
        f.drives.makeFile(u'c', kSourceName, patternBytes(3 * kLargePiece, 62));
        BadMedium medium(f.drives.host(u'c'), {.bad = {{300 * kBlock, 308 * kBlock}}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        // The first pass only ever reads forward; a read behind the furthest
        // point reached belongs to a later pass.
        qint64 furthest = 0;
        qsizetype readsAtStop = -1;
        watch.onRead = [&](qint64 offset, qint64 count) {
            if (readsAtStop < 0 && count <= kBlock && offset < furthest) {
                readsAtStop = watch.reads.size();
                clickInNextYield(f.c().cmdCopy);
            }
            furthest = std::max(furthest, offset + count);
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QVERIFY2(readsAtStop > 0, "the copy never read single blocks after its first pass");
        QCOMPARE(watch.reads.size(), readsAtStop); // no read after the Stop
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("2 MB of 3 MB were rescued.\r\nDo You Want to Keep Them in "
                                                                  "'out.bin.part' to Go On Later.")});
        QCOMPARE(f.dialogs.shown[0].style, 52);
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.part")), answer == rt::AnswerYes);
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.part.map")), answer == rt::AnswerYes);
        QVERIFY(f.readyToCopy());
    }

    void stopWhileAReadIsHeld()
    {
        constexpr int heldMs = 4000;
        constexpr int stopAfterMs = 200;
        FormFixture f;
        f.drives.makeFile(u'c', kSourceName, patternBytes(3 * kLargePiece, 63));
        BadMedium medium(f.drives.host(u'c'),
                         {.slow = {{kLargePiece, kLargePiece + 1}}, .slowDelayMs = heldMs});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        QElapsedTimer sinceRead;
        qint64 clickedAt = -1;
        qsizetype heldRead = -1;
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset != kLargePiece || heldRead >= 0)
                return;
            heldRead = watch.reads.size();
            sinceRead.start();
            QTimer::singleShot(stopAfterMs, f.c().cmdCopy, [&] {
                clickedAt = sinceRead.elapsed();
                f.c().cmdCopy->click();
            });
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        // The Stop is taken while the read is still held: the window went on
        // handling events. The bound is about event delivery, far below the hold.
        QVERIFY2(heldRead > 0, "the held piece was never read");
        QVERIFY2(clickedAt >= 0 && clickedAt <= stopAfterMs + 500,
                 qPrintable(QStringLiteral("Stop, due %1 ms into a read held %2 ms, was handled after %3 ms")
                                .arg(stopAfterMs).arg(heldMs).arg(clickedAt)));
        // The copy ends with the read in flight.
        QCOMPARE(watch.reads.size(), heldRead);
        QCOMPARE(f.dialogs.messages(), QStringList());
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.part"))); // a healthy copy is not kept
        QVERIFY(f.readyToCopy());
    }

    // A medium pulled during a rescue, or while an earlier one is gone on with,
    // ends it at the next failed read, naming the drive: no trimming, scraping
    // or passes over a medium that is gone. What was read is kept.
    void aMediumThatGoesEndsTheCopy_data()
    {
        QTest::addColumn<bool>("goingOn");
        QTest::newRow("a rescue") << false;
        QTest::newRow("an earlier rescue gone on with") << true;
    }
    void aMediumThatGoesEndsTheCopy()
    {
        QFETCH(bool, goingOn);
        FormFixture f;
        const QByteArray content = patternBytes(8 * kLargePiece, 64);
        f.drives.makeFile(u'c', kSourceName, content);
        BadMedium medium(f.drives.host(u'c'), {.bad = {{2 * kLargePiece, 3 * kLargePiece}}});
        SKIP_UNLESS_MOUNTED(medium);
        if (goingOn)
            QCOMPARE(firstRescue(f.drives, medium, false), QStringLiteral("out.bin.map"));
        const QByteArray firstMap = f.drives.read(u'd', QStringLiteral("out.bin.map"));
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        watch.onRead = [&](qint64 offset, qint64) { if (offset == 4 * kLargePiece) medium.pull(); }; // the leap on
        int blocksRead = 0; // by the passes over the earlier rescue's unreadable blocks
        QObject::connect(f.c().lblInputLoc, &rt::Label::captionSet, f.c().lblInputLoc,
                         [&] { if (goingOn && ++blocksRead == 10) medium.pull(); });
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        const QString gone = QStringLiteral("The source file C:\\src.bin could not be read.\r\nThe medium in drive C: [m] is gone.\r\n");
        if (!goingOn) {
            QCOMPARE(watch.reads.size(), qsizetype(4));
            QCOMPARE(f.dialogs.messages(), QStringList{gone + QStringLiteral("2 MB of 8 MB were rescued and are kept in 'out.bin.part' to go on later.")});
            QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
            QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin.part")).left(2 * kLargePiece), content.left(2 * kLargePiece));
            return;
        }
        QCOMPARE(blocksRead, 10);
        QCOMPARE(f.dialogs.messages().mid(1), QStringList{gone + QStringLiteral("0 bytes could now be read and %1 bytes still could not.\r\n"
                                                                                "The map of the unreadable parts, D:\\out.bin.map, was brought up to date.").arg(kLargePiece)});
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin.map")), firstMap); // nothing changed in it
    }

    // A source whose open takes seconds (a drive spinning up, a share timing
    // out): Stop, Exit and the close box are handled while it is held, and the
    // copy ends before it has read or written anything.
    void commandsWhileTheOpenIsHeld_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("Stop") << QStringLiteral("Stop");
        QTest::newRow("Exit answered Yes") << QStringLiteral("Exit");
        QTest::newRow("close box") << QStringLiteral("close");
    }
    void commandsWhileTheOpenIsHeld()
    {
        QFETCH(QString, command);
        FormFixture f;
        f.drives.makeFile(u'c', kSourceName, patternBytes(2 * kLargePiece, 64));
        BadMedium medium(f.drives.host(u'c'), {.openDelayMs = 3000});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        QVERIFY(f.show());
        CopyWatch watch(f.c());
        f.dialogs.answers = {rt::AnswerYes};
        qsizetype readsAtCommand = -1;
        bool shownAfter = true;
        QTimer::singleShot(300, f.form.get(), [&] {
            readsAtCommand = watch.reads.size();
            if (command == u"Stop")
                f.c().cmdCopy->click();
            else if (command == u"Exit")
                f.c().cmdExit->click();
            else
                f.form->close();
            shownAfter = f.form->isVisible();
        });
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QCOMPARE(readsAtCommand, qsizetype(0)); // handled while the open was held
        QCOMPARE(f.dialogs.messages(), command == u"Exit" ? QStringList{QStringLiteral("Do You Really Want To Exit Talmo's 'DUPLON'.")}
                                                          : QStringList());
        QCOMPARE(shownAfter, command == u"Stop");
        QCOMPARE(watch.reads.size(), qsizetype(0));
        QCOMPARE(QDir(f.drives.host(u'd')).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(f.readyToCopy());
    }

    // ---- going on with a rescue -------------------------------------------------

    // A retry over a first rescue's copy and map, on a medium that now gives
    // some of the unreadable blocks. Whether it ends, is stopped or is killed,
    // the copy and the map agree: the source's bytes where the map says
    // finished, what the first copy left everywhere else.
    void retryReadsOnlyWhatWasUnreadable_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<qint64>>("dead"); // blocks that still fail
        QTest::addColumn<Marginals>("marginal");
        QTest::addColumn<QList<qint64>>("fromAbove"); // blocks that read only after a read above them
        QTest::addColumn<QList<qint64>>("recovered");
        QTest::addColumn<int>("passes");
        QTest::addColumn<bool>("byDdrescue");
        QTest::addColumn<int>("stopAfter"); // reads before a Stop; 0: killed a while after its first save; -1: neither

        constexpr qint64 M = kLargePiece;
        // Pass 1 reads 40, pass 2 (backward) 200, pass 3 the last, partial block.
        QTest::newRow("marginal blocks read on later passes")
            << 2 * M + 5000 << QList<qint64>{10, 300} << Marginals{{40, 0}, {200, 1}, {513, 2}} << QList<qint64>{}
            << QList<qint64>{40, 200, 513} << 3 << false << -1;
        // 99 reads in pass 1 (the last read before it, a comparison, was near
        // the end), 300 in the backward pass after 301; 450, the highest, never.
        QTest::newRow("blocks that read only from above")
            << 2 * M << QList<qint64>{100, 301, 400} << Marginals{} << QList<qint64>{99, 300, 450}
            << QList<qint64>{99, 300} << 3 << false << -1;
        QTest::newRow("a map of GNU ddrescue") << M + 3000 << QList<qint64>{7} << Marginals{{20, 0}, {30, 1}}
                                               << QList<qint64>{} << QList<qint64>{20, 30} << 3 << true << -1;
        Marginals all, even;
        QList<qint64> odd;
        for (qint64 b = 0; b < 17; ++b)
            all.insert(b, 0);
        QTest::newRow("everything reads now") << 16 * kBlock + 100 << QList<qint64>{} << all << QList<qint64>{}
                                              << all.keys() << 1 << false << -1;
        for (qint64 b = 10; b < 90; ++b)
            b % 2 ? odd.append(b) : void(even.insert(b, 0));
        // 30 reads: blocks 10 to 39, of which the even ones read.
        QTest::newRow("Stop") << M << odd << even << QList<qint64>{} << even.keys().mid(0, 15) << 1 << false << 30;
        QTest::newRow("killed") << M << odd << even << QList<qint64>{} << QList<qint64>{} << 1 << false << 0;
    }
    void retryReadsOnlyWhatWasUnreadable()
    {
        QFETCH(qint64, size);
        QFETCH(QList<qint64>, dead);
        QFETCH(Marginals, marginal);
        QFETCH(QList<qint64>, fromAbove);
        QFETCH(QList<qint64>, recovered);
        QFETCH(int, passes);
        QFETCH(bool, byDdrescue);
        QFETCH(int, stopAfter);
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            QSKIP("GNU ddrescue (gddrescue) is not installed, so no map can be written or read back");

        TestDrives drives;
        const QByteArray content = patternBytes(size, 71);
        drives.makeFile(u'c', kSourceName, content);
        QList<qint64> unreadable = dead + marginal.keys() + fromAbove;
        std::sort(unreadable.begin(), unreadable.end());
        QString mapName;
        {
            BadMedium first(drives.host(u'c'), {.bad = blockRanges(unreadable, size)});
            SKIP_UNLESS_MOUNTED(first);
            mapName = firstRescue(drives, first, byDdrescue);
        }
        QVERIFY(!mapName.isEmpty());
        const QString copyHost = drives.host(u'd', QStringLiteral("out.bin"));
        const QString mapHost = drives.host(u'd', mapName);
        const QByteArray before = drives.read(u'd', QStringLiteral("out.bin"));
        const QByteArray firstMap = drives.read(u'd', mapName);
        struct stat was {};
        QCOMPARE(::stat(QFile::encodeName(copyHost).constData(), &was), 0);

        QList<Range> marginalRanges = blockRanges(marginal.keys(), size);
        for (Range &r : marginalRanges)
            r.failures = marginal.value(r.begin / kBlock);
        BadMedium medium(drives.host(u'c'), {.bad = blockRanges(dead, size), .badDelayMs = stopAfter == 0 ? 25 : 0,
                                             .marginal = marginalRanges, .fromAbove = blockRanges(fromAbove, size)});
        QVERIFY(medium.mounted());
        rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', drives.host(u'd')}});

        if (stopAfter == 0) {
            // The retry, run again as a program of its own, saves its map after every change.
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DUPLON_RETRY_MEDIUM"), medium.path());
            env.insert(QStringLiteral("DUPLON_RETRY_DEST"), drives.host(u'd'));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(child.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(drives.read(u'd', mapName) != firstMap, 20000);
            QTest::qWait(300);
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(30000)); // a read in flight on the medium ends first
            for (qint64 b : listedBlocks(mapHost, '+'))
                if (unreadable.contains(b))
                    recovered.append(b);
            QVERIFY2(!recovered.isEmpty() && recovered.size() < marginal.size(), qPrintable(QString::number(recovered.size())));
        } else {
            const std::optional<RetryPasses::Outcome> outcome = retryRescue(stopAfter);
            QVERIFY(outcome);
            QCOMPARE(int(outcome->end), int(stopAfter > 0 ? RetryPasses::Outcome::End::Stopped : RetryPasses::Outcome::End::Completed));
            QCOMPARE(outcome->mapPath, QStringLiteral("D:\\") + mapName);
            QCOMPARE(outcome->recovered, blockBytes(recovered, size));
            QCOMPARE(outcome->unreadable, blockBytes(unreadable, size) - outcome->recovered);
            QCOMPARE(outcome->passes, passes);
            QCOMPARE(outcome->complete, outcome->unreadable == 0);
            }

        // The source's bytes where the medium now gives them; nothing else changed.
        const QByteArray after = drives.read(u'd', QStringLiteral("out.bin"));
        QCOMPARE(after.size(), before.size());
        // A killed retry may have written blocks after its last save: those
        // hold the source's bytes or the old ones, never anything else.
        for (qint64 b = 0; b * kBlock < size; ++b) {
            const QByteArray got = after.mid(b * kBlock, kBlock);
            const bool wanted = got == (recovered.contains(b) ? content : before).mid(b * kBlock, kBlock);
            QVERIFY2(wanted || (stopAfter == 0 && got == content.mid(b * kBlock, kBlock)),
                     qPrintable(QStringLiteral("block %1").arg(b)));
        }
        struct stat now {};
        QCOMPARE(::stat(QFile::encodeName(copyHost).constData(), &now), 0);
        QCOMPARE(now.st_mode, was.st_mode);
        QVERIFY(stopAfter == 0 || (now.st_mtim.tv_sec == was.st_mtim.tv_sec && now.st_mtim.tv_nsec == was.st_mtim.tv_nsec));
        // The map lists what is still unreadable, or is gone with it.
        QList<qint64> stillBad = unreadable;
        stillBad.removeIf([&](qint64 b) { return recovered.contains(b); });
        if (stillBad.isEmpty())
            QVERIFY(!QFile::exists(mapHost));
        else
            QCOMPARE(listedBlocks(mapHost, '-'), stillBad);

        // Each block still unreadable was read once per pass; finished blocks
        // only to compare the copy with the source.
        const BadMedium::Stats stats = medium.stats(kSourceName);
        qint64 finishedReads = 0;
        for (auto it = stats.blockReads.begin(); it != stats.blockReads.end(); ++it) {
            if (!unreadable.contains(it.key()))
                finishedReads += it.value();
            else if (stopAfter < 0 && stillBad.contains(it.key()))
                QVERIFY2(it.value() == passes, qPrintable(QStringLiteral("block %1 read %2 times").arg(it.key()).arg(it.value())));
        }
        QVERIFY2(finishedReads <= kSampleBlocks, qPrintable(QString::number(finishedReads)));
    }

    // Copy pressed again onto a rescued copy, through the window: Yes reads
    // only what could not be read, into that copy; No asks to replace it and
    // makes a fresh copy, whose map takes a free name.
    void copyAgainOntoARescuedCopy_data()
    {
        QTest::addColumn<bool>("goOn");
        QTest::newRow("Yes: only the unreadable parts") << true;
        QTest::newRow("No: a fresh copy") << false;
    }
    void copyAgainOntoARescuedCopy()
    {
        QFETCH(bool, goOn);
        FormFixture f;
        const qint64 size = kLargePiece + 5000;
        const QByteArray content = patternBytes(size, 81);
        f.drives.makeFile(u'c', kSourceName, content);
        // Block 5 fails its first two reads (all a first copy tries), block 9 always.
        BadMedium medium(f.drives.host(u'c'), {.bad = {{9 * kBlock, 10 * kBlock}}, .marginal = {{5 * kBlock, 6 * kBlock, 2}}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{rescueMessage(2 * kBlock, QStringLiteral("D:\\out.bin.map"))});

        f.dialogs.shown.clear();
        f.dialogs.answers = goOn ? std::deque<int>{rt::AnswerYes} : std::deque<int>{rt::AnswerNo, rt::AnswerYes};
        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.shown[0].prompt,
                 QStringLiteral("An earlier copy of 'out.bin' is there: 8192 bytes could not be read and 0 bytes were not yet "
                                "tried.\r\nDo You Want to Read Only Those Parts Again."));
        QCOMPARE(f.dialogs.shown[0].style, 52);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QByteArray expected = content;
        expected.replace(9 * kBlock, kBlock, QByteArray(kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
        QCOMPARE(f.c().KorBar->barValue(), 100);
        if (goOn) {
            QCOMPARE(f.dialogs.messages().mid(1),
                     QStringList{kCompleted + QStringLiteral("\r\n4096 bytes could now be read and 4096 bytes still could not.\r\n"
                                                            "The map of the unreadable parts, D:\\out.bin.map, was brought up to date.")});
            QCOMPARE(listedBlocks(f.drives.host(u'd', QStringLiteral("out.bin.map")), '-'), QList<qint64>{9});
            // The map brought up to date still names its source, for the next retry to check.
            QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin.map")).contains("\n# Source: " + QByteArray::number(size) + ' '));
        } else {
            QCOMPARE(f.dialogs.messages().mid(2), QStringList{rescueMessage(kBlock, QStringLiteral("D:\\out.bin.1.map"))});
        }
    }

    // An interrupted rescue leaves a copy and a map that ddrescuelog reads and that agree: one killed (kill -9)
    // leaves NAME.part (NAME.1.part beside another copy's), GNU ddrescue left early its own pair. Copy again
    // goes on from it with the copying passes and ends with the copy and map of an uninterrupted rescue,
    // reading again at most the sample of what was finished; ddrescue's map keeps its name, and the command
    // line ddrescue finds it by.
    void anInterruptedRescueIsGoneOnWith_data()
    {
        QTest::addColumn<QString>("copy");
        QTest::addColumn<int>("saveEveryMs"); // the rescue's periodic save, shortened; 0: killed after its first
        QTest::newRow("killed: NAME.part") << QStringLiteral("out.bin.part") << 0;
        QTest::newRow("killed after its second save") << QStringLiteral("out.bin.part") << 300;
        QTest::newRow("killed beside another copy's rescue: NAME.1.part") << QStringLiteral("out.bin.1.part") << 0;
        QTest::newRow("GNU ddrescue left early: NAME and its map") << QStringLiteral("out.bin") << 0;
    }
    void anInterruptedRescueIsGoneOnWith()
    {
        QFETCH(QString, copy);
        QFETCH(int, saveEveryMs);
        const bool byDdrescue = copy == u"out.bin", besideAnother = copy == u"out.bin.1.part";
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            QSKIP("GNU ddrescue (gddrescue) is not installed, so the kept map cannot be read back");
        FormFixture f;
        const qint64 size = 6 * kLargePiece + 3000;
        const QByteArray content = patternBytes(size, 91);
        f.drives.makeFile(u'c', kSourceName, content);
        const QList<Range> bad{{kLargePiece + 7 * kBlock, kLargePiece + 40 * kBlock}, {4 * kLargePiece + 3, 4 * kLargePiece + 4}};
        if (besideAnother) {
            f.drives.makeFile(u'd', QStringLiteral("out.bin.part"), "another source's");
            f.drives.makeFile(u'd', QStringLiteral("out.bin.part.map"), "0x00000000 + 1\n0x00000000 0x00000010 -\n");
        }
        const QString map = f.drives.host(u'd', byDdrescue ? QStringLiteral("rescue.log") : copy + QStringLiteral(".map"));
        qint64 secondFinished = 0; // the finished blocks the second save listed
        {
            BadMedium medium(f.drives.host(u'c'), {.bad = bad, .badDelayMs = 50});
            if (!medium.mounted())
                QSKIP(qPrintable(medium.whyNot()));
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DUPLON_RESCUE_MEDIUM"), medium.path());
            env.insert(QStringLiteral("DUPLON_RETRY_DEST"), f.drives.host(u'd'));
            env.insert(QStringLiteral("DUPLON_SAVE_EVERY_MS"), QString::number(saveEveryMs));
            child.setProcessEnvironment(env);
            if (byDdrescue) // the first 3 MiB only: the rest is left not yet tried
                child.start(QStringLiteral("ddrescue"), {QStringLiteral("-qb4096"), QStringLiteral("-s3Mi"),
                                                         medium.path() + u'/' + kSourceName, f.drives.host(u'd', copy), map});
            else
                child.start(QCoreApplication::applicationFilePath(), {});
            if (!byDdrescue) {
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(map), 20000);
                // Each save puts a new file in the map's place: a kill after the
                // second finds at least what it lists, more than the first did.
                const auto saved = [&] {
                    struct stat st {};
                    return ::stat(QFile::encodeName(map).constData(), &st) == 0 ? st.st_ino : ino_t(0);
                };
                const auto first = saved();
                const qint64 firstFinished = listedBlocks(map, '+').size();
                if (saveEveryMs > 0) {
                    QTRY_VERIFY_WITH_TIMEOUT(saved() != first && saved() != 0, 5000);
                    secondFinished = listedBlocks(map, '+').size();
                    QVERIFY2(secondFinished > firstFinished, qPrintable(QStringLiteral("%1 %2").arg(firstFinished).arg(secondFinished)));
                } else {
                    QTest::qWait(200);
                }
                ::kill(pid_t(child.processId()), SIGKILL);
            }
            QVERIFY(child.waitForFinished(30000));
        }
        const QList<qint64> kept = listedBlocks(map, '+');
        // Killed early in its copying passes, or (saved twice) in any of its passes.
        QVERIFY(!kept.isEmpty() && kept.first() >= 0 && (saveEveryMs > 0 || !listedBlocks(map, '?').isEmpty()));
        QVERIFY(kept.size() >= secondFinished);
        const QByteArray copyBytes = f.drives.read(u'd', copy);
        for (qint64 b : kept)
            QVERIFY2(copyBytes.mid(b * kBlock, kBlock) == content.mid(b * kBlock, kBlock), qPrintable(QString::number(b)));

        BadMedium medium(f.drives.host(u'c'), {.bad = bad});
        QVERIFY(prepareRescue(f, medium));
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        QVERIFY(f.dialogs.shown[0].prompt.startsWith(byDdrescue ? QStringLiteral("An earlier copy of 'out.bin' is there: ")
                                                                : QStringLiteral("An unfinished copy of 'out.bin' is kept as '%1': ").arg(copy)));
        const QList<qint64> badBlocks = blocksTouched(bad, size);
        QByteArray expected = content;
        for (qint64 b : badBlocks)
            expected.replace(b * kBlock, kBlock, QByteArray(kBlock, '\0'));
        const QString mapNow = byDdrescue ? QStringLiteral("rescue.log") : QStringLiteral("out.bin.map");
        QCOMPARE(f.dialogs.messages().mid(1), QStringList{rescueMessage(badBlocks.size() * kBlock, QStringLiteral("D:\\") + mapNow)});
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected.left(size));
        QCOMPARE(listedBlocks(f.drives.host(u'd', mapNow), '-'), badBlocks);
        QVERIFY(byDdrescue || (!QFile::exists(map) && !f.drives.exists(u'd', copy)));
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.part.map")), besideAnother); // another copy's stays
        QVERIFY(!byDdrescue || f.drives.read(u'd', mapNow).contains("ddrescue -qb4096 -s3Mi "));
        const BadMedium::Stats stats = medium.stats(kSourceName);
        int finishedReads = 0;
        for (qint64 b : kept)
            finishedReads += stats.blockReads.value(b);
        QVERIFY2(finishedReads <= kSampleBlocks, qPrintable(QString::number(finishedReads)));
        for (qint64 b : badBlocks)
            QVERIFY2(stats.blockReads.value(b) <= 2, qPrintable(QString::number(b)));
    }

    // A rescued copy of a read-only source is read-only too: kept at a Stop and gone on with by its owner, who is not
    // root, its mode kept.
    void aReadOnlyRescueIsGoneOnWithByItsOwner()
    {
        const passwd *nobody = getpwnam("nobody");
        if (!isRoot() || !nobody)
            QSKIP("only root can run the copy as another user, and this needs the user 'nobody'");
        TestDrives drives;
        const QByteArray content = patternBytes(3 * kLargePiece, 92);
        drives.makeFile(u'c', kSourceName, content);
        ::chmod(QFile::encodeName(drives.host(u'c', kSourceName)).constData(), 0444);
        for (const QString &folder : {drives.host(u'c'), drives.host(u'c') + QStringLiteral("/.."), drives.host(u'd')})
            ::chmod(QFile::encodeName(folder).constData(), 0755);
        QVERIFY(::chown(QFile::encodeName(drives.host(u'd')).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        const auto copyAsNobody = [&](qint64 faultAt) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DUPLON_RESCUE_MEDIUM"), drives.host(u'c'));
            env.insert(QStringLiteral("DUPLON_RETRY_DEST"), drives.host(u'd'));
            env.insert(QStringLiteral("DUPLON_AS_USER"), QString::number(nobody->pw_uid));
            env.insert(QStringLiteral("DUPLON_FAULT_AT"), QString::number(faultAt));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {});
            return child.waitForFinished(60000) ? child.exitCode() : -1;
        };
        QCOMPARE(copyAsNobody(kLargePiece + 5 * kBlock), int(CopyEnd::Stopped));
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(drives.host(u'd', QStringLiteral("out.bin.part"))).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0444));
        QCOMPARE(copyAsNobody(0), int(CopyEnd::Completed));
        QVERIFY(drives.read(u'd', QStringLiteral("out.bin")) == content);
        QVERIFY(::stat(QFile::encodeName(drives.host(u'd', QStringLiteral("out.bin"))).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0444));
        QCOMPARE(st.st_uid, nobody->pw_uid);
        QVERIFY(!drives.exists(u'd', QStringLiteral("out.bin.part.map")));
    }

    // ---- holes and devices ---------------------------------------------------------

    void holesStayHoles()
    {
        constexpr qint64 size = 2 * 1024 * kLargePiece;
        FormFixture f;
        struct statvfs fs {};
        QCOMPARE(::statvfs(QFile::encodeName(f.drives.host(u'd')).constData(), &fs), 0);
        if (qint64(fs.f_bavail) * qint64(fs.f_frsize) < size + 512 * kLargePiece)
            QSKIP("less than 2.5 GiB free next to the temporary files, which a copy that fills the holes would need");
        const QString sourceHost = f.drives.host(u'c', kSourceName);
        {
            const int fd = ::open(QFile::encodeName(sourceHost).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::ftruncate(fd, size), 0);
            // Data at the start, off any block boundary in the middle, and at the end.
            const struct {
                qint64 offset;
                qint64 bytes;
            } data[] = {{0, kLargePiece}, {1024 * kLargePiece + 100, 2 * kLargePiece}, {size - kLargePiece / 2, kLargePiece / 2}};
            for (const auto &d : data) {
                const QByteArray bytes = patternBytes(d.bytes, quint32(d.offset));
                QCOMPARE(::pwrite(fd, bytes.constData(), size_t(bytes.size()), d.offset), ssize_t(bytes.size()));
            }
            QCOMPARE(::close(fd), 0);
        }
        f.start();
        aimCopy(f, kSourceName);
        CopyWatch watch(f.c());

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        const QString destHost = f.drives.host(u'd', QStringLiteral("out.bin"));
        QCOMPARE(QFileInfo(destHost).size(), size);
        QCOMPARE(QProcess::execute(QStringLiteral("cmp"), {QStringLiteral("-s"), sourceHost, destHost}), 0);
        const qint64 sourceAllocated = allocatedBytes(sourceHost);
        const qint64 destAllocated = allocatedBytes(destHost);
        QVERIFY2(destAllocated <= sourceAllocated + 4 * kLargePiece,
                 qPrintable(QStringLiteral("the copy takes %1 bytes on disk, the source %2")
                                .arg(destAllocated).arg(sourceAllocated)));
        // The bar and captions move over the holes as over any other bytes.
        QCOMPARE(f.c().KorBar->barValue(), 100);
        QCOMPARE(f.c().lblCopied->caption(), QStringLiteral("2048 MB"));
        QFile::remove(destHost);
    }

    void deviceAsDestinationIsRefused_data()
    {
        QTest::addColumn<bool>("block"); // a loop device over a file of the test's own, else the null device
        QTest::newRow("character device") << false;
        QTest::newRow("block device") << true;
    }
    void deviceAsDestinationIsRefused()
    {
        QFETCH(bool, block);
        if (!isRoot())
            QSKIP("only root can make device nodes");
        FormFixture f;
        const QByteArray backing = patternBytes(kLargePiece, 64);
        QString loop;
        struct DetachLoop {
            QString &device;
            ~DetachLoop()
            {
                if (!device.isEmpty())
                    QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
            }
        } detach{loop};
        dev_t rdev = makedev(1, 3);
        if (block) {
            const QString backingHost = f.drives.host(u'c', QStringLiteral("backing.img"));
            f.drives.makeFile(u'c', QStringLiteral("backing.img"), backing);
            QProcess setup;
            setup.start(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), backingHost});
            if (!setup.waitForFinished(30000) || setup.exitCode() != 0)
                QSKIP(qPrintable(QStringLiteral("no loop device here: %1")
                                     .arg(QString::fromLocal8Bit(setup.readAllStandardError()).trimmed())));
            loop = QString::fromLocal8Bit(setup.readAllStandardOutput()).trimmed();
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(loop).constData(), &st), 0);
            rdev = st.st_rdev;
        }
        const mode_t type = block ? S_IFBLK : S_IFCHR;
        const QByteArray node = QFile::encodeName(f.drives.host(u'd', QStringLiteral("out.bin")));
        QCOMPARE(::mknod(node.constData(), type | 0666, rdev), 0);
        QVERIFY(prepareCopy(f, patternBytes(5000, 65)));
        f.dialogs.answers = {rt::AnswerYes, rt::AnswerYes}; // replace, were it asked
        CopyWatch watch(f.c());
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        const QString text = f.dialogs.messages().value(f.dialogs.messages().size() - 1);
        QVERIFY2(text.contains(QStringLiteral("D:\\out.bin")), qPrintable(text));
        QCOMPARE(f.dialogs.shown.last().style, 16);
        QCOMPARE(f.dialogs.shown.last().title, std::optional<QString>(kTalmo));
        QVERIFY(!f.dialogs.messages().contains(kCompleted));
        QVERIFY(watch.reads.isEmpty());
        struct stat after {};
        QCOMPARE(::lstat(node.constData(), &after), 0);
        QCOMPARE(after.st_mode & S_IFMT, type);
        QCOMPARE(after.st_rdev, rdev);
        if (block)
            QVERIFY(f.drives.read(u'c', QStringLiteral("backing.img")) == backing);
        QVERIFY(f.readyToCopy());
    }
};

QTEST_MAIN(TestRescue)
#include "tst_rescue.moc"
