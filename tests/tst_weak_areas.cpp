#include "copy/rescue/SlowReads.h"
#include "copy/rescue/WeakAreas.h"

#include <QTest>

#include <optional>
#include <vector>

using namespace slowreads;
using namespace std::chrono_literals;

namespace {

constexpr qint64 M = 1048576;
constexpr qint64 K = 1024;

using Known = QList<qint64>; // milliseconds per 1 MiB piece

std::vector<PieceTime> pieces(const Known &ms)
{
    std::vector<PieceTime> out;
    for (qint64 t : ms)
        out.push_back({M, std::chrono::milliseconds(t)});
    return out;
}

} // namespace

class TestWeakAreas : public QObject {
    Q_OBJECT
private slots:
    // When a read counts as slow: far below the copy's own pace so far, and
    // slow in itself; never on a medium that is slow everywhere or merely uneven.
    void slowReadRule_data()
    {
        QTest::addColumn<Known>("known");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("tookMs");
        QTest::addColumn<bool>("probe");
        QTest::addColumn<bool>("slow");

        const Known disk{10, 10, 11, 9, 10, 12};
        QTest::newRow("a weak area on a fast disk") << disk << M << qint64(8000) << false << true;
        QTest::newRow("just a second") << disk << M << qint64(1000) << false << true;
        QTest::newRow("under a second") << disk << M << qint64(990) << false << false;
        QTest::newRow("a half-piece at the pace of a weak area") << disk << M / 2 << qint64(4000) << false << true;
        QTest::newRow("no pace known yet (a copy that starts in it)") << Known{} << M << qint64(8000) << false << false;
        QTest::newRow("three pieces are not yet a pace") << Known{10, 10, 10} << M << qint64(8000) << false << false;
        QTest::newRow("four are") << Known{10, 10, 10, 10} << M << qint64(8000) << false << true;
        // A medium slow everywhere sets its own pace.
        QTest::newRow("a 20 MB/s stick") << Known{52, 50, 49, 55, 51} << M << qint64(60) << false << false;
        QTest::newRow("a share at 1 MB/s") << Known{1000, 1050, 980, 1100} << M << qint64(1300) << false << false;
        QTest::newRow("slow everywhere, at the floor") << Known{1100, 1150, 1120, 1140} << M << qint64(1200) << false << false;
        // The throttled stick: the first pieces go to the page cache at once,
        // then the writes wait for the stick; never a weak area of the source.
        QTest::newRow("the throttled stick once its cache is full")
            << Known{1, 1, 1, 1, 1, 1, 2, 1} << M << qint64(200) << false << false;
        QTest::newRow("a stick pausing to tidy its blocks") << Known{1, 1, 1, 1, 1, 1} << M << qint64(900) << false << false;
        // A pace that varies within a few times: inner tracks, a busy share.
        QTest::newRow("threefold") << Known{370, 370, 1110, 380, 1100} << M << qint64(1140) << false << false;
        QTest::newRow("sevenfold") << Known{200, 210, 190, 200} << M << qint64(1400) << false << false;
        QTest::newRow("eightfold") << Known{200, 210, 190, 200} << M << qint64(1600) << false << true;
        QTest::newRow("the median, not the mean") << Known{10, 10, 10, 5000, 6000} << M << qint64(1000) << false << true;
        // The probes after a slow read: a second per MiB.
        QTest::newRow("a slow probe") << disk << 64 * K << qint64(500) << true << true;
        QTest::newRow("a probe at a second per MiB") << disk << 64 * K << qint64(63) << true << true;
        QTest::newRow("a probe at the disk's pace") << disk << 64 * K << qint64(2) << true << false;
        QTest::newRow("a probe that waited a little") << disk << 64 * K << qint64(40) << true << false;
        QTest::newRow("a slow probe never starts a rescue") << disk << 64 * K << qint64(500) << false << false;
    }
    void slowReadRule()
    {
        QFETCH(Known, known);
        QFETCH(qint64, bytes);
        QFETCH(qint64, tookMs);
        QFETCH(bool, probe);
        QFETCH(bool, slow);
        const std::vector<PieceTime> k = pieces(known);
        QCOMPARE(isSlowRead(k, {bytes, std::chrono::milliseconds(tookMs)}, probe ? Judging::Probe : Judging::First), slow);
    }

