// The window drawn by a real X server (Xvfb, started here), read back from the
// screen: what a user sees, not what the widgets believe they hold.
#include "runtime/files/Transfer.h"
#include "support/CopyWatch.h"

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <thread>

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kSkip = 77;
QString s_outputFolder; // where the screenshot is left for a person to look at

// Starts Xvfb on a free display; returns its pid and sets DISPLAY, or -1.
pid_t startXvfb()
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string display;
    pollfd p{fds[0], POLLIN, 0};
    char c;
    while (poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
        display += c;
    close(fds[0]);
    if (pid < 0 || display.empty()) {
        if (pid > 0)
            kill(pid, SIGTERM);
        return -1;
    }
    setenv("DISPLAY", (":" + display).c_str(), 1);
    return pid;
}

} // namespace

class TestOnXServer : public QObject {
    Q_OBJECT
private slots:
    void windowShowsItsLayoutAndColours()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Empty"));
        f.drives.cd(u'c', QStringLiteral("Empty"));
        MyForm &form = f.start();
        QVERIFY(f.show());
        QTest::qWait(300);

        const QRect available = form.screen()->availableGeometry();
        QVERIFY(qAbs(form.geometry().center().x() - available.center().x()) <= 1);
        QVERIFY(qAbs(form.geometry().center().y() - available.center().y()) <= 1);

        const QImage shot = form.screen()->grabWindow(0).toImage();
        const QString saved = QDir(s_outputFolder).absoluteFilePath(QStringLiteral("xserver-window.png"));
        shot.copy(form.geometry()).save(saved);
        auto at = [&](QWidget *w, QPoint p) { return QColor(shot.pixel(w->mapToGlobal(p))); };

        QCOMPARE(at(&form, {2, 2}), QColor(128, 128, 255));
        // The style shades a frame's panel very slightly.
        const QColor frame = at(f.c().Frame1, {f.c().Frame1->width() - 6, f.c().Frame1->height() - 6});
        QVERIFY2(qAbs(frame.red() - 128) <= 4 && qAbs(frame.green() - 128) <= 4 && qAbs(frame.blue() - 255) <= 4,
                 qPrintable(frame.name()));
        QCOMPARE(at(f.c().KorFile, {f.c().KorFile->width() / 2, f.c().KorFile->height() / 2}), QColor(0, 0, 0));
        QCOMPARE(at(f.c().txtDest, {f.c().txtDest->width() - 8, f.c().txtDest->height() / 2}), QColor(192, 64, 0));

        // The bar fills from the bottom, and covers the ends of the long labels.
        f.c().KorBar->setBarValue(100);
        f.c().KorBar->refresh();
        QTest::qWait(100);
        const QImage full = form.screen()->grabWindow(0).toImage();
        full.copy(form.geometry()).save(QDir(s_outputFolder).absoluteFilePath(QStringLiteral("xserver-full-bar.png")));
        // Count the changed pixels down the bar's middle: a style may draw it in
        // blocks, so any one pixel may fall in a gap.
        int changed = 0;
        const int x = f.c().KorBar->width() / 2;
        for (int y = 0; y < f.c().KorBar->height(); ++y) {
            const QPoint p = f.c().KorBar->mapToGlobal(QPoint(x, y));
            changed += full.pixel(p) != shot.pixel(p);
        }
        QVERIFY2(changed > f.c().KorBar->height() / 2, qPrintable(QString::number(changed)));
        qInfo("screenshot saved to %s", qPrintable(saved));
    }

    // What the X server shows of the bar during a long copy from a slow
    // medium is the share settled, within a chunk and a frame, at every look.
    void barOnScreenFollowsALongCopy()
    {
        FormFixture f;
        constexpr qint64 size = 200 * copytest::kLargePiece;
        QFile source(f.drives.host(u'c', QStringLiteral("big.bin")));
        QVERIFY(source.open(QIODevice::WriteOnly));
        const QByteArray piece(copytest::kLargePiece, 'x'); // data, not a hole: every piece is read
        for (qint64 i = 0; i < size / piece.size(); ++i)
            QCOMPARE(source.write(piece), piece.size());
        source.close();
        f.start();
        copytest::aimCopy(f, QStringLiteral("big.bin"));
        MyForm &form = *f.form;
        QVERIFY(f.show());
        rt::setReadableHook([](qint64, qint64 count) {
            std::this_thread::sleep_for(std::chrono::milliseconds(12)); // on the I/O worker
            return count;
        });

        rt::ProgressBar *bar = f.c().KorBar;
        const int x = bar->width() / 2;
        const QColor empty = QColor(form.screen()->grabWindow(0).toImage().pixel(bar->mapToGlobal(QPoint(x, bar->height() / 2))));
        QStringList looks;
        int worst = 0;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, &form, [&] {
            const QImage shot = form.screen()->grabWindow(0).toImage();
            // The fill grows from the bottom: its top is the highest pixel of
            // the middle column that is neither the empty groove nor a gap.
            int top = bar->height();
            for (int y = bar->height() - 3; y >= 2; --y)
                if (QColor(shot.pixel(bar->mapToGlobal(QPoint(x, y)))) != empty)
                    top = y;
            const int drawn = int(100.0 * (bar->height() - 2 - top) / (bar->height() - 4) + 0.5);
            looks.append(QStringLiteral("%1 drawn for %2").arg(std::max(0, drawn)).arg(bar->barValue()));
            worst = std::max(worst, std::abs(std::max(0, drawn) - bar->barValue()));
        });
        look.start(300);
        f.c().cmdCopy->click();
        look.stop();
        rt::setReadableHook(nullptr);

        QCOMPARE(f.dialogs.messages(), QStringList{copytest::kCompleted});
        QVERIFY2(looks.size() >= 5, qPrintable(looks.join(u", ")));
        // A chunk of this bar is about 2.4 %, and a frame of a 4 s copy 0.4 %.
        QVERIFY2(worst <= 4, qPrintable(looks.join(u", ")));
    }
};

int main(int argc, char *argv[])
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) {
        std::puts("SKIP: Xvfb is not installed; the window was not drawn by an X server.");
        return kSkip;
    }
    const pid_t xvfb = startXvfb();
    if (xvfb < 0) {
        std::puts("SKIP: Xvfb did not start.");
        return kSkip;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    s_outputFolder = QDir::currentPath();
    int result;
    {
        QApplication app(argc, argv);
        TestOnXServer test;
        result = QTest::qExec(&test, argc, argv);
    }
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);
    return result;
}

#include "tst_xserver.moc"
