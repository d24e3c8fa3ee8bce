// The time a rescue from a damaged medium takes, through the real window.
//
//   bench_rescue [--delay-ms D] [--no-zones] [folder]
//
// A 24 MiB + 1000 B file (6145 blocks of 4096 bytes) sits on badfs, the
// suite's FUSE file system, with 55 blocks scattered over it unreadable and
// every failing read taking D ms (default 20). One copy through the window;
// printed: the whole rescue's time against (failing reads × D ms) + 2 s, the
// failing reads, and how far the copy is from "exactly the bad blocks zeroed".
// Then the medium gets a little better (every other bad block reads after one
// more failure) and the rescue goes on from its map, against a fresh copy of
// the same medium: the reads and the time each takes, and what each saved.
// Then, unless --no-zones, GNU ddrescue (-b 4096) and this program's engine
// rescue the same damage, each from a medium of its own whose failing reads
// take 200 ms until every readable block has been read once ("secured"):
// one 64 MiB zone in 256 MiB, one 1 GiB zone in 1.25 GiB and 200 scattered
// bad blocks in 256 MiB. Printed for each: the time and the failing reads
// until secured, and, the failures then taking no time, the failing reads of
// the whole rescue and the blocks that differ from the source with its bad
// blocks as zeros. Without ddrescue only this program is measured.
// Needs FUSE (/dev/fuse and the right to mount, root in CI). The copy goes to
// <folder>/duplon-bench-rescue (default /tmp).

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

constexpr qint64 kSize = 24 * 1048576 + 1000;
constexpr int kBadBlocks = 55;

class BenchDialogs : public rt::Dialogs {
public:
    int msgBox(const QString &prompt, int style, const std::optional<QString> &) override
    {
        messages.append(prompt);
        if (onMessage)
            onMessage();
        return (style & 7) == rt::MsgStyle::YesNo ? (answerNo ? rt::AnswerNo : rt::AnswerYes) : rt::AnswerOk;
    }
    std::function<void()> onMessage;
    bool answerNo = false;
    QString inputBox(const QString &, const QString &, const QString &) override { return QString(); }
    QStringList messages;
};


QByteArray content()
{
    QByteArray bytes(kSize, Qt::Uninitialized);
    quint32 x = 4242u;
    for (char &c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    return bytes;
}

// 55 distinct blocks spread over the file, the same in every run.
QList<qint64> badBlocks()
{
    const qint64 blocks = (kSize + kBlock - 1) / kBlock;
    QSet<qint64> chosen;
    quint32 x = 777u;
    while (chosen.size() < kBadBlocks) {
        x = x * 1103515245u + 12345u;
        chosen.insert(qint64(x >> 8) % blocks);
    }
    QList<qint64> out(chosen.begin(), chosen.end());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

int rescue(const QString &root, int delayMs);
void retry(const QString &root, const QList<qint64> &bad, int delayMs);

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int delayMs = 20;
    bool zones = true;
    QString folder = QStringLiteral("/tmp");
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == u"--delay-ms" && i + 1 < args.size())
            delayMs = std::max(0, args[++i].toInt());
        else if (args[i] == u"--no-zones")
            zones = false;
        else if (!args[i].startsWith(u'-'))
            folder = args[i];
        else
            die(QStringLiteral("usage: bench_rescue [--delay-ms D] [--no-zones] [folder]"));
    }
    const QString root = QDir(folder).absoluteFilePath(QStringLiteral("duplon-bench-rescue"));
    QDir(root).removeRecursively();
    const int status = rescue(root, delayMs);
    if (zones)
        againstDdrescue(root + QStringLiteral("/zones"));
    QDir(root).removeRecursively();
    return status;
}

