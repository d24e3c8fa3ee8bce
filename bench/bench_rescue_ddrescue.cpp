// bench_rescue's last part: GNU ddrescue and this program's engine on the
// same damage, until every readable block is secured and to the end.

#include "copy/job/WritingPlan.h"
#include "app/MyForm.h"
#include "copy/rescue/RetryPasses.h"
#include "runtime/files/Destination.h"
#include "runtime/Dialogs.h"
#include "runtime/media/Drives.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "support/BadMedium.h"
#include "BenchKit.h"
#include "GeneratedSource.h"
#include "RescueBench.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QProcess>
#include <QStandardPaths>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <functional>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct Damage {
    const char *name;
    qint64 size;
    QList<BadMedium::Range> bad; // whole blocks
};

struct Rescued {
    double securedSeconds = -1;
    qint64 securedFailed = -1;
    qint64 failed = -1;
    qint64 wrong = -1;
};

Rescued rescueOnce(const QString &folder, const Damage &d, bool byDdrescue)
{
    qint64 badBlocks = 0;
    for (const BadMedium::Range &r : d.bad)
        badBlocks += (r.end - r.begin) / kBlock;
    BadMedium medium(folder + QStringLiteral("/src"),
                     {.bad = d.bad, .badDelayMs = 200, .secured = (d.size + kBlock - 1) / kBlock - badBlocks});
    if (!medium.mounted())
        return {};
    const QString out = folder + QStringLiteral("/copy.bin");
    QFile::remove(out);
    QFile::remove(out + QStringLiteral(".map"));
    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (byDdrescue) {
        QProcess::execute(QStringLiteral("ddrescue"), {QStringLiteral("-q"), QStringLiteral("-b"), QStringLiteral("4096"),
                                                       medium.path() + QStringLiteral("/source.bin"), out,
                                                       out + QStringLiteral(".map")});
    } else {
        rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', folder}});
        const rt::File source = rt::File::open(QStringLiteral("C:\\source.bin"), rt::File::Access::Read);
        rt::Destination dest = prepareDestination(QStringLiteral("D:\\copy.bin"), 0644);
        rt::IoWorker io;
        benchkit::Yielding progress;
        const CopyEngine::Outcome o = CopyEngine(source, dest, progress, io).run();
        if (o.end == CopyEngine::Outcome::End::Completed)
            (void)dest.commit(o.length);
    }
    const BadMedium::Stats stats = medium.stats(QStringLiteral("source.bin"));
    Rescued r;
    r.securedSeconds = stats.securedAtNs < 0 ? -1 : double(stats.securedAtNs - (start.tv_sec * 1000000000ll + start.tv_nsec)) / 1e9;
    r.securedFailed = stats.securedFailed;
    r.failed = stats.failedReads;
    r.wrong = generated_source::wrongBlocks(out, d.size, d.bad);
    QFile::remove(out);
    return r;
}

} // namespace

void againstDdrescue(const QString &root)
{
    const bool haveDdrescue = !QStandardPaths::findExecutable(QStringLiteral("ddrescue")).isEmpty();
    constexpr qint64 M = 1048576;
    QList<Damage> damages{{"64 MiB zone in 256 MiB", 256 * M, {{96 * M, 160 * M}}},
                          {"1 GiB zone in 1.25 GiB", 1280 * M, {{128 * M, 1152 * M}}},
                          {"200 scattered blocks in 256 MiB", 256 * M, {}}};
    QSet<qint64> scattered;
    for (quint32 x = 991u; scattered.size() < 200;) {
        x = x * 1103515245u + 12345u;
        scattered.insert(qint64(x >> 4) % (256 * M / kBlock));
    }
    QList<qint64> sorted(scattered.begin(), scattered.end());
    std::sort(sorted.begin(), sorted.end());
    for (qint64 b : sorted)
        damages[2].bad.append({b * kBlock, (b + 1) * kBlock});

    std::printf("\nAgainst GNU ddrescue -b 4096, each on its own badfs medium, failing reads taking 200 ms until every\n"
                "readable block has been read once (secured), none after:\n");
    if (!haveDdrescue)
        std::printf("  GNU ddrescue (gddrescue) is not installed: no comparison, this program only\n");
    std::printf("  %-32s %-9s %10s %14s %14s %8s\n", "damage", "by", "secured s", "failing reads", "whole rescue", "wrong");
    for (const Damage &d : damages) {
        const QString folder = root + u'/' + QString::number(d.size);
        const QString sourcePath = folder + QStringLiteral("/src/source.bin");
        if (!generated_source::ensure(sourcePath, d.size))
            die(QStringLiteral("cannot write ") + sourcePath);
        for (const bool byDdrescue : {true, false}) {
            if (byDdrescue && !haveDdrescue)
                continue;
            const Rescued r = rescueOnce(folder, d, byDdrescue);
            if (r.failed < 0) {
                std::printf("  %-32s no damaged medium could be mounted\n", d.name);
                return;
            }
            std::printf("  %-32s %-9s %10.1f %14lld %14lld %8lld\n", d.name, byDdrescue ? "ddrescue" : "Duplon",
                        r.securedSeconds, r.securedFailed, r.failed, r.wrong);
            std::fflush(stdout);
        }
    }
    QDir(root).removeRecursively();
}
