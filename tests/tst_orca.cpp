// What a blind user hears of a copy from start to end: the window under the
// real Orca, driven by keys through the X server, and every line Orca gives
// speech-dispatcher, in order. orca/session.sh provides the desktop: X server,
// session and accessibility buses, window manager, Orca, and a voice that
// writes each utterance to the log DUPLON_SPOKEN_LOG names.
#include "support/CopyWatch.h"

#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

const QString kLog = qEnvironmentVariable("DUPLON_SPOKEN_LOG");

qint64 logSize() { return QFileInfo(kLog).size(); }

// Each line of the log: the time, a space, what was said.
void note(const QString &step)
{
    QFile log(kLog);
    if (log.open(QIODevice::Append))
        log.write(QStringLiteral("%1 ## %2\n").arg(QDateTime::currentMSecsSinceEpoch() / 1000.0, 0, 'f', 3).arg(step).toUtf8());
}

QStringList readLog()
{
    QFile file(kLog);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts))
        lines.append(line.section(u' ', 1).trimmed());
    return lines;
}

// Waits until Orca has said nothing for a while (its voice takes a tenth of
// a second a word), at most limit; Orca lags behind a busy machine.
void waitQuiet(std::chrono::milliseconds quiet = 1500ms, std::chrono::milliseconds limit = 10s)
{
    std::this_thread::sleep_for(800ms);
    const auto end = std::chrono::steady_clock::now() + limit;
    qint64 size = logSize();
    auto since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(100ms);
        if (const qint64 now = logSize(); now != size) {
            size = now;
            since = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - since >= quiet) {
            return;
        }
    }
}

// One step as a user takes it: a mark in the log, the keys, then whatever
// Orca says of them.
void press(const QString &step, const QString &keys, std::chrono::milliseconds quiet = 1500ms)
{
    note(step);
    (void)std::system(qPrintable("xdotool key --delay 120 " + keys));
    waitQuiet(quiet);
}

// The lines spoken after the step's mark, up to the next mark.
QStringList spokenAfter(const QStringList &log, const QString &step)
{
    const qsizetype from = log.indexOf("## " + step);
    QStringList said;
    for (qsizetype i = from + 1; from >= 0 && i < log.size() && !log[i].startsWith("## "); ++i)
        said.append(log[i].trimmed());
    return said;
}

// Whether lines holds each of the patterns, in that order (others between).
bool inOrder(const QStringList &lines, const QStringList &patterns)
{
    qsizetype at = 0;
    for (const QString &pattern : patterns) {
        const QRegularExpression re(pattern, QRegularExpression::CaseInsensitiveOption);
        while (at < lines.size() && !re.match(lines[at]).hasMatch())
            ++at;
        if (at++ >= lines.size())
            return false;
    }
    return true;
}

} // namespace