    // The pace is made of whole pieces only: a file's small tail pieces say
    // how long a read waits, not how fast the medium reads.
    void paceKeepsWholePieces()
    {
        Pace pace;
        for (int i = 0; i < 10; ++i)
            pace.add({K, 1ms});
        QVERIFY(!pace.isSlow({M, 8s}, Judging::First));
        for (int i = 0; i < 4; ++i)
            pace.add({M, 10ms});
        QVERIFY(pace.isSlow({M, 8s}, Judging::First));
        // The last kKept pieces: a pace that has changed for good is the pace.
        for (std::size_t i = 0; i < Pace::kKept; ++i)
            pace.add({M, 1200ms});
        QVERIFY(!pace.isSlow({M, 1500ms}, Judging::First));
    }

    // What a pass reads of an untried span once areas are set aside.
    void passesGoRoundTheAreas_data()
    {
        QTest::addColumn<qint64>("from");
        QTest::addColumn<qint64>("to");
        QTest::addColumn<bool>("forward");
        QTest::addColumn<qint64>("spanFrom"); // -1: none there
        QTest::addColumn<qint64>("spanTo");
        QTest::addColumn<qint64>("lookAgain");
        // Areas [10, 20) and [30, 40).
        QTest::newRow("forward, up to the first area") << qint64(0) << qint64(100) << true << qint64(0) << qint64(10) << qint64(-1);
        QTest::newRow("forward, from its start") << qint64(10) << qint64(100) << true << qint64(-1) << qint64(-1) << qint64(20);
        QTest::newRow("forward, from inside it") << qint64(15) << qint64(25) << true << qint64(-1) << qint64(-1) << qint64(20);
        QTest::newRow("forward, between them") << qint64(20) << qint64(30) << true << qint64(20) << qint64(30) << qint64(-1);
        QTest::newRow("forward, past them") << qint64(40) << qint64(100) << true << qint64(40) << qint64(100) << qint64(-1);
        QTest::newRow("backward, down to the last area") << qint64(0) << qint64(100) << false << qint64(40) << qint64(100) << qint64(-1);
        QTest::newRow("backward, from its end") << qint64(0) << qint64(40) << false << qint64(-1) << qint64(-1) << qint64(30);
        QTest::newRow("backward, from inside it") << qint64(0) << qint64(35) << false << qint64(-1) << qint64(-1) << qint64(30);
        QTest::newRow("backward, between them") << qint64(0) << qint64(25) << false << qint64(20) << qint64(25) << qint64(-1);
        QTest::newRow("backward, below them") << qint64(0) << qint64(10) << false << qint64(0) << qint64(10) << qint64(-1);
    }
    void passesGoRoundTheAreas()
    {
        QFETCH(qint64, from);
        QFETCH(qint64, to);
        QFETCH(bool, forward);
        QFETCH(qint64, spanFrom);
        QFETCH(qint64, spanTo);
        QFETCH(qint64, lookAgain);
        WeakAreas weak;
        weak.setAside(30, 40, false);
        weak.setAside(10, 20, true);
        qint64 again = -1;
        const std::optional<WeakAreas::Span> span = weak.clip(from, to, forward, again);
        QCOMPARE(span.has_value(), spanFrom >= 0);
        if (span) {
            QCOMPARE(span->from, spanFrom);
            QCOMPARE(span->to, spanTo);
        }
        QCOMPARE(again, lookAgain);
    }

    // The closing message's line: the slow reads, merged where they meet.
    void slowReadsAreNamed()
    {
        WeakAreas weak;
        QCOMPARE(weak.slowBytes(), 0);
        weak.countSlow(5 * M, 6 * M);
        weak.countSlow(7 * M, 7 * M + 64 * K);
        weak.countSlow(6 * M, 7 * M); // joins both
        weak.countSlow(20 * M, 21 * M);
        QCOMPARE(weak.slowBytes(), 3 * M + 64 * K);
        QVERIFY(weak.readSlowlyAt(5 * M) && weak.readSlowlyAt(7 * M + 64 * K - 1));
        QVERIFY(!weak.readSlowlyAt(5 * M - 1) && !weak.readSlowlyAt(7 * M + 64 * K) && !weak.readSlowlyAt(21 * M));
        QCOMPARE(slowReadsText(weak.slowBytes(), weak.slowAreas()),
                 QStringLiteral("3211264 bytes were read slowly, at bytes 5242880-7405567, 20971520-22020095: "
                                "the medium may be failing."));
        for (qint64 at = 30; at < 36; at += 2)
            weak.countSlow(at * M, at * M + K);
        QVERIFY(slowReadsText(weak.slowBytes(), weak.slowAreas()).contains(QStringLiteral("31457280-31458303 and 2 more places:")));
    }
};

QTEST_GUILESS_MAIN(TestWeakAreas)
#include "tst_weak_areas.moc"
