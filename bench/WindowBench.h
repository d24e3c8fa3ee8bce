#pragma once

// The copy benchmark's runs: through the window, and the same pieces
// without it (alone, or through the I/O worker), timed by events.

#include "CopyBenchFiles.h"

namespace copybench {

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


// The window's copy without the window: the same pieces (rt::Transfer) into
// the same kind of destination file (rt::Destination, write-behind, flush and
// name at the end). Alone: every call on this thread, no events. Through the
// worker: each piece, the flush and the naming on an rt::IoWorker of its own
// and one yield per piece, as the copy runs them, but nothing on the window
// changes.
enum class Loop { Alone, ThroughWorker };

inline double timeBareLoop(const QString &srcDrivePath, const QString &dstDrivePath, const std::string &srcHost,
                    const std::string &dstHost, Loop how)
{
    freshDestination(dstHost);
    QElapsedTimer t;
    t.start();
    try {
        rt::File source = rt::File::open(srcDrivePath, rt::File::Access::Read);
        rt::Destination dest = prepareDestination(dstDrivePath, source.permissions());
        std::unique_ptr<rt::IoWorker> worker;
        if (how == Loop::ThroughWorker)
            worker = std::make_unique<rt::IoWorker>();
        const auto onWorker = [&worker](auto op) { return worker ? worker->run(op) : op(); };
        rt::Transfer transfer;
        onWorker([&] { dest.empty(); });
        qint64 position = 0;
        bool small = false;
        for (;;) {
            const qint64 length = source.length();
            if (!small && length - position < kMiB)
                small = true;
            const qint64 piece = small ? 1024 : kMiB;
            const rt::PieceResult r = onWorker([&] {
                const rt::PieceResult moved = transfer.copy(source, position, dest.descriptor(), position, piece);
                dest.writeBehind(position, moved.bytes);
                return moved;
            });
            if (r.failure != rt::PieceResult::Failure::None)
                die("the bare transfer failed");
            position += r.bytes;
            if (worker)
                rt::yieldToEvents();
            if (r.bytes < piece)
                break;
        }
        onWorker([&] {
            if (const auto committed = dest.commit(position); committed.folderFlushError || committed.closeError)
                die("the bare transfer's file did not close cleanly");
        });
        source.close();
    } catch (const rt::RtError &e) {
        die("the bare transfer into " + dstHost + " failed: " + e.reason().toStdString());
    }
    const double s = double(t.nsecsElapsed()) / 1e9;
    if (sizeOf(dstHost) != sizeOf(srcHost))
        die("the bare transfer left a wrong size for " + dstHost);
    return s;
}

inline qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When the kernel reports a folder's events, on the same clock as nowNs():
// a copy timed without what goes on around it (a process's start, the
// window's click handling after the name is taken).
class FolderEvents {
public:
    explicit FolderEvents(const std::string &folder)
    {
        m_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (m_fd < 0 || inotify_add_watch(m_fd, folder.c_str(), IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO) < 0
            || pipe2(m_stop, O_CLOEXEC) != 0)
            die("cannot watch " + folder + ": " + std::strerror(errno));
        m_thread = std::thread([this] { loop(); });
    }
    ~FolderEvents()
    {
        (void)!::write(m_stop[1], "x", 1);
        m_thread.join();
        ::close(m_fd);
        ::close(m_stop[0]);
        ::close(m_stop[1]);
    }
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_seen.clear();
    }
    // The time of the last event of that kind for that name; 0 when none.
    qint64 at(uint32_t kind, const std::string &name)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_seen.find({kind, name});
        return it == m_seen.end() ? 0 : it->second;
    }

private:
    void loop()
    {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            pollfd p[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0 && errno != EINTR)
                return;
            if (p[1].revents)
                return;
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            const qint64 now = nowNs();
            std::lock_guard lock(m_mutex);
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
                for (uint32_t kind : {uint32_t(IN_CREATE), uint32_t(IN_CLOSE_WRITE), uint32_t(IN_MOVED_TO)})
                    if (e->mask & kind && e->len)
                        m_seen[{kind, std::string(e->name)}] = now;
                at += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
    }

    int m_fd = -1;
    int m_stop[2] = {-1, -1};
    std::mutex m_mutex;
    std::map<std::pair<uint32_t, std::string>, qint64> m_seen;
    std::thread m_thread;
};

struct WindowRun {
    double seconds = 0;
    long pieces = 0;
    long paints = 0;
    double beforeFirst = 0; // click to the first piece's caption
    double afterLast = 0;   // the last piece's caption to the return of the click: flush, name, message
    qint64 clickedNs = 0;   // nowNs() at the click
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
        MyFormControls &c = m_form->controls();
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
        settle(100);
    }

    // Lets pending repaints and timers run, as an idle window would.
    static void settle(int ms) { QTest::qWait(ms); }

    // One copy through the window from src into the given folder: open that
    // folder in the destination list, pick the source, type the destination
    // name, press Copy. The destination is new (deleted first). The copy must
    // report completion and match its source.
    WindowRun copy(const QString &name, const QString &folder, bool measureMemory)
    {
        MyFormControls &c = m_form->controls();
        const std::string src = host(QStringLiteral("src/") + name);
        const std::string dst = host(folder + u'/' + name);
        freshDestination(dst);
        if (folder != m_destFolder) {
            c.Dir2->setPath(QStringLiteral("C:\\") + folder);
            m_destFolder = folder;
        }
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
        run.clickedNs = nowNs();
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
            die("the copy of " + name.toStdString() + " into " + folder.toStdString()
                + " did not report completion: " + m_dialogs.last.toStdString());
        if (!sameContent(src, dst))
            die("the window's copy " + dst + " differs from its source");
        return run;
    }

    std::string host(const QString &relative) const { return (m_root + u'/' + relative).toStdString(); }

