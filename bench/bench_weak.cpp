// Weak areas: a medium whose chosen ranges read correctly but slowly (badfs
// --weak), copied by this program's engine, by GNU ddrescue with its defaults
// and by ddrescue -a 0 (its minimum read rate a tenth of the average), each on
// a fresh mount of the same medium, one after the other in the same run.
// Times are taken at the medium: when every block outside the weak areas (and
// outside the unreadable ones) has been delivered once, and the whole run.
//
//   bench_weak [--quick] [--case N] [--by duplon] [folder]
//
// --quick: one small case instead, 64 MiB with a 4 MiB area (about two
// minutes); --case N: only that case (from 0); --by duplon: only this program.

#include "copy/job/WritingPlan.h"
#include "copy/rescue/CopyEngine.h"
#include "runtime/files/Destination.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/Drives.h"
#include "runtime/media/IoWorker.h"
#include "support/BadMedium.h"
#include "BenchKit.h"
#include "GeneratedSource.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr qint64 M = 1048576;
constexpr qint64 kBlock = 4096;

struct Case {
    const char *name;
    qint64 size;
    QList<BadMedium::Weak> weak;
    QList<BadMedium::Range> bad;
};

struct Timed {
    double outside = -1; // every block outside the weak areas delivered
    double whole = -1;
    qint64 wrong = -1;   // blocks of the copy that differ from the source (bad ones as zeros)
    qint64 slowBytes = -1;
};

[[noreturn]] void die(const QString &what)
{
    std::fprintf(stderr, "bench_weak: %s\n", qPrintable(what));
    std::exit(2);
}

qint64 nowNs()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000ll + t.tv_nsec;
}

