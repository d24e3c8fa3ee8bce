// Copy speed and memory through the real window, against cp of the same file
// in the same round.
//
//   bench_copy [--rounds N] [--big-mib M] [--keep] [folder]
//
// The test files go under <folder>/duplon-bench (default /tmp). Cases:
//   1  a 1 GiB file, warm in the page cache: window / cp            bound <= 1.10
//   2  100 MiB + 1048575 bytes vs 100 MiB, both through the window  bound <= 1.50
//   3  peak resident memory during the 1 GiB copy above the idle
//      window's resident memory                                    bound <= 2 MiB
// Every timed run writes a new destination file (deleted before the run), for
// cp and for the window alike, and starts after a sync so that writeback of an
// earlier run does not land in it. A round runs each side more than once in
// interleaved order and keeps each side's fastest run; ratios are taken within
// a round, then the median over the rounds is printed. Absolute times on a
// shared VM are noisy: quote the ratios.
//
// For diagnosis the 1 GiB case also times the program's own transfer loop
// without the window (with and without a yield per piece), and the time from
// the click to the first piece and from the last piece to the return.

#include "app/MyForm.h"
#include "runtime/Dialogs.h"
#include "runtime/Drives.h"
#include "runtime/Controls.h"
#include "runtime/FileAccess.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStyleFactory>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr qint64 kMiB = 1048576;
constexpr int kSmallReps = 4;

// Answers Yes to the overwrite question and OK to everything else, and keeps
// the last message so a run can check that the copy reported completion.
class BenchDialogs : public rt::Dialogs {
public:
    int msgBox(const QString &prompt, int style, const std::optional<QString> &) override
    {
        ++count;
        last = prompt;
        return (style & 7) == rt::MsgStyle::YesNo ? rt::AnswerYes : rt::AnswerOk;
    }
    QString inputBox(const QString &, const QString &, const QString &) override { return QString(); }

    int count = 0;
    QString last;
};

// Counts paint events of the widgets a copy updates.
class PaintCounter : public QObject {
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
    long paints = 0;
};

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "bench_copy: %s\n", what.c_str());
    std::exit(2);
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double maxOf(const std::vector<double> &v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// A file of the given size with bytes that vary with the offset; kept when it
// is already there with that size.
void makeFile(const std::string &path, qint64 size)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_size == size)
        return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die("cannot create " + path + ": " + std::strerror(errno));
    std::vector<char> buf(kMiB);
    quint32 x = 12345u;
    for (char &c : buf) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    qint64 done = 0;
    quint32 block = 0;
    while (done < size) {
        // A different first word in every MiB, so no two pieces are alike.
        std::memcpy(buf.data(), &block, sizeof block);
        ++block;
        const size_t want = size_t(std::min<qint64>(kMiB, size - done));
        if (::write(fd, buf.data(), want) != ssize_t(want))
            die("cannot write " + path + ": " + std::strerror(errno));
        done += qint64(want);
    }
    ::close(fd);
}

// Reads a file once so it sits in the page cache.
void warm(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open " + path);
    std::vector<char> buf(kMiB);
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
    ::close(fd);
}

qint64 sizeOf(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

bool sameContent(const std::string &a, const std::string &b)
{
    const qint64 n = sizeOf(a);
    if (n < 0 || n != sizeOf(b))
        return false;
    if (n == 0)
        return true;
    const int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
    const int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
    void *ma = mmap(nullptr, size_t(n), PROT_READ, MAP_PRIVATE, fa, 0);
    void *mb = mmap(nullptr, size_t(n), PROT_READ, MAP_PRIVATE, fb, 0);
    const bool same = ma != MAP_FAILED && mb != MAP_FAILED && std::memcmp(ma, mb, size_t(n)) == 0;
    if (ma != MAP_FAILED)
        munmap(ma, size_t(n));
    if (mb != MAP_FAILED)
        munmap(mb, size_t(n));
    ::close(fa);
    ::close(fb);
    return same;
}

// Removes the destination and lets earlier writes settle, so every timed run
// writes a new file from the same starting point.
void freshDestination(const std::string &path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        die("cannot delete " + path + ": " + std::strerror(errno));
    ::sync();
}

// Seconds that `cp src dst` takes, child process start to exit.
double timeCp(const std::string &src, const std::string &dst)
{
    freshDestination(dst);
    const char *argv[] = {"cp", src.c_str(), dst.c_str(), nullptr};
    QElapsedTimer t;
    t.start();
    pid_t pid;
    if (posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        die("cannot start cp");
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const double s = double(t.nsecsElapsed()) / 1e9;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die("cp failed for " + src);
    if (sizeOf(dst) != sizeOf(src))
        die("cp left a wrong size for " + dst);
    return s;
}

qint64 statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    return -1;
}

void resetPeak()
{
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, "5", 1) != 1)
        die("cannot reset the peak through /proc/self/clear_refs");
    ::close(fd);
}