// Lays out the source, mounts it damaged, rescues it through the window and
// prints the figures; the medium is unmounted on return.
int rescue(const QString &root, int delayMs)
{
    if (!QDir().mkpath(root + QStringLiteral("/src")) || !QDir().mkpath(root + QStringLiteral("/dst")))
        die(QStringLiteral("cannot create ") + root);
    const QByteArray source = content();
    {
        QFile f(root + QStringLiteral("/src/damaged.bin"));
        if (!f.open(QIODevice::WriteOnly) || f.write(source) != kSize)
            die(QStringLiteral("cannot write ") + f.fileName());
    }
    const QList<qint64> bad = badBlocks();
    BadMedium::Options options;
    for (qint64 b : bad)
        options.bad.append({b * kBlock, std::min((b + 1) * kBlock, kSize)});
    options.badDelayMs = delayMs;
    BadMedium medium(root + QStringLiteral("/src"), options);
    if (!medium.mounted()) {
        std::printf("bench_rescue: skipped, no damaged medium: %s\n", qPrintable(medium.whyNot()));
        return 0;
    }

    rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', root + QStringLiteral("/dst")}});
    BenchDialogs dialogs;
    MyForm form(&dialogs);
    form.showCentred();
    if (!QTest::qWaitForWindowExposed(&form))
        die(QStringLiteral("the window was never exposed"));
    QTest::qWait(200);
    MyFormControls &c = form.controls();
    c.KorDir->setPath(QStringLiteral("C:\\"));
    if (!c.KorFile->selectFile(QStringLiteral("damaged.bin")))
        die(QStringLiteral("the file list does not show damaged.bin"));
    c.Dir2->setPath(QStringLiteral("D:\\"));
    c.txtDest->setText(QStringLiteral("rescued.bin"));
    QTest::qWait(50);

    QElapsedTimer clock;
    clock.start();
    c.cmdCopy->click();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;

    const BadMedium::Stats stats = medium.stats(QStringLiteral("damaged.bin"));
    const double bound = double(stats.failedReads) * delayMs / 1000.0 + 2.0;
    QFile copy(root + QStringLiteral("/dst/rescued.bin"));
    const QByteArray copied = copy.open(QIODevice::ReadOnly) ? copy.readAll() : QByteArray();
    qint64 wrongBlocks = 0;
    for (qint64 b = 0; b * kBlock < kSize; ++b) {
        const qint64 n = std::min(kBlock, kSize - b * kBlock);
        const QByteArray want = bad.contains(b) ? QByteArray(n, '\0') : source.mid(b * kBlock, n);
        if (copied.mid(b * kBlock, n) != want)
            ++wrongBlocks;
    }
    int maxBadReads = 0;
    for (qint64 b : bad)
        maxBadReads = std::max(maxBadReads, stats.blockReads.value(b));

    std::printf("Duplon rescue benchmark: platform %s, %lld B file, %d bad blocks of %lld B, %d ms per failing read\n",
                qPrintable(QGuiApplication::platformName()), kSize, kBadBlocks, kBlock, delayMs);
    std::printf("  whole rescue                 %8.3f s   bound (%lld failing reads × %d ms) + 2 s = %.3f s  %s\n",
                seconds, stats.failedReads, delayMs, bound, seconds <= bound ? "PASS" : "MISS");
    std::printf("  reads of the medium          %8lld     (at most 2 per bad block: %s, worst %d)\n", stats.reads,
                maxBadReads <= 2 ? "yes" : "no", maxBadReads);
    std::printf("  blocks not as rescued        %8lld     of %lld (0: exactly the bad blocks are zeros)\n",
                wrongBlocks, (kSize + kBlock - 1) / kBlock);
    std::printf("  closing message              %s\n",
                qPrintable(dialogs.messages.join(QStringLiteral(" | ")).replace(QStringLiteral("\r\n"), QStringLiteral(" / "))));
    std::fflush(stdout);
    const bool rescued = seconds <= bound && wrongBlocks == 0;
    retry(root, bad, delayMs);

    // A source whose open is held 5 s, as a drive spinning up: how soon the
    // Exit question comes when Exit is clicked 100 ms into the copy.
    BadMedium slowOpen(root + QStringLiteral("/src"), {.openDelayMs = 5000});
    if (!slowOpen.mounted())
        return rescued ? 0 : 1;
    rt::Drives::instance().setFixedMap({{u'c', slowOpen.path()}, {u'd', root + QStringLiteral("/dst")}});
    c.KorDir->setPath(QStringLiteral("C:\\"));
    c.KorFile->selectFile(QStringLiteral("damaged.bin"));
    c.txtDest->setText(QStringLiteral("held.bin"));
    qint64 clickedAt = -1, askedAt = -1;
    dialogs.onMessage = [&] {
        if (askedAt < 0)
            askedAt = clock.elapsed();
    };
    dialogs.answerNo = true;
    QTimer::singleShot(100, &form, [&] {
        clickedAt = clock.elapsed();
        c.cmdExit->click();
    });
    clock.restart();
    c.cmdCopy->click(); // the question is answered No: the copy then runs to its end
    std::printf("  Exit during an open held 5 s %8lld ms from the click to the question\n", askedAt - clickedAt);
    return rescued ? 0 : 1;
}