// One reader over a fresh mount: "duplon", "ddrescue" or "ddrescue -a 0".
Timed readOnce(const QString &folder, const Case &c, const QString &by)
{
    qint64 outsideBlocks = 0;
    for (qint64 b = 0; b < c.size / kBlock; ++b) {
        bool inside = false;
        for (const BadMedium::Weak &w : c.weak)
            inside = inside || (w.begin < (b + 1) * kBlock && w.end > b * kBlock);
        for (const BadMedium::Range &r : c.bad)
            inside = inside || (r.begin < (b + 1) * kBlock && r.end > b * kBlock);
        outsideBlocks += !inside;
    }
    BadMedium medium(folder + QStringLiteral("/src"),
                     {.bad = c.bad, .weak = c.weak, .secured = outsideBlocks, .securedOutsideWeak = true});
    if (!medium.mounted())
        die(QStringLiteral("no damaged medium: ") + medium.whyNot());
    const QString out = folder + QStringLiteral("/copy.bin");
    QFile::remove(out);
    QFile::remove(out + QStringLiteral(".map"));
    Timed t;
    const qint64 start = nowNs();
    if (by.startsWith(u"ddrescue")) {
        QStringList args{QStringLiteral("-q")};
        if (by.endsWith(u"-a 0"))
            args << QStringLiteral("-a") << QStringLiteral("0");
        args << medium.path() + QStringLiteral("/source.bin") << out << out + QStringLiteral(".map");
        QProcess::execute(QStringLiteral("ddrescue"), args);
    } else {
        rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', folder}});
        const rt::File source = rt::File::open(QStringLiteral("C:\\source.bin"), rt::File::Access::Read);
        rt::Destination dest = prepareDestination(QStringLiteral("D:\\copy.bin"), 0644);
        rt::IoWorker io;
        benchkit::Yielding progress;
        const CopyEngine::Outcome o = CopyEngine(source, dest, progress, io).run();
        if (o.end == CopyEngine::Outcome::End::Completed)
            (void)dest.commit(o.length);
        t.slowBytes = o.slowBytes;
    }
    t.whole = double(nowNs() - start) / 1e9;
    const BadMedium::Stats stats = medium.stats(QStringLiteral("source.bin"));
    t.outside = stats.securedAtNs < 0 ? -1 : double(stats.securedAtNs - start) / 1e9;
    t.wrong = generated_source::wrongBlocks(out, c.size, c.bad);
    QFile::remove(out);
    return t;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool quick = args.removeAll(QStringLiteral("--quick")) > 0;
    int only = -1;
    if (const qsizetype i = args.indexOf(QStringLiteral("--case")); i >= 0 && i + 1 < args.size()) {
        only = args[i + 1].toInt();
        args.remove(i, 2);
    }
    const bool onlyDuplon = args.removeAll(QStringLiteral("--by")) > 0 && args.removeAll(QStringLiteral("duplon")) > 0;
    const QString root = (args.isEmpty() ? QDir::tempPath() : args.first()) + QStringLiteral("/duplon-bench-weak");
    if (QStandardPaths::findExecutable(QStringLiteral("ddrescue")).isEmpty())
        die(QStringLiteral("GNU ddrescue (gddrescue) is not installed: nothing to compare with"));

    constexpr qint64 kRate = 131072; // 128 KiB/s
    QList<BadMedium::Range> badInside;
    for (qint64 at = 122 * M; at < 136 * M; at += 2 * M)
        badInside.append({at + 5 * kBlock, at + 7 * kBlock}); // 7 bad stretches of 8 KiB
    QList<Case> cases{
        {"16 MiB weak area in 256 MiB", 256 * M, {{120 * M, 136 * M, kRate}}, {}},
        {"the same, 56 KiB unreadable in it", 256 * M, {{120 * M, 136 * M, kRate}}, badInside},
        {"three 4 MiB areas, one at the end", 256 * M,
         {{64 * M, 68 * M, kRate}, {160 * M, 164 * M, kRate}, {252 * M, 256 * M, kRate}}, {}},
    };
    if (quick)
        cases = {{"4 MiB weak area in 64 MiB", 64 * M, {{30 * M, 34 * M, kRate}}, {}}};

    std::printf("Weak areas reading at 128 KiB/s, each reader on a fresh badfs mount; %s\n"
                "seconds at the medium until every block outside the areas was delivered, and in all\n",
                qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)));
    std::printf("  %-36s %-15s %10s %9s %7s %12s\n", "case", "by", "outside s", "whole s", "wrong", "read slowly");
    for (qsizetype n = 0; n < cases.size(); ++n) {
        if (only >= 0 && n != only)
            continue;
        const Case &c = cases[n];
        const QString folder = root + u'/' + QString::number(c.size);
        const QString sourcePath = folder + QStringLiteral("/src/source.bin");
        if (!generated_source::ensure(sourcePath, c.size))
            die(QStringLiteral("cannot write ") + sourcePath);
        QMap<QString, Timed> by;
        for (const QString &reader : {QStringLiteral("ddrescue"), QStringLiteral("ddrescue -a 0"), QStringLiteral("duplon")}) {
            if (onlyDuplon && reader != u"duplon")
                continue;
            const Timed t = readOnce(folder, c, reader);
            by.insert(reader, t);
            std::printf("  %-36s %-15s %10.1f %9.1f %7lld %12s\n", c.name, qPrintable(reader), t.outside, t.whole,
                        t.wrong, t.slowBytes < 0 ? "" : qPrintable(QString::number(t.slowBytes)));
            std::fflush(stdout);
        }
        if (!onlyDuplon)
            std::printf("  %-36s outside: %.2f x ddrescue -a 0 (goal <= 0.5); whole: %.3f x ddrescue (goal <= 1.05)\n", "",
                    by[QStringLiteral("duplon")].outside / by[QStringLiteral("ddrescue -a 0")].outside,
                    by[QStringLiteral("duplon")].whole / by[QStringLiteral("ddrescue")].whole);
    }
    QDir(root).removeRecursively();
    return 0;
}