// The program's own transfer (rt::Transfer) in the same pieces as a copy, with
// no window: the floor the window's copy can reach. With yield, one
// processEvents per piece as the copy does, but nothing on the window changes.
double timeBareLoop(const QString &srcDrivePath, const QString &dstDrivePath, const std::string &dstHost,
                    bool yield)
{
    freshDestination(dstHost);
    QElapsedTimer t;
    t.start();
    rt::File source = rt::File::open(srcDrivePath, rt::File::Access::Read);
    rt::File dest = rt::File::open(dstDrivePath, rt::File::Access::Write, source.permissions());
    rt::Transfer transfer;
    qint64 position = 0;
    bool small = false;
    for (;;) {
        const qint64 length = source.length();
        if (!small && length - position < kMiB)
            small = true;
        const qint64 piece = small ? 1024 : kMiB;
        const rt::PieceResult r = transfer.copy(source, position, dest.descriptor(), position, piece);
        if (r.failure != rt::PieceResult::Failure::None)
            die("the bare transfer failed");
        position += r.bytes;
        if (yield)
            rt::yieldToEvents();
        if (r.bytes < piece)
            break;
    }
    source.close();
    dest.close();
    return double(t.nsecsElapsed()) / 1e9;
}

struct WindowRun {
    double seconds = 0;
    long pieces = 0;
    long paints = 0;
    double beforeFirst = 0; // click to the first piece's caption
    double afterLast = 0;   // the last piece's caption to the return of the click
    qint64 idleKiB = 0; // VmRSS before the copy
    qint64 peakKiB = 0; // VmHWM after it, the peak reset just before
};

class Bench {
public:
    Bench(const QString &root, BenchDialogs &dialogs) : m_root(root), m_dialogs(dialogs) {}

    void open()
    {
        rt::Drives::instance().setFixedMap({{u'c', m_root}});
        if (::chdir(QFile::encodeName(m_root).constData()) != 0)
            die("cannot enter " + m_root.toStdString());
        m_form = std::make_unique<MyForm>(&m_dialogs);
        FormControls &c = m_form->controls();
        for (QWidget *w : {static_cast<QWidget *>(c.KorBar), static_cast<QWidget *>(c.lblCopied),
                           static_cast<QWidget *>(c.lblInputLoc)})
            w->installEventFilter(&m_paintCounter);
        QObject::connect(c.lblInputLoc, &rt::Label::captionSet, [this] {
            if (m_pieces++ == 0)
                m_firstPieceNs = m_clock.nsecsElapsed();
            m_lastPieceNs = m_clock.nsecsElapsed();
        });
        m_form->showCentred();
        if (!QTest::qWaitForWindowExposed(m_form.get()))
            die("the window was never exposed");
        settle(300);
        c.KorDir->setPath(QStringLiteral("C:\\src"));
        c.Dir2->setPath(QStringLiteral("C:\\dst"));
        settle(100);
    }

    // Lets pending repaints and timers run, as an idle window would.
    static void settle(int ms) { QTest::qWait(ms); }

