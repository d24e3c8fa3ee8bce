#include "support/RescueKit.h"

// Weak areas of a damaged medium: ranges that read correctly, but slowly. The
// rate is chosen so that a 1 MiB piece in them takes a little over a second
// and their 64 KiB probes a little over a second per MiB: the slow-read rule's
// floors are met, and the areas stay a few MiB so each case takes seconds.

using namespace rescuekit;

namespace {

constexpr qint64 M = kLargePiece;
constexpr qint64 kProbe = CopyEngine::kProbePiece;
constexpr qint64 kWeakRate = M * 9 / 10; // 1.11 s a MiB

using Weak = BadMedium::Weak;
using Spans = QList<QPair<qint64, qint64>>;

qint64 overlap(qint64 from, qint64 to, const QList<Weak> &areas)
{
    qint64 n = 0;
    for (const Weak &w : areas)
        n += std::max<qint64>(0, std::min(to, w.end) - std::max(from, w.begin));
    return n;
}

// Every 4096-byte block of [0, size) that none of the reads touched.
QList<qint64> blocksNotRead(const QList<CopyWatch::Read> &reads, qint64 size)
{
    QList<bool> read(size / kBlock, false);
    for (const CopyWatch::Read &r : reads)
        for (qint64 b = r.offset / kBlock; b * kBlock < std::min(size, r.offset + r.count); ++b)
            read[b] = true;
    QList<qint64> out;
    for (qint64 b = 0; b < read.size(); ++b)
        if (!read[b])
            out.append(b);
    return out;
}

QString slowLine(qint64 bytes, const Spans &where)
{
    return slowReadsText(bytes, where);
}

} // namespace

Q_DECLARE_METATYPE(BadMedium::Weak)

