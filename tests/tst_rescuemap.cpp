#include "copy/rescue/RescueMap.h"

#include <QRandomGenerator>
#include <QTest>

#include <vector>

using Status = RescueMap::Status;

namespace {

constexpr Status kStatuses[] = {Status::NonTried, Status::NonTrimmed, Status::NonScraped, Status::Bad, Status::Finished};

// The plain model: one status per byte, every question answered by walking it.
struct ByteModel {
    std::vector<Status> bytes;
    void set(qint64 pos, qint64 size, Status s)
    {
        if (size <= 0)
            return;
        if (qint64(bytes.size()) < pos + size)
            bytes.resize(size_t(pos + size), Status::NonTried);
        std::fill(bytes.begin() + pos, bytes.begin() + pos + size, s);
    }
    std::vector<RescueMap::Area> areas() const
    {
        std::vector<RescueMap::Area> out;
        for (qint64 i = 0; i < qint64(bytes.size()); ++i)
            if (!out.empty() && out.back().status == bytes[size_t(i)])
                ++out.back().size;
            else
                out.push_back({i, 1, bytes[size_t(i)]});
        return out;
    }
    // The area of the run holding byte i.
    RescueMap::Area runAt(qint64 i) const
    {
        qint64 from = i, to = i + 1;
        while (from > 0 && bytes[size_t(from - 1)] == bytes[size_t(i)])
            --from;
        while (to < qint64(bytes.size()) && bytes[size_t(to)] == bytes[size_t(i)])
            ++to;
        return {from, to - from, bytes[size_t(i)]};
    }
    std::optional<RescueMap::Area> findFrom(qint64 pos, Status s, bool other) const
    {
        for (qint64 i = std::max<qint64>(pos, 0); i < qint64(bytes.size()); ++i)
            if ((bytes[size_t(i)] == s) != other)
                return runAt(i);
        return std::nullopt;
    }
    std::optional<RescueMap::Area> findBefore(qint64 pos, Status s, bool other) const
    {
        for (qint64 i = std::min<qint64>(pos, qint64(bytes.size())) - 1; i >= 0; --i)
            if ((bytes[size_t(i)] == s) != other)
                return runAt(i);
        return std::nullopt;
    }
};

QByteArray describe(const RescueMap::Area *a)
{
    return a ? QByteArray::number(a->pos) + '+' + QByteArray::number(a->size) + char(a->status) : "none";
}
QByteArray describe(const std::optional<RescueMap::Area> &a) { return a ? describe(&*a) : "none"; }

} // namespace

class TestRescueMap : public QObject {
    Q_OBJECT
private slots:
    // Scattered changes of every size, as the passes make them, on a map that
    // grows to tens of thousands of areas: every answer the passes use is the
    // plain model's.
    void answersAsAPlainModel()
    {
        QRandomGenerator random(27);
        ByteModel model;
        RescueMap map;
        constexpr qint64 kLength = 300000;
        qsizetype mostAreas = 0;
        for (int round = 0; round < 100000; ++round) {
            const Status s = kStatuses[random.bounded(5)];
            // Mostly single blocks, some runs, some that span many areas, some past the end.
            const int kind = random.bounded(1000);
            const qint64 size = kind < 900 ? 1 + random.bounded(4) : kind < 998 ? random.bounded(200) : random.bounded(20000);
            const qint64 pos = random.bounded(kLength + 100);
            model.set(pos, size, s);
            map.set(pos, size, s);
            mostAreas = std::max(mostAreas, map.count());

            const qint64 at = random.bounded(kLength + 200);
            const Status asked = kStatuses[random.bounded(5)];
            QCOMPARE(describe(map.findFrom(at, asked)), describe(model.findFrom(at, asked, false)));
            QCOMPARE(describe(map.findBefore(at, asked)), describe(model.findBefore(at, asked, false)));
            QCOMPARE(describe(map.findFromOther(at, asked)), describe(model.findFrom(at, asked, true)));
            QCOMPARE(describe(map.findBeforeOther(at, asked)), describe(model.findBefore(at, asked, true)));
            QCOMPARE(describe(map.at(at)),
                     describe(at < qint64(model.bytes.size()) ? std::optional(model.runAt(at)) : std::nullopt));
            if (round % 5000 == 0 || round == 99999) {
                const std::vector<RescueMap::Area> expected = model.areas();
                QCOMPARE(map.count(), qsizetype(expected.size()));
                QCOMPARE(map.end(), qint64(model.bytes.size()));
                const std::vector<RescueMap::Area> areas = map.areas();
                for (size_t i = 0; i < expected.size(); ++i)
                    QCOMPARE(describe(&areas[i]), describe(&expected[i]));
                for (const Status t : kStatuses)
                    QCOMPARE(map.bytes(t), qint64(std::count(model.bytes.begin(), model.bytes.end(), t)));
                // Written out and read back, it is the same map.
                const std::optional<RescueMap> back = RescueMap::parse(map.mapfile("duplon"));
                QVERIFY(back);
                QCOMPARE(back->areas().size(), expected.size());
                QCOMPARE(RescueMap::lastAreaEnd(map.mapfile("duplon").right(100), false), map.end());
            }
        }
        QVERIFY2(mostAreas > 15000, QByteArray::number(mostAreas)); // large enough to matter
    }

    // Only areas that follow on from each other make a map; too many for the
    // source make none.
    void parseRefusesWhatNoMapHolds_data()
    {
        QTest::addColumn<QByteArray>("areas");
        QTest::addColumn<qint64>("maxAreas");
        QTest::addColumn<qint64>("end"); // -1: refused
        QTest::newRow("in order") << QByteArray("0 0x1000 +\n0x1000 0x1000 -\n") << -1LL << 8192LL;
        QTest::newRow("starting past 0: the rest is untried") << QByteArray("0x1000 0x1000 -\n") << -1LL << 8192LL;
        QTest::newRow("overlapping") << QByteArray("0 0x1000 +\n0x800 0x1000 -\n") << -1LL << -1LL;
        QTest::newRow("a gap") << QByteArray("0 0x1000 +\n0x1800 0x1000 -\n") << -1LL << -1LL;
        QTest::newRow("out of order after an empty area")
            << QByteArray("0x4000 0 +\n0 0x1000 +\n0x1000 0x1000 -\n") << -1LL << -1LL;
        QTest::newRow("overlapping after an empty area") << QByteArray("0 0x1000 +\n0x1000 0 -\n0x800 0x1000 -\n")
                                                         << -1LL << -1LL;
        QTest::newRow("as many areas as allowed") << QByteArray("0 512 +\n512 512 -\n1024 512 +\n") << 3LL << 1536LL;
        QTest::newRow("one area too many") << QByteArray("0 512 +\n512 512 -\n1024 512 +\n") << 2LL << -1LL;
        QTest::newRow("a position past 2^63") << QByteArray("0x7FFFFFFFFFFFFFFF 1 +\n") << -1LL << -1LL;
    }
    void parseRefusesWhatNoMapHolds()
    {
        QFETCH(QByteArray, areas);
        QFETCH(qint64, maxAreas);
        QFETCH(qint64, end);
        const std::optional<RescueMap> map = RescueMap::parse("# Mapfile\n0x0 ? 1\n" + areas, maxAreas);
        QCOMPARE(map ? map->end() : -1, end);
    }
};

QTEST_GUILESS_MAIN(TestRescueMap)
#include "tst_rescuemap.moc"