    // One copy through the window: pick the source, type the destination name,
    // press Copy. The destination is new (deleted first).
    WindowRun copy(const QString &name, bool measureMemory)
    {
        FormControls &c = m_form->controls();
        const std::string dst = host(QStringLiteral("dst/") + name);
        freshDestination(dst);
        c.KorFile->refresh();
        if (!c.KorFile->selectFile(name))
            die("the file list does not show " + name.toStdString());
        c.txtDest->setText(name);
        settle(50);

        WindowRun run;
        if (measureMemory) {
            run.idleKiB = statusKiB("VmRSS");
            resetPeak();
            if (statusKiB("VmHWM") > run.idleKiB + 256)
                die("/proc/self/clear_refs did not reset the peak resident memory");
        }
        const int messagesBefore = m_dialogs.count;
        m_pieces = 0;
        m_paintCounter.paints = 0;
        m_clock.start();
        c.cmdCopy->click();
        const qint64 endNs = m_clock.nsecsElapsed();
        run.seconds = double(endNs) / 1e9;
        run.beforeFirst = double(m_firstPieceNs) / 1e9;
        run.afterLast = double(endNs - m_lastPieceNs) / 1e9;
        if (measureMemory)
            run.peakKiB = statusKiB("VmHWM");
        run.pieces = m_pieces;
        run.paints = m_paintCounter.paints;

        if (m_dialogs.count != messagesBefore + 1 || m_dialogs.last != u"File Copy Completed.")
            die("the copy of " + name.toStdString() + " did not report completion: "
                + m_dialogs.last.toStdString());
        if (sizeOf(dst) != sizeOf(host(QStringLiteral("src/") + name)))
            die("the copy of " + name.toStdString() + " has the wrong size");
        return run;
    }

    std::string host(const QString &relative) const { return (m_root + u'/' + relative).toStdString(); }

private:
    QString m_root;
    BenchDialogs &m_dialogs;
    std::unique_ptr<MyForm> m_form;
    PaintCounter m_paintCounter;
    long m_pieces = 0;
    QElapsedTimer m_clock;
    qint64 m_firstPieceNs = 0;
    qint64 m_lastPieceNs = 0;
};

