#include "copy/job/WritingPlan.h"
#include "copy/job/CopyJob.h"
#include "copy/rescue/KeptRescue.h"
#include "copy/rescue/MapFinder.h"
#include "copy/rescue/SourceReads.h"
#include "runtime/files/Destination.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"
#include "runtime/files/Transfer.h"
#include "support/TestKit.h"
#include "support/ScriptedDialogs.h"
#include "support/TestDrives.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <new>
#include <numeric>
#include <thread>

#include <cerrno>

using Status = RescueMap::Status;
using Areas = QList<std::tuple<qint64, qint64, char>>;

using namespace testkit;

namespace {

Areas areasOf(const RescueMap &map)
{
    Areas out;
    for (const RescueMap::Area &a : map.areas())
        out.append({a.pos, a.size, char(a.status)});
    return out;
}

// Shows nothing and never stops.
struct Recorder : CopyProgress {
    void showProgress(int, qint64, qint64) override {}
    bool yieldAndGoOn() override { return true; }
    bool goingOn() const override { return true; }
};

// The areas of a written map, and its status line's position and status.
Areas mapAreas(const QByteArray &mapfile, QByteArray *statusLine)
{
    Areas out;
    bool status = true;
    for (const QByteArray &line : mapfile.split('\n')) {
        if (line.startsWith('#') || line.isEmpty())
            continue;
        const QList<QByteArray> f = line.simplified().split(' ');
        if (std::exchange(status, false))
            *statusLine = f.value(0) + ' ' + f.value(1);
        else
            out.append({f.value(0).toLongLong(nullptr, 16), f.value(1).toLongLong(nullptr, 16), f.value(2).at(0)});
    }
    return out;
}

using Reads = QList<std::pair<qint64, qint64>>; // (offset, count) of each read, in order
constexpr qint64 M = 1048576, B = 4096;

// 1 MiB pieces: at each MiB listed, or at each from one MiB up to another.
Reads at(std::initializer_list<qint64> mib) { Reads r; for (qint64 m : mib) r.append({m * M, M}); return r; }
Reads pieces(qint64 from, qint64 to) { Reads r; for (qint64 m = from; m < to; ++m) r.append({m * M, M}); return r; }

// A medium in memory whose blocks touching the bad ranges fail: a read
// delivers the whole blocks before the first bad one it reaches, then fails.
struct SimulatedMedium : SourceReads {
    SimulatedMedium(qint64 size, Reads bad) : size(size), bad(std::move(bad)) {}
    qint64 size;
    Reads bad, reads; // bad: [begin, end) byte ranges
    QHash<qint64, int> failures; // block -> failed reads that stopped at it
    qsizetype firstFailure = -1;   // the index in reads of the first failed read
    QList<qsizetype> atTheDevice; // the reads made before each call of readAtTheDevice
    void readAtTheDevice() override { atTheDevice.append(reads.size()); }
    qint64 length() const override { return size; }
    qint64 blockSize() const override { return B; }
    bool gone() const override { return false; }
    rt::PieceResult read(qint64 offset, qint64 count, char *) override { return copy(offset, count, -1); }
    rt::PieceResult copy(qint64 offset, qint64 count, int) override
    {
        reads.append({offset, count});
        qint64 end = std::min(offset + count, size), firstBad = end;
        for (const auto &[begin, stop] : bad)
            if (begin < end && stop > offset)
                firstBad = std::min(firstBad, std::max(begin, offset) / B * B);
        if (firstBad == end)
            return {std::max<qint64>(0, end - offset), rt::PieceResult::Failure::None, 0};
        ++failures[firstBad / B];
        if (firstFailure < 0)
            firstFailure = reads.size() - 1;
        return {std::max(firstBad, offset) - offset, rt::PieceResult::Failure::Read, EIO};
    }
};

} // namespace

