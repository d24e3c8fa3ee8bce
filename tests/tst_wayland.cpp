// The window on a Wayland compositor: a headless Weston started here, with
// Qt's own Wayland platform and title bar, as on a desktop without XWayland.
#include "support/CopyWatch.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class TestWayland : public QObject {
    Q_OBJECT
private slots:
    void copiesByKeyboard()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.bin"), QByteArray(300000, 'w'));
        MyForm &form = f.start();
        form.showCentred();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        f.c().KorFile->setFocus();
        QTest::keyClick(f.c().KorFile, Qt::Key_Down); // chooses the first file
        f.c().txtDest->setFocus();
        f.c().txtDest->selectAll();
        QTest::keyClicks(f.c().txtDest, QStringLiteral("b.bin"));
        f.c().cmdCopy->setFocus();
        QTest::keyClick(f.c().cmdCopy, Qt::Key_Return);
        QTRY_COMPARE(f.dialogs.messages(), QStringList{copytest::kCompleted});
        QCOMPARE(f.drives.read(u'c', QStringLiteral("b.bin")), QByteArray(300000, 'w'));
    }

    // Weston ends a client whose maximized window keeps another size than the
    // one it was given; the window's size is fixed, so it stays as it is.
    void maximizeRequestLeavesTheWindowAsItIs()
    {
        for (Qt::WindowState request : {Qt::WindowMaximized, Qt::WindowFullScreen}) {
            FormFixture f;
            MyForm &form = f.start();
            form.showCentred();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            const QSize fixed = form.size();
            form.windowHandle()->setWindowStates(request); // as the title bar's button asks
            QTest::qWait(500);
            QCOMPARE(form.windowState(), Qt::WindowNoState);
            QCOMPARE(form.size(), fixed);
            QVERIFY(form.isVisible());
        }
    }

    void dialogsStandOnTheWindow()
    {
        FormFixture f; // the drives only: these are the program's own dialogs
        MyForm form;
        form.showCentred();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QStringList parents;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            QWidget *dialog = QApplication::activeModalWidget();
            if (!dialog || !dialog->windowHandle() || !dialog->isVisible())
                return;
            parents.append(dialog->metaObject()->className()
                           + QString(dialog->windowHandle()->transientParent() == form.windowHandle() ? " on the window" : " alone"));
            dialog->close(); // Esc's answer: No, Cancel
        });
        look.start(50);
        form.controls().cmdExit->click(); // the question before ending
        form.controls().MD->trigger(); // the new folder's name
        QCOMPARE(parents, (QStringList{"QMessageBox on the window", "QInputDialog on the window"}));
        QVERIFY(form.isVisible());
    }
};

int main(int argc, char *argv[])
{
    const QString plugin = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so";
    const char *missing = QStandardPaths::findExecutable("weston").isEmpty() ? "weston is not installed"
        : !QFile::exists(plugin) ? "Qt's Wayland platform (qt6-wayland) is not installed"
                                 : nullptr;
    if (missing)
        return std::printf("SKIP: %s; the window was not tried on Wayland.\n", missing), 77;
    QTemporaryDir runtimeDir;
    QFile::setPermissions(runtimeDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    const pid_t weston = fork();
    if (weston == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // gone with the test, even after a crash
        execlp("weston", "weston", "--backend=headless-backend.so", "--use-pixman", "--socket=duplon-test", "--idle-time=0",
               "--width=1024", "--height=768", static_cast<char *>(nullptr));
        _exit(127);
    }
    const QString socket = runtimeDir.filePath("duplon-test");
    for (int i = 0; i < 100 && !QFile::exists(socket); ++i)
        usleep(100000);
    if (!QFile::exists(socket)) {
        kill(weston, SIGTERM);
        waitpid(weston, nullptr, 0);
        return std::puts("SKIP: Weston did not start."), 77;
    }
    qputenv("WAYLAND_DISPLAY", "duplon-test");
    qputenv("QT_QPA_PLATFORM", "wayland");
    qunsetenv("DISPLAY");
    // A headless Weston has no seat, and Qt's Wayland input method reaches for
    // one with every key: the keys here go to the widgets straight.
    qputenv("QT_IM_MODULE", "none");
    int result;
    {
        QApplication app(argc, argv);
        TestWayland test;
        result = QTest::qExec(&test, argc, argv);
    }
    kill(weston, SIGTERM);
    waitpid(weston, nullptr, 0);
    return result;
}

#include "tst_wayland.moc"