const char *verdict(bool ok) { return ok ? "PASS" : "MISS"; }

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    int rounds = 7;
    qint64 bigMiB = 1024;
    bool keep = false;
    QString folder = QStringLiteral("/tmp");
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == u"--rounds" && i + 1 < args.size())
            rounds = std::max(1, args.at(++i).toInt());
        else if (a == u"--big-mib" && i + 1 < args.size())
            bigMiB = std::max<qint64>(2, args.at(++i).toLongLong());
        else if (a == u"--keep")
            keep = true;
        else if (a == u"-h" || a == u"--help") {
            std::printf("usage: bench_copy [--rounds N] [--big-mib M] [--keep] [folder]\n"
                        "  test files go under <folder>/duplon-bench (default /tmp); --keep leaves\n"
                        "  the sources there for the next run\n");
            return 0;
        } else if (!a.startsWith(u'-'))
            folder = a;
        else
            die("unknown option " + a.toStdString());
    }

    const QString root = QDir(folder).absoluteFilePath(QStringLiteral("duplon-bench"));
    if (!QDir().mkpath(root + QStringLiteral("/src")) || !QDir().mkpath(root + QStringLiteral("/dst")))
        die("cannot create " + root.toStdString());

    const QString bigName = QStringLiteral("big.bin");
    const QString baseName = QStringLiteral("base100.bin");
    const QString tailName = QStringLiteral("tail100.bin");
    const qint64 bigSize = bigMiB * kMiB;
    const qint64 baseSize = 100 * kMiB;
    const qint64 tailSize = 100 * kMiB + 1048575;

    BenchDialogs dialogs;
    Bench bench(root, dialogs);
    auto src = [&](const QString &n) { return bench.host(QStringLiteral("src/") + n); };
    auto dst = [&](const QString &n) { return bench.host(QStringLiteral("dst/") + n); };

    std::printf("Preparing %s ...\n", qPrintable(root));
    std::fflush(stdout);
    makeFile(src(bigName), bigSize);
    makeFile(src(baseName), baseSize);
    makeFile(src(tailName), tailSize);
    ::sync();
    for (const QString &n : {bigName, baseName, tailName})
        warm(src(n));

    bench.open();

    // The first copy of the process also serves as warm-up; its memory counts.
    std::vector<double> memDeltaKiB;
    qint64 firstIdle = 0, firstPeak = 0;
    {
        const WindowRun first = bench.copy(bigName, true);
        firstIdle = first.idleKiB;
        firstPeak = first.peakKiB;
        memDeltaKiB.push_back(double(first.peakKiB - first.idleKiB));
        if (!sameContent(src(bigName), dst(bigName)))
            die("the window's copy of " + bigName.toStdString() + " differs from its source");
        (void)timeCp(src(bigName), dst(bigName));
        const WindowRun t = bench.copy(tailName, false);
        if (!sameContent(src(tailName), dst(tailName)))
            die("the window's copy of " + tailName.toStdString() + " differs from its source");
        (void)t;
    }

    std::vector<double> cpBig, winBig, ratioBig, ratioBare, ratioBareYield, ratioWinBare, bigBefore, bigAfter, cpBase, cpTail, winBase, winTail, ratioTail,
        ratioBaseCp, ratioTailCp;
    long bigPieces = 0, bigPaints = 0, tailPieces = 0, tailPaints = 0;

    std::printf("\n%-6s %9s %9s %7s | %9s %9s %9s %9s %7s | %9s\n", "round", "cp 1G", "win 1G", "×cp",
                "cp 100M", "win 100M", "cp tail", "win tail", "tail×", "peak+KiB");
    const QString srcBig = QStringLiteral("C:\\src\\") + bigName;
    const QString dstBig = QStringLiteral("C:\\dst\\") + bigName;
    for (int r = 0; r < rounds; ++r) {
        // Each round runs every side twice, in the order A B C D D C B A with
        // the start rotating from round to round, and keeps each side's faster
        // run: a drift in the machine's speed within the round then favours no
        // side, and one run that the VM slows down does not decide the round.
        double c = 1e9, w = 1e9, bare = 1e9, bareYield = 1e9;
        WindowRun wr;
        for (int k = 0; k < 8; ++k) {
            switch ((r + (k < 4 ? k : 7 - k)) % 4) {
            case 0: c = std::min(c, timeCp(src(bigName), dst(bigName))); break;
            case 1: {
                const WindowRun run = bench.copy(bigName, true);
                memDeltaKiB.push_back(double(run.peakKiB - run.idleKiB));
                if (run.seconds < w) {
                    w = run.seconds;
                    wr = run;
                }
                break;
            }
            case 2: bare = std::min(bare, timeBareLoop(srcBig, dstBig, dst(bigName), false)); break;
            case 3: bareYield = std::min(bareYield, timeBareLoop(srcBig, dstBig, dst(bigName), true)); break;
            }
        }
        cpBig.push_back(c);
        winBig.push_back(w);
        ratioBig.push_back(w / c);
        ratioBare.push_back(bare / c);
        ratioBareYield.push_back(bareYield / c);
        ratioWinBare.push_back(w / bare);
        bigBefore.push_back(wr.beforeFirst * 1e3);
        bigAfter.push_back(wr.afterLast * 1e3);
        bigPieces = wr.pieces;
        bigPaints = wr.paints;

        // The 100 MiB pair is short (tens of ms): several interleaved runs of
        // each, keeping each side's fastest.
        double cb = 1e9, ct = 1e9, wb = 1e9, wt = 1e9;
        for (int k = 0; k < kSmallReps; ++k) {
            const bool baseFirst = (r + k) % 2 == 0;
            for (int side = 0; side < 2; ++side) {
                if ((side == 0) == baseFirst) {
                    wb = std::min(wb, bench.copy(baseName, false).seconds);
                } else {
                    const WindowRun run = bench.copy(tailName, false);
                    if (run.seconds < wt) {
                        wt = run.seconds;
                        tailPieces = run.pieces;
                        tailPaints = run.paints;
                    }
                }
            }
            cb = std::min(cb, timeCp(src(baseName), dst(baseName)));
            ct = std::min(ct, timeCp(src(tailName), dst(tailName)));
        }
        cpBase.push_back(cb);
        cpTail.push_back(ct);
        winBase.push_back(wb);
        winTail.push_back(wt);
        ratioTail.push_back(wt / wb);
        ratioBaseCp.push_back(wb / cb);
        ratioTailCp.push_back(wt / ct);

        std::printf("%-6d %8.3fs %8.3fs %7.2f | %8.3fs %8.3fs %8.3fs %8.3fs %7.2f | %9.0f\n", r + 1, c, w,
                    w / c, cb, wb, ct, wt, wt / wb, maxOf(memDeltaKiB));
        std::fflush(stdout);
    }

    if (!keep) {
        for (const QString &n : {bigName, baseName, tailName}) {
            ::unlink(src(n).c_str());
            ::unlink(dst(n).c_str());
        }
    } else {
        for (const QString &n : {bigName, baseName, tailName})
            ::unlink(dst(n).c_str());
    }

    const double mb = 1e6;
    const double bigRatio = median(ratioBig);
    const double tailRatio = median(ratioTail);
    const double memWorst = maxOf(memDeltaKiB);
    const bool ok1 = bigRatio <= 1.10, ok2 = tailRatio <= 1.50, ok3 = memWorst <= 2048;

    std::printf("\nDuplon copy benchmark: platform %s, %d rounds (medians), files in %s\n",
                qPrintable(QGuiApplication::platformName()), rounds, qPrintable(root));
    std::printf("%-44s %9s %9s %10s %8s  %s\n", "case", "window", "MB/s", "ratio", "bound", "result");
    std::printf("%-44s %8.3fs %9.0f %7.2f×cp %8s  %s\n",
                qPrintable(QStringLiteral("1  %1 MiB warm (cp %2 s, %3 MB/s)")
                               .arg(bigMiB)
                               .arg(median(cpBig), 0, 'f', 3)
                               .arg(double(bigSize) / mb / median(cpBig), 0, 'f', 0)),
                median(winBig), double(bigSize) / mb / median(winBig), bigRatio, "<= 1.10", verdict(ok1));
    std::printf("%-44s %8.3fs %9.0f %7.2f×cp %8s\n", "   100 MiB (window vs cp)", median(winBase),
                double(baseSize) / mb / median(winBase), median(ratioBaseCp), "");
    std::printf("%-44s %8.3fs %9.0f %7.2f×cp %8s\n", "   100 MiB + 1048575 B (window vs cp)", median(winTail),
                double(tailSize) / mb / median(winTail), median(ratioTailCp), "");
    std::printf("%-44s %9s %9s %6.2f×100M %7s  %s\n", "2  tail: (100 MiB + 1048575 B) / 100 MiB", "", "",
                tailRatio, "<= 1.50", verdict(ok2));
    std::printf("%-44s %9s %9s %6.0f KiB %8s  %s\n", "3  peak RSS above idle during the big copy", "", "",
                memWorst, "<= 2048", verdict(ok3));
    std::printf("   reference, no window: the same transfer loop %.2f×cp, with a yield per piece %.2f×cp\n",
                median(ratioBare), median(ratioBareYield));
    std::printf("   window / the same loop without window: %.3f; before the first piece %.2f ms, after the last %.2f ms\n",
                median(ratioWinBare), median(bigBefore), median(bigAfter));
    std::printf("   memory: first copy idle %lld KiB, peak %lld KiB; per-round peak above idle: median %.0f KiB, "
                "worst %.0f KiB\n",
                firstIdle, firstPeak, median(memDeltaKiB), memWorst);
    std::printf("   pieces / repaints of bar+captions in the last round: big %ld / %ld, tail %ld / %ld\n",
                bigPieces, bigPaints, tailPieces, tailPaints);
    std::printf("   cost of the 1024 small pieces of the tail: %.1f µs each\n",
                (median(winTail) - median(winBase)) / 1024 * 1e6);
    std::fflush(stdout);
    return ok1 && ok2 && ok3 ? 0 : 1;
}
