#pragma once

// What the rescue's tests share: a damaged source behind badfs, a first
// rescue by this program or by GNU ddrescue, and the maps read back with
// ddrescuelog.

#include "copy/job/WritingPlan.h"
#include "support/TestKit.h"
#include "support/BadMedium.h"
#include "copy/job/CopyJob.h"
#include "copy/rescue/RetryPasses.h"
#include "runtime/files/Destination.h"
#include "runtime/media/IoWorker.h"
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

namespace rescuekit {

using Range = BadMedium::Range;
constexpr qint64 kBlock = BadMedium::kBlock;
const QString kSourceName = QStringLiteral("src.bin");

// The blocks with any byte in a bad range, in order.
inline QList<qint64> blocksTouched(const QList<Range> &bad, qint64 size)
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
inline QString rescueMessage(qint64 zeros, const QString &mapPath, bool nothingRead = false)
{
    return kCompleted + QStringLiteral("\r\n%1 bytes could not be read and were written as zeros.").arg(zeros)
           + (nothingRead ? QStringLiteral("\r\nNone of its bytes could be read.") : QString())
           + QStringLiteral("\r\nA map of the unreadable parts was written to %1.").arg(mapPath)
           + QStringLiteral("\r\nCopy pressed again later onto the same name reads only the damaged parts again.");
}

// Puts drive c: on the damaged medium, which mirrors the test drive's own c: folder.
inline void sourceOnMedium(FormFixture &f, const BadMedium &medium)
{
    rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', f.drives.host(u'd')}});
}

// Starts the window on a source laid out behind a damaged medium and aims the copy at D:\out.bin;
// whether all went well.
[[nodiscard]] inline bool prepareRescue(FormFixture &f, const BadMedium &medium)
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
inline QList<Range> blockRanges(const QList<qint64> &blocks, qint64 size)
{
    QList<Range> ranges;
    for (qint64 b : blocks)
        ranges.append({b * kBlock, std::min((b + 1) * kBlock, size)});
    return ranges;
}

// A first rescue of C:\src.bin into D:\out.bin from the medium: by the engine,
// with its map written as the window writes it, or by GNU ddrescue. The map's
// name; empty when the rescue did not complete.
inline QString firstRescue(const TestDrives &drives, const BadMedium &medium, bool byDdrescue)
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
inline QList<qint64> listedBlocks(const QString &mapHost, char status)
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
inline std::optional<RetryPasses::Outcome> retryRescue(int stopAfter = -1,
                                                std::chrono::milliseconds saveEvery = RetryPasses::kSaveInterval)
{
    const rt::File source = rt::File::open(QStringLiteral("C:\\src.bin"), rt::File::Access::Read);
    rt::IoWorker io;
    std::optional<Resumable> resumable = findResumable(QStringLiteral("D:\\out.bin"), source, io);
    if (!resumable)
        return std::nullopt;
    QuietProgress progress;
    progress.stopAfter = stopAfter;
    RescueFiles owner(QStringLiteral("D:\\out.bin"), io); // the retry's files are the owner's, as in a copy
    owner.retry(*std::move(resumable));
    RetryPasses retry(source, std::move(owner.retried()), progress, io);
    retry.setSaveInterval(saveEvery);
    RetryPasses::Outcome outcome = retry.run();
    if (outcome.complete && outcome.end == RetryPasses::Outcome::End::Completed)
        outcome.mapError = owner.settleRetried();
    return outcome;
}

inline qint64 blockBytes(const QList<qint64> &blocks, qint64 size)
{
    return std::accumulate(blocks.begin(), blocks.end(), qint64(0),
                           [&](qint64 sum, qint64 b) { return sum + std::min(kBlock, size - b * kBlock); });
}

using Marginals = QMap<qint64, int>; // block -> reads that fail before it reads

inline qint64 allocatedBytes(const QString &host)
{
    struct stat st {};
    return ::stat(QFile::encodeName(host).constData(), &st) == 0 ? qint64(st.st_blocks) * 512 : -1;
}

} // namespace rescuekit

Q_DECLARE_METATYPE(BadMedium::Range)