class TestRescueWeak : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // A weak area is left, everything else is read, then the area: the copy
    // becomes a rescue on the way, and ends as a complete copy under its name.
    void weakAreasAreReadLast_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<Weak>>("weak");
        QTest::addColumn<QList<Range>>("bad");
        QTest::addColumn<Spans>("slow"); // where the closing message says it read slowly; empty: not checked

        // Four pieces before the first area: the copy has a pace to compare it with.
        QTest::newRow("one area") << 12 * M << QList<Weak>{{5 * M, 8 * M, kWeakRate}} << QList<Range>{}
                                  << Spans{{5 * M, 8 * M}};
        QTest::newRow("at the end") << 8 * M << QList<Weak>{{6 * M, 8 * M, kWeakRate}} << QList<Range>{}
                                    << Spans{{6 * M, 8 * M}};
        // After the probe that left the first area, the pieces start 64 KiB
        // past a MiB: the piece holding an area's first 64 KiB (or 128) reads
        // at pace, and only what was read slowly is named.
        QTest::newRow("three areas, one at the end")
            << 16 * M << QList<Weak>{{4 * M, 6 * M, kWeakRate}, {9 * M, 11 * M, kWeakRate}, {14 * M, 16 * M, kWeakRate}}
            << QList<Range>{} << Spans{{4 * M, 6 * M}, {9 * M + kProbe, 11 * M}, {14 * M + 2 * kProbe, 16 * M}};
        // Large enough for the worker to queue two pieces ahead: none of
        // them crawls on into the area behind the slow read.
        QTest::newRow("the worker pieces ahead") << 72 * M << QList<Weak>{{40 * M, 42 * M, kWeakRate}} << QList<Range>{}
                                                 << Spans{{40 * M, 42 * M}};
        QTest::newRow("unreadable blocks inside") << 12 * M << QList<Weak>{{5 * M, 8 * M, kWeakRate}}
                                                  << QList<Range>{{6 * M + 100 * kBlock, 6 * M + 102 * kBlock}} << Spans{};
    }
    void weakAreasAreReadLast()
    {
        QFETCH(qint64, size);
        QFETCH(QList<Weak>, weak);
        QFETCH(QList<Range>, bad);
        QFETCH(Spans, slow);

        FormFixture f;
        const QByteArray content = patternBytes(size, 71);
        f.drives.makeFile(u'c', kSourceName, content);
        BadMedium medium(f.drives.host(u'c'), {.bad = bad, .weak = weak});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        bool becameARescue = false;
        watch.onRead = [&](qint64, qint64) { becameARescue = becameARescue || f.drives.exists(u'd', QStringLiteral("out.bin.part.map")); };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QVERIFY2(becameARescue, "the copy never kept itself as a rescue");
        // Before the last byte outside the areas was read, no more of them
        // than the slow read that found each and the probes that left it.
        qsizetype lastOutside = -1;
        for (qsizetype i = 0; i < watch.reads.size(); ++i)
            if (overlap(watch.reads[i].offset, watch.reads[i].offset + watch.reads[i].count, weak) < watch.reads[i].count
                && watch.reads[i].offset < size)
                lastOutside = i;
        qint64 areaBytesBefore = 0, areaBytes = 0;
        for (qsizetype i = 0; i < lastOutside; ++i)
            areaBytesBefore += overlap(watch.reads[i].offset, watch.reads[i].offset + watch.reads[i].count, weak);
        for (const Weak &w : weak)
            areaBytes += w.end - w.begin;
        QVERIFY2(areaBytesBefore <= weak.size() * (M + 4 * kProbe),
                 qPrintable(QStringLiteral("%1 of the areas' %2 bytes were read before the last byte outside them")
                                .arg(areaBytesBefore).arg(areaBytes)));

        // Every byte is there: the areas' too, the unreadable blocks as zeros.
        const QList<qint64> badBlocks = blocksTouched(bad, size);
        QByteArray expected = content;
        for (qint64 b : badBlocks)
            expected.replace(b * kBlock, kBlock, QByteArray(kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.part")));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.part.map")));
        QCOMPARE(f.dialogs.messages().size(), 1);
        const QString message = f.dialogs.messages().constFirst();
        if (badBlocks.isEmpty()) {
            // Each sector of a weak area read once at the medium: a read that
            // crawls wears the disk, and none is thrown away.
            const BadMedium::Stats stats = medium.stats(kSourceName);
            for (const Weak &w : weak)
                for (qint64 b = w.begin / kBlock; b < w.end / kBlock; ++b)
                    QVERIFY2(stats.blockReads.value(b) == 1,
                             qPrintable(QStringLiteral("block %1 of a weak area read %2 times").arg(b).arg(stats.blockReads.value(b))));
            QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.map")));
            qint64 slowBytes = 0;
            for (const auto &s : slow)
                slowBytes += s.second - s.first;
            QCOMPARE(message, kCompleted + QStringLiteral("\r\n") + slowLine(slowBytes, slow));
        } else {
            // Trimmed, scraped and recorded as any unreadable block.
            QVERIFY2(message.startsWith(kCompleted + QStringLiteral("\r\n")) && message.contains(QStringLiteral(" bytes were read slowly, at bytes 5242880-"))
                         && message.endsWith(rescueMessage(blockBytes(badBlocks, size), QStringLiteral("D:\\out.bin.map")).mid(kCompleted.size())),
                     qPrintable(message));
            if (!QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
                QCOMPARE(listedBlocks(f.drives.host(u'd', QStringLiteral("out.bin.map")), '-'), badBlocks);
        }
        QCOMPARE(f.dialogs.shown[0].style, 48);
        QCOMPARE(f.c().KorBar->barValue(), 100);
        QVERIFY(f.readyToCopy());
    }

    // Stop while the areas are read: the map's untried parts are exactly
    // what no read has touched, and going on reads only those.
    void stopKeepsWhatWasNotRead()
    {
        constexpr qint64 size = 12 * M;
        const QList<Weak> weak{{5 * M, 8 * M, kWeakRate}};
        FormFixture f;
        f.dialogs.answers = {rt::AnswerYes, rt::AnswerYes}; // keep it; go on with it
        const QByteArray content = patternBytes(size, 72);
        f.drives.makeFile(u'c', kSourceName, content);
        BadMedium medium(f.drives.host(u'c'), {.weak = weak});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        qsizetype stopAt = -1;
        // The eighth read inside the area: the one that found it, the probes
        // that left it and came back to its edge, then the area's own pieces.
        int inside = 0;
        watch.onRead = [&](qint64 offset, qint64 count) {
            if (overlap(offset, offset + count, weak) > 0 && ++inside == 8) {
                stopAt = watch.reads.size();
                clickInNextYield(f.c().cmdCopy);
            }
        };

        f.c().cmdCopy->click();

        QVERIFY2(stopAt > 0, "the area was never read");
        QCOMPARE(watch.reads.size(), stopAt);
        QCOMPARE(f.dialogs.messages().size(), 1);
        QVERIFY2(f.dialogs.messages()[0].endsWith(QStringLiteral("Do You Want to Keep Them in 'out.bin.part' to Go On Later.")),
                 qPrintable(f.dialogs.messages()[0]));
        const QList<qint64> notRead = blocksNotRead(watch.reads, size);
        QVERIFY2(!notRead.isEmpty(), "nothing was left to go on with");
        for (qint64 b : notRead)
            QVERIFY2(overlap(b * kBlock, (b + 1) * kBlock, weak) == kBlock, qPrintable(QStringLiteral("block %1 outside the area was never read").arg(b)));
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            QSKIP("ddrescuelog (gddrescue) is not installed, so the map was not read back");
        QCOMPARE(listedBlocks(f.drives.host(u'd', QStringLiteral("out.bin.part.map")), '?'), notRead);

        // Going on reads those blocks and no other.
        watch.reads.clear();
        watch.onRead = nullptr;
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages().size(), 3);
        QVERIFY2(f.dialogs.messages()[1].startsWith(QStringLiteral("An unfinished copy of 'out.bin' is kept as 'out.bin.part'")),
                 qPrintable(f.dialogs.messages()[1]));
        QList<CopyWatch::Read> goingOn;
        for (const CopyWatch::Read &r : watch.reads)
            if (r.count > 64 * kBlock || notRead.contains(r.offset / kBlock)) // the 64 sample blocks aside
                goingOn.append(r);
        qint64 readBytes = 0;
        for (const CopyWatch::Read &r : goingOn) {
            for (qint64 b = r.offset / kBlock; b * kBlock < r.offset + r.count; ++b)
                QVERIFY2(notRead.contains(b), qPrintable(QStringLiteral("block %1 was read again").arg(b)));
            readBytes += r.count;
        }
        QCOMPARE(readBytes, notRead.size() * kBlock);
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == content);
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.part")));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.map")));
        QVERIFY(f.dialogs.messages()[2].startsWith(kCompleted));
    }

    // A medium slow everywhere, or whose pace varies a few times, is no
    // damaged one: a healthy copy, its pieces, its words.
    void anEvenPaceIsNoWeakArea_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<Weak>>("weak");
        // A stick that reads a MiB in a little over a second, everywhere.
        QTest::newRow("slow everywhere") << 5 * M << QList<Weak>{{0, 5 * M, kWeakRate}};
        // The throttled stick: its first MiBs come at once (from a cache),
        // then every MiB takes 50 ms. Far slower than the start, never slow.
        QTest::newRow("a 20 MB/s stick after its cache") << 12 * M << QList<Weak>{{4 * M, 12 * M, 20000000}};
        // Three times faster, then a slow MiB (the floor met, the factor not), then fast.
        QTest::newRow("pace varies threefold") << 6 * M << QList<Weak>{{0, 4 * M, 3 * kWeakRate}, {4 * M, 5 * M, kWeakRate}};
    }
    void anEvenPaceIsNoWeakArea()
    {
        QFETCH(qint64, size);
        QFETCH(QList<Weak>, weak);
        FormFixture f;
        const QByteArray content = patternBytes(size, 73);
        f.drives.makeFile(u'c', kSourceName, content);
        BadMedium medium(f.drives.host(u'c'), {.weak = weak});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        bool aRescue = false;
        watch.onRead = [&](qint64, qint64) { aRescue = aRescue || f.drives.exists(u'd', QStringLiteral("out.bin.part")); };

        f.c().cmdCopy->click();

        QVERIFY2(!aRescue, "the copy turned into a rescue");
        QCOMPARE(watch.reads, CopyWatch::readsOf(expectedPieces(size)));
        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QCOMPARE(f.dialogs.shown[0].style, rt::MsgStyle::Information);
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == content);
    }
};

QTEST_MAIN(TestRescueWeak)
#include "tst_rescue_weak.moc"
