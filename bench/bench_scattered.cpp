// The rescue map at scale.
//
//   bench_scattered [--rounds N] [--only scattered|stall|aside] [folder]
//
// scattered: a 1 GiB file with 100,000 scattered unreadable 4 KiB blocks
//   that fail at once (the suite's badfs, no delay), rescued by the copy job
//   (no window) and by GNU ddrescue -b 4096 (its defaults) in alternation, N
//   rounds (default 3) after a warm-up of each: whole time and CPU time
//   (user + system; the FUSE server's own is neither's), ratios per round and
//   the median.
// stall: the window's thread turns its event loop while a rescue runs whose
//   map grows to 400,000 areas (200,000 isolated bad blocks in 2 GiB, failing
//   at once through the read fault hook), its map saved every second: the
//   longest time between two turns.
// aside: Copy onto a name beside which lie four 64 MiB maps, none of them
//   this 1 GiB source's (findResumable): time and peak memory, against
//   reading one of them whole as a map.
// Files go under <folder>/duplon-bench-scattered (default /tmp).

#include "copy/job/CopyJob.h"
#include "copy/rescue/CopyEngine.h"
#include "copy/rescue/MapFinder.h"
#include "runtime/Dialogs.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "runtime/files/Transfer.h"
#include "runtime/media/Drives.h"
#include "support/BadMedium.h"
#include "BenchKit.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr qint64 kBlock = 4096, M = 1048576;

[[noreturn]] void die(const QString &what)
{
    std::fprintf(stderr, "bench_scattered: %s\n", qPrintable(what));
    std::exit(2);
}

double cpuSeconds(const rusage &u) { return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6; }

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void writeFile(const QString &path, qint64 size, char fill)
{
    QFile f(path);
    const QByteArray piece(M, fill);
    if (!f.open(QIODevice::WriteOnly))
        die(QStringLiteral("cannot write ") + path);
    for (qint64 at = 0; at < size; at += M)
        if (f.write(piece.constData(), std::min(M, size - at)) < 0)
            die(QStringLiteral("cannot write ") + path);
}

// n distinct blocks of [0, blocks) taken every `stride` blocks, in order.
QList<qint64> scatteredBlocks(qint64 blocks, int n, qint64 stride)
{
    QSet<qint64> set;
    for (quint64 x = 12345; set.size() < n;) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        set.insert(qint64((x >> 17) % quint64(blocks / stride)) * stride);
    }
    QList<qint64> sorted(set.begin(), set.end());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

struct Run {
    double seconds, cpu;
};

Run duplonRescue(const QString &dst, qint64 badBytes)
{
    QDir(dst).removeRecursively();
    QDir().mkpath(dst);
    benchkit::Yielding progress;
    benchkit::YesDialogs dialogs;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    QElapsedTimer clock;
    clock.start();
    const CopyJob::End end
        = CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")}, progress, dialogs).run();
    const double seconds = clock.nsecsElapsed() / 1e9;
    getrusage(RUSAGE_SELF, &after);
    if (end != CopyJob::End::Completed || !dialogs.last.contains(QStringLiteral("%1 bytes could not be read").arg(badBytes)))
        die(QStringLiteral("the rescue did not end as it should: ") + dialogs.last);
    return {seconds, cpuSeconds(after) - cpuSeconds(before)};
}

Run ddrescueRescue(const QString &source, const QString &dst)
{
    QDir(dst).removeRecursively();
    QDir().mkpath(dst);
    const QByteArray src = QFile::encodeName(source), out = QFile::encodeName(dst + QStringLiteral("/dd.bin")),
                     map = QFile::encodeName(dst + QStringLiteral("/dd.map"));
    const char *argv[] = {"ddrescue", "-q", "-b", "4096", src.constData(), out.constData(), map.constData(), nullptr};
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ddrescue", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        die(QStringLiteral("ddrescue did not start"));
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1)
        die(QStringLiteral("ddrescue failed"));
    return {seconds, cpuSeconds(usage)};
}

