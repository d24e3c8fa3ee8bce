#pragma once

// What the kept rescue's tests share: a source behind the damaged medium, a
// rescue kept by a Stop, a copy run outside the window.

#include "support/BadMedium.h"
#include "support/CopyWatch.h"
#include "support/FailingFlush.h"
#include "support/TestKit.h"
#include "copy/job/CopyJob.h"
#include "copy/rescue/RescueMap.h"
#include "runtime/text/NumberText.h"

#include <QTest>

#include <memory>

namespace keptkit {

using namespace copytest;
using namespace testkit;


constexpr qint64 kBlock = BadMedium::kBlock;
const QString kSourceName = QStringLiteral("src.bin");
const QString kPart = QStringLiteral("out.bin.part"), kPartMap = QStringLiteral("out.bin.part.map");

// C:\src.bin, 3 MiB of a pattern from seed, laid out for the medium to mirror.
inline QByteArray sourceOnC(FormFixture &f, quint32 seed)
{
    const QByteArray content = patternBytes(3 * kLargePiece, seed);
    f.drives.makeFile(u'c', kSourceName, content);
    return content;
}

// Blocks 300 to 307 unreadable: the first pass meets them in its second piece.
const BadMedium::Options kEightBadBlocks{.bad = {{300 * kBlock, 308 * kBlock}}};

// The bytes a map lists as finished; -1 when it does not read as a map.
inline qint64 finishedIn(const QByteArray &mapText)
{
    const std::optional<RescueMap> map = RescueMap::parse(mapText);
    return map ? map->bytes(RescueMap::Status::Finished) : -1;
}

// Whether every block the map lists as finished holds the source's bytes in the copy.
inline bool finishedBlocksHold(const QByteArray &mapText, const QByteArray &copy, const QByteArray &source)
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
[[nodiscard]] inline bool startOnMedium(FormFixture &f, const BadMedium &medium)
{
    rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', f.drives.host(u'd')}});
    return startAimed(f, kSourceName);
}

// Clicks Stop at the first read of a pass after the first (one behind the furthest point reached).
inline void stopInALaterPass(FormFixture &f, CopyWatch &watch)
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
inline QString keptWithOlderMap(const QString &rescued, const QByteArray &mapText)
{
    return rescued
        + QStringLiteral(". 'out.bin.part' is kept to go on later with its map 'out.bin.part.map' as last saved, which lists %1 of them.")
              .arg(rt::megabytesText(finishedIn(mapText)))
        + QStringLiteral("\r\nThe map could not be brought up to date: ") + reason(EIO);
}

// Keeps a rescue of C:\src.bin (behind the medium) as D:\out.bin.part with its map: a Stop, answered Yes.
inline void keepARescue(FormFixture &f, const BadMedium &medium)
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


} // namespace keptkit
