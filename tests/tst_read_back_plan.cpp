#include "copy/job/ReadBackWords.h"
#include "runtime/files/ReadBack.h"
#include "runtime/files/ReadBackPlan.h"

#include <QSet>
#include <QTest>

#include <algorithm>

using namespace rt;

namespace {

constexpr qint64 M = 1048576;

} // namespace

// The read-back's decisions, from gathered facts: how a medium is read back,
// which bytes are sampled and when, what the sweep reads again, the words.
class TestReadBackPlan : public QObject {
    Q_OBJECT
private slots:
    void howTheMediumIsReadBack_data()
    {
        QTest::addColumn<qint64>("fsType");
        QTest::addColumn<bool>("directOpens");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<bool>("dropsCache");
        QTest::addColumn<int>("way");
        QTest::addColumn<int>("why");
        const int direct = int(ReadBackWay::Direct), drop = int(ReadBackWay::DropCache), none = int(ReadBackWay::None);
        const int checked = int(NoReadBack::Checked), memory = int(NoReadBack::Memory),
                  beyond = int(NoReadBack::CachedBeyond), refused = int(NoReadBack::Refused);
        QTest::newRow("ext4, direct") << qint64(0xef53) << true << true << true << direct << checked;
        QTest::newRow("xfs, direct but nothing else") << qint64(0x58465342) << true << false << false << direct << checked;
        QTest::newRow("no direct: the cache dropped") << qint64(0xef53) << false << true << true << drop << checked;
        QTest::newRow("no direct, no drop") << qint64(0xef53) << false << true << false << none << refused;
        QTest::newRow("no direct, unreadable") << qint64(0xef53) << false << false << true << none << refused;
        QTest::newRow("tmpfs") << qint64(0x01021994) << true << true << true << none << memory;
        QTest::newRow("ramfs") << qint64(0x858458f6) << false << true << true << none << memory;
        QTest::newRow("FUSE, even with direct access") << qint64(0x65735546) << true << true << true << none << beyond;
        QTest::newRow("NFS") << qint64(0x6969) << true << true << true << none << beyond;
        QTest::newRow("CIFS") << qint64(0xff534d42) << true << true << true << none << beyond;
        QTest::newRow("SMB2") << qint64(0xfe534d42) << false << true << true << none << beyond;
    }
    void howTheMediumIsReadBack()
    {
        QFETCH(qint64, fsType);
        QFETCH(bool, directOpens);
        QFETCH(bool, readable);
        QFETCH(bool, dropsCache);
        const ReadBackChoice choice = readBackChoice({fsType, directOpens, readable, dropsCache});
        QTEST(int(choice.way), "way");
        QTEST(int(choice.why), "why");
    }

    void whatIsSampled_data()
    {
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<qint64>("unit");
        QTest::addColumn<bool>("wholePiece");
        QTest::newRow("a piece of 1 MiB") << 0LL << M << 4096LL << false;
        QTest::newRow("a piece further on") << 37 * M << M << 4096LL << false;
        QTest::newRow("an unaligned piece") << 5000LL << M << 4096LL << false;
        QTest::newRow("a larger unit") << 3 * M << M << 65536LL << false;
        QTest::newRow("a tail of 1024 bytes") << 7 * M + 1024 << 1024LL << 4096LL << true;
        QTest::newRow("less than a block across a boundary") << 4000LL << 200LL << 4096LL << true;
        QTest::newRow("exactly one aligned block") << 8192LL << 4096LL << 4096LL << false;
    }
    void whatIsSampled()
    {
        QFETCH(qint64, offset);
        QFETCH(qint64, count);
        QFETCH(qint64, unit);
        QFETCH(bool, wholePiece);
        const ReadBackSpan s = sampleOf(offset, count, unit);
        QVERIFY(s.from >= offset && s.to <= offset + count && s.to > s.from);
        if (wholePiece) {
            QCOMPARE(s, (ReadBackSpan{offset, offset + std::min(count, unit)}));
        } else {
            QCOMPARE(s.from % unit, 0);
            QCOMPARE(s.to - s.from, unit);
        }
    }
    void samplesMoveWithinThePieces()
    {
        // A medium that stores only some of each region must not pass because
        // every sample sits at the same place of its piece.
        QSet<qint64> places;
        for (qint64 piece = 0; piece < 64; ++piece)
            places.insert(sampleOf(piece * M, M, 4096).from - piece * M);
        QVERIFY2(places.size() > 32, qPrintable(QString::number(places.size())));
    }

    void whenSamplesAreTakenAndRead_data()
    {
        QTest::addColumn<qint64>("sinceSample");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<bool>("takes");
        QTest::newRow("a whole piece") << 0LL << M << true;
        QTest::newRow("a small piece, a sample just taken") << 0LL << 1024LL << false;
        QTest::newRow("the small piece that makes a MiB") << M - 1024 << 1024LL << true;
        QTest::newRow("nothing written") << M << 0LL << false;
    }
    void whenSamplesAreTakenAndRead()
    {
        QFETCH(qint64, sinceSample);
        QFETCH(qint64, count);
        QTEST(takesSample(sinceSample, count, M), "takes");
        // Read back once the lag has been written after it, not before.
        QVERIFY(!sampleDue(10 * M, 10 * M + ReadBack::kLag - 1, ReadBack::kLag));
        QVERIFY(sampleDue(10 * M, 10 * M + ReadBack::kLag, ReadBack::kLag));
    }

    void theSweepSpreadsOverTheFile_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("most");
        QTest::newRow("none") << 0 << 64;
        QTest::newRow("fewer than the most") << 5 << 64;
        QTest::newRow("as many") << 64 << 64;
        QTest::newRow("a large file") << 4000 << 64;
        QTest::newRow("one more than the most") << 65 << 64;
    }
    void theSweepSpreadsOverTheFile()
    {
        QFETCH(int, count);
        QFETCH(int, most);
        const std::vector<std::size_t> picks = sweepPicks(std::size_t(count), std::size_t(most));
        QCOMPARE(int(picks.size()), std::min(count, most));
        if (count == 0)
            return;
        QCOMPARE(picks.front(), std::size_t(0));
        QCOMPARE(picks.back(), std::size_t(count - 1));
        const std::size_t widest = (std::size_t(count) + std::size_t(most) - 2) / std::size_t(most - 1) + 1;
        for (std::size_t i = 1; i < picks.size(); ++i)
            QVERIFY(picks[i] > picks[i - 1] && picks[i] - picks[i - 1] <= widest);
    }
};

QTEST_GUILESS_MAIN(TestReadBackPlan)
#include "tst_read_back_plan.moc"