void scattered(const QString &root, int rounds)
{
    std::printf("\n1 GiB, 100,000 scattered unreadable 4 KiB blocks failing at once (badfs), copy job vs GNU ddrescue -b 4096\n");
    constexpr qint64 size = 1024 * M;
    QDir().mkpath(root + QStringLiteral("/src"));
    writeFile(root + QStringLiteral("/src/src.bin"), size, 's');
    const QList<qint64> bad = scatteredBlocks(size / kBlock, 100000, 1);
    QFile list(root + QStringLiteral("/bad.list"));
    if (!list.open(QIODevice::WriteOnly))
        die(QStringLiteral("cannot write the bad list"));
    for (qint64 b : bad)
        list.write(QByteArray::number(b * kBlock) + '-' + QByteArray::number((b + 1) * kBlock) + '\n');
    list.close();
    BadMedium medium(root + QStringLiteral("/src"), {.badList = list.fileName()});
    if (!medium.mounted()) {
        std::printf("  skipped, no damaged medium: %s\n", qPrintable(medium.whyNot()));
        return;
    }
    rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', root + QStringLiteral("/dst")}});
    std::vector<double> wallRatio, cpuRatio;
    std::printf("  %-8s %12s %12s %12s %12s %8s %8s\n", "round", "Duplon s", "Duplon CPU", "ddrescue s", "ddresc. CPU",
                "time ×", "CPU ×");
    for (int round = 0; round <= rounds; ++round) { // round 0 warms up both
        Run d{}, g{};
        if (round % 2) {
            d = duplonRescue(root + QStringLiteral("/dst"), 100000 * kBlock);
            g = ddrescueRescue(medium.path() + QStringLiteral("/src.bin"), root + QStringLiteral("/dd"));
        } else {
            g = ddrescueRescue(medium.path() + QStringLiteral("/src.bin"), root + QStringLiteral("/dd"));
            d = duplonRescue(root + QStringLiteral("/dst"), 100000 * kBlock);
        }
        std::printf("  %-8s %12.2f %12.2f %12.2f %12.2f %8.2f %8.2f\n", round ? qPrintable(QString::number(round)) : "warm-up",
                    d.seconds, d.cpu, g.seconds, g.cpu, d.seconds / g.seconds, d.cpu / g.cpu);
        std::fflush(stdout);
        if (round) {
            wallRatio.push_back(d.seconds / g.seconds);
            cpuRatio.push_back(d.cpu / g.cpu);
        }
    }
    std::printf("  median of %d rounds: time %.2f ×, CPU %.2f × GNU ddrescue\n", rounds, median(wallRatio), median(cpuRatio));
    QDir(root + QStringLiteral("/dst")).removeRecursively();
    QDir(root + QStringLiteral("/dd")).removeRecursively();
}

void stall(const QString &root)
{
    std::printf("\nThe window's longest stall, a rescue whose map reaches 400,000 areas, saved every second\n");
    constexpr qint64 size = 2048 * M;
    QDir().mkpath(root + QStringLiteral("/plain"));
    writeFile(root + QStringLiteral("/plain/src.bin"), size, 'p');
    const QList<qint64> bad = scatteredBlocks(size / kBlock, 200000, 2); // isolated: two areas each
    const QSet<qint64> badSet(bad.begin(), bad.end());
    rt::setReadFaultHook([&badSet](qint64 offset, qint64 count) {
        for (qint64 b = offset / kBlock; b * kBlock < offset + count; ++b)
            if (badSet.contains(b))
                return EIO;
        return 0;
    });
    CopyEngine::setSaveIntervalOfNewEngines(std::chrono::milliseconds(1000));
    rt::Drives::instance().setFixedMap({{u'c', root + QStringLiteral("/plain")}, {u'd', root + QStringLiteral("/dst")}});
    QElapsedTimer sinceTurn, clock;
    qint64 longest = 0, turns = 0;
    QTimer beat;
    beat.setInterval(1);
    QObject::connect(&beat, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTurn.nsecsElapsed());
        sinceTurn.restart();
        ++turns;
    });
    sinceTurn.start();
    beat.start();
    clock.start();
    const Run r = duplonRescue(root + QStringLiteral("/dst"), 200000 * kBlock);
    beat.stop();
    rt::setReadFaultHook(nullptr);
    CopyEngine::setSaveIntervalOfNewEngines(std::chrono::milliseconds(0));
    QFile map(root + QStringLiteral("/dst/out.bin.map"));
    const qint64 mapBytes = map.size();
    std::printf("  rescue %.1f s (CPU %.1f s), map %lld bytes; %lld turns of the event loop, the longest gap %.1f ms\n",
                r.seconds, r.cpu, (long long)mapBytes, (long long)turns, longest / 1e6);
    QDir(root + QStringLiteral("/dst")).removeRecursively();
    QDir(root + QStringLiteral("/plain")).removeRecursively();
}