class TestOrca : public QObject {
    Q_OBJECT
private slots:
    void aCopyHeardFromStartToEnd()
    {
        TestDrives drives;
        drives.makeFolder(u'c', QStringLiteral("Data"));
        drives.makeFolder(u'd', QStringLiteral("Other"));
        constexpr int kPieces = 40;
        drives.makeFile(u'c', QStringLiteral("Data/big.bin"), QByteArray(kPieces * copytest::kLargePiece, 'x'));
        drives.makeFile(u'c', QStringLiteral("Data/notes.txt"), QByteArray(30000, 'n'));
        drives.cd(u'c', QStringLiteral("Data"));
        MyForm form; // the real message boxes: Orca reads them
        form.controls().Dir2->setPath(QStringLiteral("D:\\Other"));
        form.showCentred();
        QVERIFY(QTest::qWaitForWindowActive(&form, 20000));
        // A copy of 40 pieces takes six seconds: long enough to be stopped.
        rt::setReadableHook([](qint64, qint64 count) { return std::this_thread::sleep_for(150ms), count; });

        std::atomic<bool> done = false;
        std::thread user([&done] {
            // The window's title and its focus, Copy, once Orca has caught up
            // with the window's making.
            for (int i = 0; i < 300 && !readLog().join(u'\n').contains("push button"); ++i)
                std::this_thread::sleep_for(100ms);
            waitQuiet(2s, 15s);
            press("Tab to the drive box", "Tab");
            press("Down on the drive box", "Down");
            press("Up on the drive box", "Up");
            press("Alt+Down on the drive box", "alt+Down");
            press("Escape from the drop-down", "Escape");
            press("Tab to the folders", "Tab");
            press("Tab to the files", "Tab");
            press("First Down in the files", "Down");
            press("Down again in the files", "Down");
            press("Up in the files", "Up");
            press("Shift+Tab to Copy", "shift+Tab shift+Tab shift+Tab");
            note("Enter on Copy");
            (void)std::system("xdotool key Return");
            std::this_thread::sleep_for(2500ms);
            press("Enter on Stop", "Return", 1500ms);
            press("Enter on Copy again", "Return", 3s);
            waitQuiet(3s, 20s); // the copy runs to its end, and its message
            press("Enter on the message", "Return");
            press("Flat review: the line above", "KP_7");
            press("Flat review: the line above again", "KP_7");
            press("Flat review: the third line above", "KP_7");
            done = true;
        });
        // The window's own event loop: QTest::qWait sleeps between its turns,
        // and each of Orca's many questions to the window would wait for one.
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (done)
                loop.quit();
        });
        poll.start(50);
        loop.exec();
        user.join();
        rt::setReadableHook(nullptr);

        const QStringList log = readLog();
        const QString all = log.join(u'\n');
        auto heard = [&](const QString &step, const QStringList &patterns) {
            const QStringList said = spokenAfter(log, step);
            return inOrder(said, patterns) ? true : (qWarning("%s: heard %s", qPrintable(step), qPrintable(said.join(" | "))), false);
        };
        auto never = [&](const QString &step, const QString &pattern) {
            return !inOrder(spokenAfter(log, step), {pattern}) ? true : (qWarning("%s: heard %s", qPrintable(step), qPrintable(pattern)), false);
        };
        QVERIFY2(heard("Tab to the drive box", {"^Source drive, c: \\[c\\] combo box"}), qPrintable(all));
        // A drive changed in the closed box is heard as the drive, not as a
        // move in the folder list the keys do not go to.
        for (const auto &[step, drive] : {std::pair{"Down on the drive box", "^d: \\[d\\]"}, {"Up on the drive box", "^c: \\[c\\]"}}) {
            QVERIFY2(heard(step, {drive}), qPrintable(all));
            QVERIFY2(never(step, "Source folders|open folder|List with"), qPrintable(all));
        }
        // Its drop-down says its list.
        QVERIFY2(heard("Alt+Down on the drive box", {"^List with 3 items"}), qPrintable(all));
        QVERIFY2(heard("Tab to the folders", {"^Source folders", "^Data, open folder, level 2"}), qPrintable(all));
        // Entering the file list reads no row, as none is chosen; the first
        // Down chooses the row under the frame and says it, with its size.
        QVERIFY2(heard("Tab to the files", {"^Source files"}), qPrintable(all));
        QVERIFY2(never("Tab to the files", "big\\.bin|notes\\.txt"), qPrintable(all));
        QVERIFY2(heard("First Down in the files", {"^big\\.bin", "^Source File Size: 40 MB"}), qPrintable(all));
        QVERIFY2(heard("Down again in the files", {"^notes\\.txt", "^Source File Size: 0\\.03 MB"}), qPrintable(all));
        QVERIFY2(heard("Up in the files", {"^big\\.bin", "^Source File Size: 40 MB"}), qPrintable(all));
        // The copy's start, its Stop and the partial file, each once.
        QVERIFY2(heard("Enter on Copy", {"Copy started\\."}), qPrintable(all));
        QVERIFY2(heard("Enter on Stop", {"Stopping the copy\\.", "Copy stopped\\.", "The partial file is removed\\."}), qPrintable(all));
        QCOMPARE(log.filter(QRegularExpression("Stopping the copy|Copy stopped|partial file")).size(), 3);
        QVERIFY2(heard("Enter on Copy again", {"Copy started\\.", "^File Copy Completed\\."}), qPrintable(all));
        QCOMPARE(log.filter("Copy started.").size(), 2);
        // No figure speaks on its own during a copy; "100 percent" comes
        // before the message that the copy is complete, or not at all.
        for (const char *step : {"Enter on Copy", "Enter on Stop", "Enter on Copy again"})
            QVERIFY2(never(step, "MB|Copied|^[0-9]+\\.?$"), qPrintable(all));
        const QStringList copied = spokenAfter(log, "Enter on Copy again");
        const qsizetype completed = copied.indexOf("File Copy Completed.");
        QVERIFY2(copied.lastIndexOf(QRegularExpression("percent")) < completed, qPrintable(all));
        // Flat review reads each figure after its caption, as drawn.
        const MyFormControls &c = form.controls();
        QVERIFY2(heard("Flat review: the line above again", {"^" + QRegularExpression::escape(c.Label3->caption() + ' ' + c.lblInputLoc->caption()) + "$"}), qPrintable(all));
        QVERIFY2(heard("Flat review: the third line above", {"^" + QRegularExpression::escape(c.Label1->caption() + ' ' + c.lblCopied->caption()) + "$"}), qPrintable(all));
        QCOMPARE(c.lblCopied->caption(), QStringLiteral("40 MB"));
    }
};

int main(int argc, char *argv[])
{
    if (kLog.isEmpty())
        return std::printf("SKIP: not in a screen reader's session (tests/orca/session.sh).\n"), 77;
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    TestOrca test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_orca.moc"
