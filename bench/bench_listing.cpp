// How long the window takes to open on a folder of 100,000 files, against
// `ls -U` listing the same folder in the same round.
//
//   bench_listing [--rounds N] [--files N] [folder]
//
// bench/run.sh runs it after bench_copy, with the same arguments.
//
// The files go under <folder>/duplon-bench/list-N (default /tmp), made once
// and kept. A round times `ls -U` of that folder (output to /dev/null), then the
// window started in that folder up to the first paint of its file list, then
// the same in an empty folder; the window's share is the difference of the two
// starts. Medians over the rounds; bound: window <= 3 x ls -U.

#include "app/MyForm.h"
#include "runtime/Dialogs.h"
#include "runtime/media/Drives.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStyleFactory>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

class QuietDialogs : public rt::Dialogs {
public:
    int msgBox(const QString &, int, const std::optional<QString> &) override { return rt::AnswerOk; }
    QString inputBox(const QString &, const QString &, const QString &) override { return QString(); }
};

// Notes the first paint of one widget.
class FirstPaint : public QObject {
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
    bool painted = false;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Milliseconds that `ls -U folder > /dev/null` takes.
double timeLs(const QString &folder)
{
    const QByteArray path = QFile::encodeName(folder);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const char *argv[] = {"ls", "-U", path.constData(), nullptr};
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    int status = 0;
    if (posix_spawnp(&pid, "ls", &actions, nullptr, const_cast<char **>(argv), environ) != 0
        || waitpid(pid, &status, 0) != pid || status != 0) {
        std::fprintf(stderr, "ls -U failed\n");
        std::exit(2);
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    posix_spawn_file_actions_destroy(&actions);
    return ms;
}

// Milliseconds from creating the window in folder to its file list's first paint.
double timeWindow(const QString &folder)
{
    if (chdir(QFile::encodeName(folder).constData()) != 0) {
        std::perror("chdir");
        std::exit(2);
    }
    QuietDialogs dialogs;
    FirstPaint paint;
    QElapsedTimer timer;
    timer.start();
    double ms = 0;
    {
        MyForm form(&dialogs);
        form.controls().KorFile->viewport()->installEventFilter(&paint);
        form.showCentred();
        while (!paint.painted)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
        ms = timer.nsecsElapsed() / 1e6;
    }
    QCoreApplication::processEvents();
    return ms;
}

bool makeFiles(const QString &folder, int count)
{
    QDir dir(folder);
    if (dir.exists() && int(dir.entryList(QDir::Files).size()) == count)
        return true;
    dir.removeRecursively();
    if (!QDir().mkpath(folder))
        return false;
    // Names in no particular order and of mixed case, as a camera or a
    // download folder has them.
    std::mt19937 random(7);
    for (int i = 0; i < count; ++i) {
        const QByteArray name = QFile::encodeName(folder) + (random() & 1 ? "/IMG_" : "/img_")
            + QByteArray::number(int(random() % 1000000000)) + '_' + QByteArray::number(i) + ".jpg";
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::close(fd) != 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    int rounds = 7;
    int files = 100000;
    QString base = QStringLiteral("/tmp");
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == u"--rounds" && i + 1 < args.size())
            rounds = std::max(1, args.at(++i).toInt());
        else if (a == u"--files" && i + 1 < args.size())
            files = std::max(1, args.at(++i).toInt());
        else if (a == u"--big-mib" && i + 1 < args.size())
            ++i; // bench_copy's, given to both by bench/run.sh
        else if (a == u"--keep")
            continue;
        else if (a.startsWith(u'-')) {
            std::printf("usage: bench_listing [--rounds N] [--files N] [folder]\n");
            return 2;
        } else
            base = a;
    }
    const QString root = base + QStringLiteral("/duplon-bench");
    const QString full = root + QStringLiteral("/list-%1").arg(files);
    const QString empty = root + QStringLiteral("/list-empty");
    if (!makeFiles(full, files) || !QDir().mkpath(empty)) {
        std::fprintf(stderr, "cannot lay out the test folders under %s\n", qPrintable(root));
        return 2;
    }
    rt::Drives::instance().useSystemMap();

    // Warm up the page cache, the fonts and the style.
    timeLs(full);
    timeWindow(empty);
    timeWindow(full);

    std::vector<double> ls, window, emptyWindow, ratio;
    for (int r = 0; r < rounds; ++r) {
        ls.push_back(timeLs(full));
        window.push_back(timeWindow(full));
        emptyWindow.push_back(timeWindow(empty));
        ratio.push_back((window.back() - emptyWindow.back()) / ls.back());
    }
    std::printf("Duplon listing benchmark: platform %s, %d files, %d rounds (medians)\n",
                qPrintable(QGuiApplication::platformName()), files, rounds);
    std::printf("  ls -U                                  %8.1f ms\n", median(ls));
    std::printf("  window to first paint, that folder     %8.1f ms\n", median(window));
    std::printf("  window to first paint, empty folder    %8.1f ms\n", median(emptyWindow));
    const double r = median(ratio);
    std::printf("  (window - empty window) / ls -U        %8.2f   bound <= 3.00  %s\n", r,
                r <= 3.0 ? "ok" : "OVER");
    return r <= 3.0 ? 0 : 1;
}