// The same medium a little better: the odd bad blocks still fail, the even
// ones read after one more failure. The rescue goes on from its map, then a
// fresh copy is made of a medium in the same state, for comparison; each on a
// medium of its own, so every read is counted for the one that made it.
void retry(const QString &root, const QList<qint64> &bad, int delayMs)
{
    BadMedium::Options options;
    for (qsizetype i = 0; i < bad.size(); ++i)
        (i % 2 ? options.bad : options.marginal)
            .append({bad[i] * kBlock, std::min((bad[i] + 1) * kBlock, kSize), i % 2 ? 0 : 1});
    options.badDelayMs = delayMs;
    struct Run {
        double seconds;
        BadMedium::Stats stats;
        qint64 unreadable;
    };
    const auto run = [&](bool goOn) -> std::optional<Run> {
        BadMedium medium(root + QStringLiteral("/src"), options);
        if (!medium.mounted())
            return std::nullopt;
        rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', root + QStringLiteral("/dst")}});
        QElapsedTimer clock;
        clock.start();
        const rt::File source = rt::File::open(QStringLiteral("C:\\damaged.bin"), rt::File::Access::Read);
        rt::IoWorker io;
        benchkit::Yielding progress;
        qint64 unreadable = -1;
        if (goOn) {
            if (std::optional<Resumable> resumable = findResumable(QStringLiteral("D:\\rescued.bin"), source, io))
                unreadable = RetryPasses(source, *std::move(resumable), progress, io).run().unreadable;
        } else {
            rt::Destination dest = prepareDestination(QStringLiteral("D:\\fresh.bin"), 0644);
            unreadable = CopyEngine(source, dest, progress, io).run().unreadable;
        }
        return Run{double(clock.nsecsElapsed()) / 1e9, medium.stats(QStringLiteral("damaged.bin")), unreadable};
    };
    const std::optional<Run> retried = run(true);
    const std::optional<Run> fresh = run(false);
    if (!retried || !fresh || retried->unreadable < 0) {
        std::printf("  going on from the map         not measured: %s\n", retried ? "no retry was offered" : "no medium");
        return;
    }
    for (const auto &[name, r] : {std::pair{"going on from the map", *retried}, {"a fresh copy instead", *fresh}})
        std::printf("  %-28s %8.3f s   %6lld reads (%lld failing), %lld bytes still unreadable\n", name, r.seconds,
                    r.stats.reads, r.stats.failedReads, r.unreadable);
    std::printf("  reads, going on ÷ fresh      %8.3f\n", double(retried->stats.reads) / double(fresh->stats.reads));
    std::fflush(stdout);
}

[[noreturn]] void die(const QString &what)
{
    std::fprintf(stderr, "bench_rescue: %s\n", qPrintable(what));
    std::exit(2);
}
