// What the block passes of a rescue cost as the bad areas grow in number.
//
//   bench_scrape [folder]
//
// A 160 MiB file in <folder>/duplon-bench-scrape (default /tmp) is copied by
// the copy job alone (no window), with N blocks unreadable, in pairs three
// blocks apart and one pair every 16 blocks, so that trimming leaves the
// blocks between to scraping; failing reads cost nothing (a fault hook), so
// the figures are the passes' own work. Printed per N: the time above a copy
// without damage, per bad block, and the ratio to half as many bad blocks
// (2 when the cost grows linearly, 4 when it grows with the square).

#include "copy/job/CopyJob.h"
#include "runtime/Dialogs.h"
#include "runtime/media/Drives.h"
#include "runtime/files/Transfer.h"
#include "BenchKit.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 kBlock = 4096;
constexpr qint64 kSize = 160 * 1048576;

struct Silent : CopyProgress {
    void showProgress(int, qint64, qint64) override {}
    bool yieldAndGoOn() override { return true; }
    bool goingOn() const override { return true; }
};

[[noreturn]] void die(const QString &what)
{
    std::fprintf(stderr, "bench_scrape: %s\n", qPrintable(what));
    std::exit(2);
}

// The fastest of three copies with n bad blocks, in seconds.
double copySeconds(const QString &root, int n)
{
    QSet<qint64> bad;
    for (int pair = 0; pair < n / 2; ++pair) {
        bad.insert(qint64(pair) * 16);
        bad.insert(qint64(pair) * 16 + 3);
    }
    rt::setReadFaultHook([&bad](qint64 offset, qint64 count) {
        for (qint64 b = offset / kBlock; b * kBlock < offset + count; ++b)
            if (bad.contains(b))
                return EIO;
        return 0;
    });
    double best = 1e9;
    for (int round = 0; round < 3; ++round) {
        QFile::remove(root + QStringLiteral("/out.bin"));
        QFile::remove(root + QStringLiteral("/out.bin.map"));
        Silent progress;
        benchkit::YesDialogs dialogs;
        CopyJob job({QStringLiteral("C:\\src.bin"), QStringLiteral("C:\\out.bin"), QStringLiteral("out.bin")}, progress,
                    dialogs);
        QElapsedTimer timer;
        timer.start();
        if (job.run() != CopyJob::End::Completed)
            die(QStringLiteral("the copy did not complete: ") + dialogs.last);
        best = std::min(best, timer.nsecsElapsed() / 1e9);
        const QString expected = n ? QStringLiteral("\r\n%1 bytes could not be read").arg(n * kBlock) : QString();
        if (!dialogs.last.contains(expected))
            die(QStringLiteral("unexpected closing message: ") + dialogs.last);
    }
    rt::setReadFaultHook(nullptr);
    return best;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp");
    const QString root = QDir(folder).absoluteFilePath(QStringLiteral("duplon-bench-scrape"));
    QDir(root).removeRecursively();
    if (!QDir().mkpath(root))
        die(QStringLiteral("cannot create ") + root);
    {
        QFile f(root + QStringLiteral("/src.bin"));
        const QByteArray piece(1048576, 'r'); // data throughout: no holes to skip
        if (!f.open(QIODevice::WriteOnly))
            die(QStringLiteral("cannot write ") + f.fileName());
        for (qint64 at = 0; at < kSize; at += piece.size())
            if (f.write(piece) != piece.size())
                die(QStringLiteral("cannot write ") + f.fileName());
    }
    rt::Drives::instance().setFixedMap({{u'c', root}});

    const double clean = copySeconds(root, 0);
    std::printf("bench_scrape: 160 MiB without damage: %.3f s\n", clean);
    double previous = 0;
    for (int n : {1250, 2500, 5000}) {
        const double extra = std::max(1e-6, copySeconds(root, n) - clean);
        std::printf("bench_scrape: %4d bad blocks: +%.3f s, %.1f us per bad block", n, extra, extra / n * 1e6);
        if (previous > 0)
            std::printf(", %.2f x the time for half as many", extra / previous);
        std::printf("\n");
        previous = extra;
    }
    QDir(root).removeRecursively();
    return 0;
}
