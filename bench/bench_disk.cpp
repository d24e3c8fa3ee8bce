// A rescue from a damaged disk, not a damaged file, against GNU ddrescue.
//
//   bench_disk [--rounds N] [--delay-ms D] [--size-mib S] [--zone-mib Z]
//
// The disk (tests/support/DamagedDisk.h): an ext4 volume on a loop device
// (read-only, direct I/O, 4 KiB sectors) whose image lies on badfs, the
// suite's FUSE medium, so every read the block layer makes is counted there,
// at the device. One file of S MiB (default 128) lies across a Z MiB zone
// (default 4) that fails every read after D ms (default 20). In each round, in
// an order that turns from round to round, on the same disk with its page
// cache dropped before each: this program's engine, GNU ddrescue -d (direct
// access) and buffered GNU ddrescue, both -b 4096 (the disk's sector).
// Printed for each: the failing reads and all reads at the device, the time of the whole
// rescue and the readable 4 KiB blocks that did not arrive; then the medians.
// Needs root, /dev/loop-control and /dev/fuse; without ddrescue only this
// program is measured.

#include "copy/job/WritingPlan.h"
#include "copy/rescue/CopyEngine.h"
#include "runtime/files/Destination.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/IoWorker.h"
#include "runtime/media/Drives.h"
#include "support/DamagedDisk.h"
#include "support/TestDrives.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr qint64 M = 1048576;

struct Figures {
    qint64 failed = 0;
    qint64 reads = 0;
    double seconds = 0;
    qint64 lost = 0;
};

enum class Reader { Duplon, DdrescueDirect, DdrescueBuffered };
const char *const kNames[] = {"Duplon", "ddrescue -d", "ddrescue (buffered)"};

Figures rescueOnce(Reader reader, const DamagedDisk &disk, const TestDrives &drives, const QByteArray &content,
                   BadMedium::Range zone)
{
    const QString out = drives.host(u'd', QStringLiteral("copy.bin"));
    QFile::remove(out);
    QFile::remove(out + QStringLiteral(".map"));
    disk.forget();
    const qint64 before = disk.failedReads(), readsBefore = disk.reads();
    QElapsedTimer clock;
    clock.start();
    if (reader == Reader::Duplon) {
        const rt::File source = rt::File::open(QStringLiteral("C:\\data.bin"), rt::File::Access::Read);
        rt::Destination dest = prepareDestination(QStringLiteral("D:\\copy.bin"), 0644);
        rt::IoWorker io;
        SilentProgress progress;
        const CopyEngine::Outcome o = CopyEngine(source, dest, progress, io).run();
        if (o.end == CopyEngine::Outcome::End::Completed)
            (void)dest.commit(o.length);
    } else {
        QStringList args{QStringLiteral("-q"), QStringLiteral("-b4096"), disk.filePath(), out, out + QStringLiteral(".map")};
        if (reader == Reader::DdrescueDirect)
            args.prepend(QStringLiteral("-d"));
        QProcess::execute(QStringLiteral("ddrescue"), args);
    }
    Figures f;
    f.seconds = double(clock.nsecsElapsed()) / 1e9;
    f.failed = disk.failedReads() - before;
    f.reads = disk.reads() - readsBefore;
    QFile copy(out);
    f.lost = lostSectors(content, copy.open(QIODevice::ReadOnly) ? copy.readAll() : QByteArray(), zone).size();
    return f;
}

template <typename T>
T median(QList<T> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int rounds = 3, delayMs = 20;
    qint64 sizeMiB = 128, zoneMiB = 4;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i + 1 < args.size(); i += 2) {
        const qint64 v = args[i + 1].toLongLong();
        if (args[i] == u"--rounds")
            rounds = int(std::max<qint64>(1, v));
        else if (args[i] == u"--delay-ms")
            delayMs = int(std::max<qint64>(0, v));
        else if (args[i] == u"--size-mib")
            sizeMiB = std::max<qint64>(2, v);
        else if (args[i] == u"--zone-mib")
            zoneMiB = std::max<qint64>(1, v);
    }
    if (args.size() % 2 != 0 || zoneMiB >= sizeMiB) {
        std::fprintf(stderr, "usage: bench_disk [--rounds N] [--delay-ms D] [--size-mib S] [--zone-mib Z]\n");
        return 2;
    }
    const bool haveDdrescue = !QStandardPaths::findExecutable(QStringLiteral("ddrescue")).isEmpty();
    QByteArray content(sizeMiB * M, Qt::Uninitialized);
    quint32 x = 26;
    for (qint64 i = 0; i < content.size(); i += 4) { // not compressible, not repeating within a block
        x = x * 1664525u + 1013904223u;
        std::memcpy(content.data() + i, &x, 4);
    }
    const BadMedium::Range zone{(sizeMiB - zoneMiB) / 2 * M, (sizeMiB - zoneMiB) / 2 * M + zoneMiB * M};
    DamagedDisk disk(content, zone, delayMs);
    if (!disk.mounted()) {
        std::printf("no damaged disk here: %s\n", qPrintable(disk.whyNot()));
        return 0;
    }
    TestDrives drives;
    rt::Drives::instance().setFixedMap({{u'c', disk.path()}, {u'd', drives.host(u'd')}});

    std::printf("A %lld MiB file on ext4 over a loop device (direct I/O, 4 KiB sectors) on badfs, a %lld MiB zone\n"
                "unreadable, %d ms per failing read; failing reads counted at the device.%s\n",
                sizeMiB, zoneMiB, delayMs, haveDdrescue ? "" : " GNU ddrescue is not installed: this program only.");
    std::printf("  %-6s %-20s %14s %10s %9s %16s\n", "round", "reader", "failing reads", "all reads", "time s", "readable lost");
    QList<Reader> order{Reader::Duplon, Reader::DdrescueDirect, Reader::DdrescueBuffered};
    if (!haveDdrescue)
        order = {Reader::Duplon};
    QList<Figures> all[3];
    for (int round = 1; round <= rounds; ++round) {
        for (const Reader r : order) {
            const Figures f = rescueOnce(r, disk, drives, content, zone);
            all[int(r)].append(f);
            std::printf("  %-6d %-20s %14lld %10lld %9.2f %16lld\n", round, kNames[int(r)], f.failed, f.reads, f.seconds, f.lost);
            std::fflush(stdout);
        }
        std::rotate(order.begin(), order.begin() + 1, order.end());
    }
    std::printf("Medians of %d rounds:\n", rounds);
    for (int r = 0; r < 3; ++r) {
        if (all[r].isEmpty())
            continue;
        QList<qint64> failed, reads, lost;
        QList<double> seconds;
        for (const Figures &f : all[r])
            failed.append(f.failed), reads.append(f.reads), seconds.append(f.seconds), lost.append(f.lost);
        std::printf("  %-27s %14lld %10lld %9.2f %16lld\n", kNames[r], median(failed), median(reads), median(seconds),
                    median(lost));
    }
    return 0;
}