private:
    QString m_root;
    BenchDialogs &m_dialogs;
    std::unique_ptr<MyForm> m_form;
    PaintCounter m_paintCounter;
    QString m_destFolder;
    long m_pieces = 0;
    QElapsedTimer m_clock;
    qint64 m_firstPieceNs = 0;
    qint64 m_lastPieceNs = 0;
};

// Runs every side twice, in the order A B C D D C B A with the start rotating
// with `turn`, and returns each side's fastest run: a drift in the machine's
// speed within the round then favours no side, and one run that the VM slows
// down does not decide the round.
inline std::vector<double> interleaved(int turn, const std::vector<std::function<double()>> &sides)
{
    const size_t n = sides.size();
    std::vector<double> best(n, 1e9);
    for (size_t k = 0; k < 2 * n; ++k) {
        const size_t i = (size_t(turn) + (k < n ? k : 2 * n - 1 - k)) % n;
        best[i] = std::min(best[i], sides[i]());
    }
    return best;
}

inline const char *verdict(bool ok) { return ok ? "PASS" : "MISS"; }

// Medians of one 1 GiB destination over the rounds.
struct BigCase {
    std::vector<double> cp, win, ratio, alone, worker, winOverWorker, before, after;
    std::vector<double> byEvents; // window click to rename ÷ cp creation to close, by inotify
    long pieces = 0, paints = 0;
};

// Medians of the 100 MiB pair on one destination over the rounds.
struct TailCase {
    std::vector<double> cpBase, cpTail, winBase, winTail, ratio, baseCp, tailCp, smallPieceUs;
    long pieces = 0, paints = 0;
};

} // namespace copybench

namespace copybench {

// The big file onto the tmpfs as a user sees it, timed by inotify: the window
// from the click on Copy to the rename that names the copy, cp from its file's
// creation to its last close. Three warm-up copies of each side, then per round
// one of each, the side that goes first alternating; every round is printed.
// Whether the median ratio meets the goal (<= 1.05) as the exit status.
inline int tmpfsByEvents(Bench &bench, int rounds, const QString &name, const std::string &src, const std::string &dst,
                         bool keep)
{
    const std::string folder = dst.substr(0, dst.rfind('/'));
    const std::string base = name.toStdString();
    FolderEvents events(folder);
    // The events come through a thread of their own: give them a moment.
    const auto seen = [&](uint32_t kind) {
        for (int i = 0; i < 200 && !events.at(kind, base); ++i)
            QThread::msleep(5);
        return events.at(kind, base);
    };
    const auto cpSide = [&] {
        events.clear();
        (void)timeCp(src, dst, Flush::No);
        const qint64 to = seen(IN_CLOSE_WRITE), from = seen(IN_CREATE);
        if (!from || !to)
            die("no inotify events for cp's copy in " + folder);
        ::unlink(dst.c_str());
        return double(to - from) / 1e9;
    };
    const auto windowSide = [&] {
        events.clear();
        const WindowRun run = bench.copy(name, QStringLiteral("ram"), false);
        const qint64 named = seen(IN_MOVED_TO);
        if (!named)
            die("no rename of the window's copy seen in " + folder);
        ::unlink(dst.c_str());
        return double(named - run.clickedNs) / 1e9;
    };
    for (int i = 0; i < 3; ++i)
        cpSide(), windowSide();
    std::vector<double> cp, win, ratio;
    std::printf("\n1 GiB onto a tmpfs, by inotify: window click to rename, cp creation to close\n%-5s %9s %9s %7s\n",
                "round", "cp", "window", "×");
    for (int r = 0; r < rounds; ++r) {
        double c = 0, w = 0;
        if (r % 2 == 0)
            c = cpSide(), w = windowSide();
        else
            w = windowSide(), c = cpSide();
        cp.push_back(c), win.push_back(w), ratio.push_back(w / c);
        std::printf("%-5d %8.3fs %8.3fs %7.3f%s\n", r + 1, c, w, w / c, r % 2 == 0 ? "" : "  (window first)");
        std::fflush(stdout);
    }
    if (!keep)
        ::unlink(src.c_str());
    const double med = median(ratio);
    std::printf("median of the rounds' ratios %.3f×, median window %.3f s / median cp %.3f s = %.3f× "
                "(platform %s; goal <= 1.05: %s)\n",
                med, median(win), median(cp), median(win) / median(cp), qPrintable(QGuiApplication::platformName()),
                verdict(med <= 1.05));
    return med <= 1.05 ? 0 : 1;
}

} // namespace copybench