class TestEngine : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // Trimming reads from each edge of a failed region up to its first
    // failing block, and scraping reads what lies between; a block that ends
    // short without an error (the source shrank meanwhile) is given up.
    void blockPasses_data()
    {
        QTest::addColumn<bool>("shrinks");
        QTest::newRow("trimming stops at a failing block") << false;
        QTest::newRow("a block that ends short is given up") << true;
    }
    void blockPasses()
    {
        QFETCH(bool, shrinks);
        constexpr qint64 M = 1048576, B = 4096, size = 3 * M;
        const qint64 bad1 = M + 2 * B, bad2 = M + 5 * B;
        TestDrives drives;
        drives.makeFile(u'c', QStringLiteral("src.bin"), patternBytes(size, 7));
        QList<std::pair<qint64, qint64>> reads;
        rt::setReadFaultHook([&](qint64 offset, qint64 count) -> int {
            reads.append({offset, count});
            if (shrinks && reads.size() == 4) // the first trimming read
                QFile::resize(drives.host(u'c', QStringLiteral("src.bin")), M + B / 2);
            const bool hitsBad = (offset < bad1 + B && offset + count > bad1) || (offset < bad2 + B && offset + count > bad2);
            return hitsBad ? EIO : 0;
        });
        Recorder progress;
        ScriptedDialogs dialogs;
        CopyJob job({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")},
                    progress, dialogs);
        QCOMPARE(int(job.run()), int(CopyJob::End::Completed));

        // The first pass leaps from the failed piece to the end; the second reads what it leapt over.
        QList<std::pair<qint64, qint64>> expected{{0, M}, {M, M}, {2 * M, M}};
        QByteArray statusLine;
        const Areas areas = mapAreas(drives.read(u'd', QStringLiteral("out.bin.map")), &statusLine);
        if (shrinks) {
            // Half of the first block arrived; everything after it is gone.
            expected += {{M, B}, {2 * M - B, B}};
            for (qint64 at = M + B; at < 2 * M - B; at += B)
                expected.append({at, B});
            QCOMPARE(reads, expected);
            QCOMPARE(areas, (Areas{{0, M + B / 2, '+'}, {M + B / 2, M - B / 2, '-'}, {2 * M, M, '+'}}));
            return;
        }
        for (qint64 at = M; at <= bad1; at += B)
            expected.append({at, B});
        for (qint64 at = 2 * M - B; at >= bad2; at -= B)
            expected.append({at, B});
        for (qint64 at = bad1 + B; at < bad2; at += B)
            expected.append({at, B});
        QCOMPARE(reads, expected);
        QCOMPARE(areas, (Areas{{0, bad1, '+'}, {bad1, B, '-'}, {bad1 + B, bad2 - bad1 - B, '+'}, {bad2, B, '-'}, {bad2 + B, size - bad2 - B, '+'}}));
    }

    // The copying phase leaps a step past a failed piece, the step doubling with each failure since the last good
    // read up to 1/64 of the source, in passes forward and backward; each bad block is tried twice at most.
    void copyingLeapsOverDamage_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<Reads>("bad");
        QTest::addColumn<Reads>("copying"); // the reads before the trimming's first
        QTest::newRow("a zone in the middle") << 16 * M << Reads{{4 * M, 8 * M}}
                                              << pieces(0, 4) + at({4, 6}) + pieces(8, 16) + Reads{{16 * M, 1024}} + at({7, 5});
        QTest::newRow("a large zone: the step doubles up to 1/64")
            << 128 * M << Reads{{8 * M, 20 * M}}
            << pieces(0, 8) + at({8, 10, 13, 16, 19}) + pieces(22, 128) + Reads{{128 * M, 1024}}
                   + at({21, 20, 18, 15, 12, 9}) + at({11, 14, 17});
        QTest::newRow("a zone at the start")
            << 16 * M << Reads{{0, 3 * M}} << at({0, 2}) + pieces(4, 16) + Reads{{16 * M, 1024}} + at({3, 1});
        QTest::newRow("a zone at the end") << 16 * M << Reads{{13 * M, 16 * M}} << pieces(0, 13) + at({13, 15, 14});
        QTest::newRow("a zone that begins in a piece")
            << 8 * M << Reads{{2 * M + M / 2, 3 * M}} << pieces(0, 3) + pieces(4, 8) + Reads{{8 * M, 1024}} + at({3});
        QTest::newRow("scattered blocks")
            << 8 * M << Reads{{M + 3 * B, M + 4 * B}, {5 * M + 25 * B, 5 * M + 26 * B}, {5 * M + 175 * B, 5 * M + 176 * B}}
            << pieces(0, 2) + pieces(3, 6) + pieces(7, 8) + Reads{{8 * M, 1024}} + at({6, 2});
    }
    void copyingLeapsOverDamage()
    {
        QFETCH(qint64, size);
        QFETCH(Reads, bad);
        QFETCH(Reads, copying);
        TestDrives drives;
        SimulatedMedium medium(size, bad);
        rt::Destination dest = prepareDestination(QStringLiteral("D:\\out.bin"), 0644);
        Recorder progress;
        rt::IoWorker io;
        CopyEngine engine(medium, dest, progress, io);
        QCOMPARE(int(engine.run().end), int(CopyEngine::Outcome::End::Completed));
        QCOMPARE(medium.reads.mid(0, copying.size()), copying);
        QVERIFY(std::all_of(medium.reads.begin() + copying.size(), medium.reads.end(), [](auto r) { return r.second <= B; }));
        // Exactly the bad blocks are given up, each after two tries at most.
        QCOMPARE(engine.map().bytes(Status::Bad),
                 std::accumulate(bad.begin(), bad.end(), qint64(0), [](qint64 n, auto r) { return n + (r.second - r.first + B - 1) / B * B; }));
        QVERIFY(std::all_of(medium.failures.begin(), medium.failures.end(), [](int n) { return n <= 2; }));
        // Reads go to the device as asked from the first failure on, and not before.
        QCOMPARE(medium.atTheDevice, QList<qsizetype>{medium.firstFailure + 1});

        // Going on from the map: at the device from the first read.
        RescueMap unfinished = engine.map();
        unfinished.set(bad.first().first, bad.first().second - bad.first().first, Status::NonTrimmed);
        SimulatedMedium again(size, bad);
        rt::Destination dest2 = prepareDestination(QStringLiteral("D:\again.bin"), 0644);
        CopyEngine goingOn(again, dest2, progress, io);
        goingOn.goOnFrom(unfinished);
        QCOMPARE(int(goingOn.run().end), int(CopyEngine::Outcome::End::Completed));
        QCOMPARE(again.atTheDevice, QList<qsizetype>{0});
        QCOMPARE(goingOn.map().bytes(Status::Bad), engine.map().bytes(Status::Bad));
    }

    // Running out of memory mid-copy ends the copy as failed, with nothing of
    // it left behind, and never reaches the caller.
    void anExceptionEndsTheCopyAsFailed()
    {
        TestDrives drives;
        drives.makeFile(u'c', QStringLiteral("src.bin"), patternBytes(3 * 1048576, 6));
        rt::setReadFaultHook([](qint64 offset, qint64) -> int {
            if (offset >= 1048576)
                throw std::bad_alloc();
            return 0;
        });
        Recorder progress;
        ScriptedDialogs dialogs;
        CopyJob job({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")},
                    progress, dialogs);
        QCOMPARE(int(job.run()), int(CopyJob::End::Failed));
        QCOMPARE(dialogs.messages(), QStringList{QStringLiteral("The destination file D:\\out.bin could not be written.\r\n")
                                                 + rt::reasonFromErrno(ENOMEM)});
        QCOMPARE(QDir(drives.host(u'd')).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }

    // Once the program quits, every event loop returns at once: a wait on the
    // worker must then sleep, not spin.
    void waitAfterQuitTakesNoProcessorTime()
    {
        rt::IoWorker io;
        double busy = -1;
        QTimer::singleShot(0, [&] {
            QCoreApplication::exit(0);
            timespec from{}, to{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &from);
            io.run([] { std::this_thread::sleep_for(std::chrono::milliseconds(1000)); });
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &to);
            busy = double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) / 1e9;
        });
        QCoreApplication::exec(); // also clears the quit for the tests after this one
        QVERIFY2(busy >= 0 && busy < 0.2, qPrintable(QStringLiteral("%1 s of processor time").arg(busy)));
    }

    // The map is the rescue's one record of what is where: every change must
    // keep it sorted, gapless and merged.
    void mapKeepsAreasInOrder_data()
    {
        QTest::addColumn<Areas>("steps"); // each (pos, size, status) applied in turn
        QTest::addColumn<Areas>("areas");

        QTest::newRow("grows from nothing") << Areas{{0, 100, '+'}} << Areas{{0, 100, '+'}};
        QTest::newRow("a gap is non-tried") << Areas{{0, 10, '+'}, {20, 10, '+'}}
                                            << Areas{{0, 10, '+'}, {10, 10, '?'}, {20, 10, '+'}};
        QTest::newRow("equal neighbours merge") << Areas{{0, 10, '+'}, {10, 10, '+'}} << Areas{{0, 20, '+'}};
        QTest::newRow("a split in the middle") << Areas{{0, 100, '*'}, {40, 10, '-'}}
                                               << Areas{{0, 40, '*'}, {40, 10, '-'}, {50, 50, '*'}};
        QTest::newRow("across several areas")
            << Areas{{0, 10, '+'}, {10, 10, '*'}, {20, 10, '+'}, {30, 10, '*'}, {5, 30, '/'}}
            << Areas{{0, 5, '+'}, {5, 30, '/'}, {35, 5, '*'}};
        QTest::newRow("filling a hole joins both sides")
            << Areas{{0, 10, '+'}, {10, 10, '*'}, {20, 10, '+'}, {10, 10, '+'}} << Areas{{0, 30, '+'}};
        QTest::newRow("the edges of an area") << Areas{{0, 30, '*'}, {0, 5, '+'}, {25, 5, '-'}}
                                              << Areas{{0, 5, '+'}, {5, 20, '*'}, {25, 5, '-'}};
    }
    void mapKeepsAreasInOrder()
    {
        QFETCH(Areas, steps);
        QFETCH(Areas, areas);
        RescueMap map;
        for (const auto &[pos, size, status] : steps)
            map.set(pos, size, Status(status));
        QCOMPARE(areasOf(map), areas);
    }

    // A read that fails part-way through a piece, as the kernel reports it
    // (the bytes before the bad spot arrive, then the error), in the kernel's
    // own copy and through the buffer.
    void partialReadsKeepWhatArrived_data()
    {
        QTest::addColumn<qint64>("badFrom");
        QTest::addColumn<qint64>("badTo");
        QTest::addColumn<QString>("name");
        const QString plain = QStringLiteral("out.bin");
        QTest::newRow("inside the second piece") << qint64(1048576 + 300000) << qint64(1048576 + 300001) << plain;
        QTest::newRow("two blocks at a piece's end") << qint64(2 * 1048576 - 8000) << qint64(2 * 1048576) << plain;
        QTest::newRow("the last bytes") << qint64(3000000 - 10) << qint64(3000000) << plain;
        // The map's comment lines name the files: still one line each.
        QTest::newRow("a name holding a newline") << qint64(4096) << qint64(8192) << QStringLiteral("two\nlines.bin");
    }
    void partialReadsKeepWhatArrived()
    {
        QFETCH(qint64, badFrom);
        QFETCH(qint64, badTo);
        QFETCH(QString, name);
        constexpr qint64 size = 3000000, block = 4096;
        TestDrives drives;
        const QByteArray content = patternBytes(size, 5);
        drives.makeFile(u'c', QStringLiteral("src.bin"), content);

        // Reads stop short of the first bad block and fail on it.
        const qint64 blockFrom = badFrom / block * block;
        const qint64 blockTo = std::min(size, (badTo + block - 1) / block * block);
        rt::setReadableHook([=](qint64 offset, qint64 count) -> qint64 {
            if (offset + count <= blockFrom || offset >= blockTo)
                return count;
            return std::max<qint64>(0, blockFrom - offset);
        });

        Recorder progress;
        ScriptedDialogs dialogs;
        CopyJob job({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\") + name, name}, progress, dialogs);
        QCOMPARE(int(job.run()), int(CopyJob::End::Completed));

        QCOMPARE(dialogs.messages().size(), qsizetype(1));
        QVERIFY2(dialogs.messages()[0].contains(QStringLiteral("\r\n%1 bytes could not be read").arg(blockTo - blockFrom)),
                 qPrintable(dialogs.messages()[0]));
        QByteArray statusLine;
        QCOMPARE(mapAreas(drives.read(u'd', name + QStringLiteral(".map")), &statusLine),
                 (Areas{{0, blockFrom, '+'}, {blockFrom, blockTo - blockFrom, '-'}, {blockTo, size - blockTo, '+'}}
                      .mid(0, blockTo == size ? 2 : 3)));
        // ddrescue's own reading of a finished rescue: at the end, all passes done.
        QCOMPARE(statusLine, "0x" + QByteArray::number(size, 16).toUpper().rightJustified(8, '0') + " +");
        QByteArray expected = content;
        expected.replace(blockFrom, blockTo - blockFrom, QByteArray(blockTo - blockFrom, '\0'));
        QVERIFY(drives.read(u'd', name) == expected);
        // And ddrescue reads the map back.
        const QString ddrescuelog = QStandardPaths::findExecutable(QStringLiteral("ddrescuelog"));
        if (ddrescuelog.isEmpty())
            QSKIP("ddrescuelog (gddrescue) is not installed, so the map was not read back");
        QProcess list;
        list.start(ddrescuelog, {QStringLiteral("-b4096"), QStringLiteral("-l-"), drives.host(u'd', name + QStringLiteral(".map"))});
        QVERIFY(list.waitForFinished(30000));
        QVERIFY2(list.exitCode() == 0, list.readAllStandardError().constData());
        QCOMPARE(list.readAllStandardOutput().trimmed().split('\n').first().toLongLong(), blockFrom / block);
    }

    // Which map beside a copy is offered for going on: only the newest, only
    // one that reads as a map, fits the source's length, has areas left, and
    // whose finished blocks hold the source's bytes in the copy.
    // A kept rescue is given its name at its first failed read, and each save of its map comes only after the copy
    // is on the medium (the retry saves the same way), so no map calls finished what may not be there.
    void keptMapSavedAfterTheCopyIsFlushed()
    {
        TestDrives drives;
        QStringList log;
        struct LoggedMedium : SimulatedMedium {
            using SimulatedMedium::SimulatedMedium;
            QStringList *log = nullptr;
            rt::PieceResult copy(qint64 o, qint64 n, int fd) override { log->append("read"); return SimulatedMedium::copy(o, n, fd); }
        } medium(3 * M, {{M + 5 * B, M + 6 * B}});
        medium.log = &log;
        struct Kept : KeptRescue {
            QStringList *log = nullptr;
            bool isKept = false;
            bool kept() const override { return isKept; }
            void keep() override { isKept = true, log->append("keep"); }
            void flushCopy() override { log->append("flush"); }
            void replaceMap(const QByteArray &) override { log->append("map"); }
        } kept;
        kept.log = &log;
        rt::Destination dest = prepareDestination(QStringLiteral("D:\\out.bin"), 0644);
        Recorder progress;
        rt::IoWorker io;
        CopyEngine engine(medium, dest, progress, io);
        engine.keepIn(kept, "test");
        engine.setSaveInterval(std::chrono::milliseconds(0));
        QCOMPARE(int(engine.run().end), int(CopyEngine::Outcome::End::Completed));
        QCOMPARE(log.mid(0, 6), (QStringList{"read", "read", "flush", "keep", "map", "read"})); // named once its data is on the medium
        for (qsizetype i = log.indexOf("map"); i >= 0; i = log.indexOf("map", i + 1))
            QCOMPARE(log.at(i - (i == log.indexOf("map") ? 2 : 1)), QStringLiteral("flush"));
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
