// What the copy's read-back costs where the medium is honest, measured
// before and after in the same run (before: ReadBack::setOff, a switch of the
// bench's own).
//
//   bench_read_back [--rounds N] [--big-mib M] [--stick-rounds K] [folder]
//
// Cases:
//   1  the durable copy of M MiB (default 1024) into <folder>/duplon-rb-bench
//      (default /tmp, a disk), from a warm source, against cp + `sync FILE`:
//      before and after, each against cp in the same round; bound after <= cp
//   2  160 MiB onto a stick written at 20 MB/s (tests/support/SlowStick.h:
//      ext4 on a loop device, its writes throttled by the blkio cgroup),
//      before and after, against the stick's own time (160 MiB at 20e6
//      bytes/s) and cp + sync; bound after <= 1.05 x its own time. Needs root.
// Sides run in an order that turns from round to round, after a warm-up
// copy; every copy of the program must end with "File Copy Completed." and
// the destination's size. Medians of the per-round figures are printed.
// A tmpfs is never read back (ReadBackChoice: Memory), so its copy is as
// before by construction.

#include "BenchKit.h"
#include "CopyBenchFiles.h"
#include "copy/job/CopyJob.h"
#include "runtime/files/ReadBack.h"
#include "runtime/media/Drives.h"
#include "support/SlowStick.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace copybench;

namespace {

// Seconds of one copy by the program from C:\src.bin to D:\out.bin.
double timeProgram(const QString &srcFolder, const QString &dstFolder, bool readBack)
{
    const std::string out = (dstFolder + QStringLiteral("/out.bin")).toStdString();
    freshDestination(out);
    rt::Drives::instance().setFixedMap({{u'c', srcFolder}, {u'd', dstFolder}});
    rt::ReadBack::setOff(!readBack);
    benchkit::YesDialogs dialogs;
    benchkit::Yielding progress;
    QElapsedTimer t;
    t.start();
    const CopyEnd end = CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")},
                                progress, dialogs)
                            .run();
    const double s = double(t.nsecsElapsed()) / 1e9;
    rt::ReadBack::setOff(false);
    if (end != CopyEnd::Completed || dialogs.last != QStringLiteral("File Copy Completed."))
        die("the copy did not complete: " + dialogs.last.toStdString());
    if (sizeOf(out) != sizeOf((srcFolder + QStringLiteral("/src.bin")).toStdString()))
        die("the copy has a wrong size");
    freshDestination(out); // a small stick holds one copy at a time
    return s;
}

enum Side { Cp, Before, After };

// Rounds of the three sides in turning order; the seconds of each, per round.
std::vector<std::vector<double>> rounds(int count, const QString &src, const QString &dst)
{
    const std::string srcFile = (src + QStringLiteral("/src.bin")).toStdString();
    const std::string cpOut = (dst + QStringLiteral("/cp.bin")).toStdString();
    const auto cpOnce = [&] {
        const double s = timeCp(srcFile, cpOut, Flush::SyncFile);
        freshDestination(cpOut);
        return s;
    };
    (void)timeProgram(src, dst, true); // warm-up
    std::vector<std::vector<double>> times(3);
    for (int r = 0; r < count; ++r) {
        for (int k = 0; k < 3; ++k) {
            const int side = (r + k) % 3;
            warm(srcFile);
            const double s = side == Cp ? cpOnce() : timeProgram(src, dst, side == After);
            times[side].push_back(s);
        }
        std::printf("  round %d: cp+sync %.2f s, before %.2f s, after %.2f s\n", r + 1, times[Cp].back(),
                    times[Before].back(), times[After].back());
        std::fflush(stdout);
    }
    return times;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int count = 5, stickRounds = 3;
    qint64 bigMiB = 1024;
    QString folder = QStringLiteral("/tmp");
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == u"--rounds" && i + 1 < args.size())
            count = std::max(1, args[++i].toInt());
        else if (args[i] == u"--stick-rounds" && i + 1 < args.size())
            stickRounds = std::max(0, args[++i].toInt());
        else if (args[i] == u"--big-mib" && i + 1 < args.size())
            bigMiB = std::max<qint64>(1, args[++i].toLongLong());
        else if (!args[i].startsWith(u'-'))
            folder = args[i];
        else
            die("usage: bench_read_back [--rounds N] [--big-mib M] [--stick-rounds K] [folder]");
    }
    const QString root = QDir(folder).absoluteFilePath(QStringLiteral("duplon-rb-bench"));
    const QString src = root + QStringLiteral("/src"), dst = root + QStringLiteral("/dst");
    QDir().mkpath(src), QDir().mkpath(dst);

    std::printf("1  %lld MiB onto the disk under %s\n", bigMiB, qPrintable(folder));
    makeFile((src + QStringLiteral("/src.bin")).toStdString(), bigMiB * kMiB);
    const auto disk = rounds(count, src, dst);
    std::vector<double> afterCp, beforeCp, afterBefore;
    for (int r = 0; r < count; ++r) {
        afterCp.push_back(disk[After][r] / disk[Cp][r]);
        beforeCp.push_back(disk[Before][r] / disk[Cp][r]);
        afterBefore.push_back(disk[After][r] / disk[Before][r]);
    }
    std::printf("   medians: after/cp+sync %.3f, before/cp+sync %.3f, after/before %.3f  (bound: after <= cp+sync) %s\n",
                median(afterCp), median(beforeCp), median(afterBefore), median(afterCp) <= 1.0 ? "ok" : "OVER");

    if (stickRounds > 0) {
        constexpr qint64 kRate = 20000000, kStickCopy = 160 * kMiB;
        SlowStick stick(kRate, 384 * kMiB);
        if (!stick.ready()) {
            std::printf("2  skipped: %s\n", qPrintable(stick.whyNot()));
        } else {
            const QString stickSrc = root + QStringLiteral("/stick-src");
            QDir().mkpath(stickSrc);
            makeFile((stickSrc + QStringLiteral("/src.bin")).toStdString(), kStickCopy);
            const double own = double(kStickCopy) / double(kRate);
            std::printf("2  160 MiB onto a stick at 20 MB/s: its own time %.2f s\n", own);
            const auto times = rounds(stickRounds, stickSrc, stick.folder());
            std::vector<double> afterOwn, beforeOwn, afterBefore2, cpOwn;
            for (int r = 0; r < stickRounds; ++r) {
                afterOwn.push_back(times[After][r] / own);
                beforeOwn.push_back(times[Before][r] / own);
                cpOwn.push_back(times[Cp][r] / own);
                afterBefore2.push_back(times[After][r] / times[Before][r]);
            }
            std::printf("   medians: after/own %.3f, before/own %.3f, cp+sync/own %.3f, after/before %.3f  (bound: after <= 1.05 x own) %s\n",
                        median(afterOwn), median(beforeOwn), median(cpOwn), median(afterBefore2),
                        median(afterOwn) <= 1.05 ? "ok" : "OVER");
        }
    }
    return 0;
}