// A figure of /proc/self/status in KiB: VmRSS now, VmHWM the peak since the last reset.
qint64 statusKiB(const QByteArray &key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}
void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

void aside(const QString &root)
{
    std::printf("\nSetting aside 64 MiB maps that are not this 1 GiB source's\n");
    const QString folder = root + QStringLiteral("/aside");
    QDir().mkpath(folder);
    for (const QString &name : {QStringLiteral("src.bin"), QStringLiteral("out.bin")}) {
        QFile f(folder + u'/' + name);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(1024 * M))
            die(QStringLiteral("cannot make ") + f.fileName());
    }
    // Another source's: 2 GiB, in areas of 512 bytes, up to 64 MiB of text.
    const auto bigMap = [](const QByteArray &command) {
        QByteArray text = "# Mapfile. Created by GNU ddrescue version 1.27\n# Command line: " + command
            + "\n# Current time: 2026-12-01 10:00:00\n0x00000000     ?               1\n";
        for (qint64 pos = 0; text.size() < 64 * M - 64; pos += 512)
            text += QByteArray::number(pos) + ' ' + "512 " + ((pos / 512) % 2 ? "+\n" : "-\n");
        return text;
    };
    const QByteArray own = bigMap("duplon C:\\other.bin D:\\out.bin");
    for (const auto &[name, text] : {std::pair{QStringLiteral("out.bin.map"), own},
                                     {QStringLiteral("out.bin.1.map"), own},
                                     {QStringLiteral("rescue.log"), bigMap("ddrescue /dev/sdb out.bin rescue.log")},
                                     {QStringLiteral("other.log"), bigMap("ddrescue /dev/sdc other.bin other.log")}}) {
        QFile f(folder + u'/' + name);
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
            die(QStringLiteral("cannot write ") + f.fileName());
    }
    rt::Drives::instance().setFixedMap({{u'c', folder}, {u'd', folder}});
    const rt::File source = rt::File::open(QStringLiteral("C:\\src.bin"), rt::File::Access::Read);
    rt::IoWorker io;
    std::vector<double> times;
    const qint64 base = statusKiB("VmRSS");
    resetPeak();
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer clock;
        clock.start();
        if (findResumable(QStringLiteral("D:\\out.bin"), source, io))
            die(QStringLiteral("a map of another source was offered"));
        times.push_back(clock.nsecsElapsed() / 1e6);
    }
    const qint64 peak = statusKiB("VmHWM");
    std::printf("  four maps of 64 MiB beside the copy: %.2f ms (median of 5), peak memory %lld KiB above the %lld KiB before\n",
                median(times), (long long)(peak - base), (long long)base);
    resetPeak();
    const qint64 base2 = statusKiB("VmRSS");
    QElapsedTimer clock;
    clock.start();
    QFile f(folder + QStringLiteral("/out.bin.map"));
    f.open(QIODevice::ReadOnly);
    const std::optional<RescueMap> whole = RescueMap::parse(f.readAll());
    std::printf("  for comparison, one of them read and parsed whole: %.0f ms, %lld areas, peak memory %lld KiB above\n",
                clock.nsecsElapsed() / 1e6, whole ? (long long)whole->count() : -1LL, (long long)(statusKiB("VmHWM") - base2));
    QDir(folder).removeRecursively();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int rounds = 3;
    QString only, folder = QStringLiteral("/tmp");
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == u"--rounds" && i + 1 < args.size())
            rounds = std::max(1, args[++i].toInt());
        else if (args[i] == u"--only" && i + 1 < args.size())
            only = args[++i];
        else if (!args[i].startsWith(u'-'))
            folder = args[i];
        else
            die(QStringLiteral("usage: bench_scattered [--rounds N] [--only scattered|stall|aside] [folder]"));
    }
    const QString root = QDir(folder).absoluteFilePath(QStringLiteral("duplon-bench-scattered"));
    QDir(root).removeRecursively();
    std::printf("bench_scattered: %s\n", qPrintable(root));
    if (only.isEmpty() || only == u"aside")
        aside(root);
    if (only.isEmpty() || only == u"stall")
        stall(root);
    if (only.isEmpty() || only == u"scattered")
        scattered(root, rounds);
    QDir(root).removeRecursively();
    return 0;
}
