// The window on a headless Weston started here, through Qt's own Wayland
// platform and title bar, as on a desktop without XWayland.
#include "support/CopyWatch.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>

class TestWayland : public QObject {
    Q_OBJECT
private slots:
    // A copy by keyboard; then Weston, which ends a client whose maximized
    // window keeps another size than the one given, asks nothing of the fixed
    // size; and each dialog stands on the window.
    void copyMaximizeAndDialogs()
    {
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.bin"), QByteArray(300000, 'w'));
        MyForm &form = f.start();
        form.showCentred();
        QVERIFY(QTest::qWaitForWindowExposed(&form) && QGuiApplication::platformName() == u"wayland");
        QTest::keyClick(f.c().KorFile, Qt::Key_Down); // the first file
        f.c().txtDest->selectAll();
        QTest::keyClicks(f.c().txtDest, QStringLiteral("b.bin"));
        QTest::keyClick(f.c().cmdCopy, Qt::Key_Return);
        QCOMPARE(f.drives.read(u'c', QStringLiteral("b.bin")), QByteArray(300000, 'w'));
        for (Qt::WindowState request : {Qt::WindowMaximized, Qt::WindowFullScreen}) {
            MyForm window(&f.dialogs);
            window.showCentred();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.windowHandle()->setWindowStates(request); // as the title bar's button asks
            QTest::qWait(500);
            QVERIFY(window.windowState() == Qt::WindowNoState && window.size() == form.size());
        }
        MyForm own; // with the program's own dialogs
        own.showCentred();
        QStringList parents;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            if (QWidget *dialog = QApplication::activeModalWidget(); dialog && dialog->isVisible()) {
                parents.append(dialog->metaObject()->className() + QString(dialog->windowHandle()->transientParent() == own.windowHandle() ? " on it" : ""));
                dialog->close(); // No, Cancel
            }
        });
        look.start(50);
        own.controls().cmdExit->click();
        own.controls().MD->trigger();
        QCOMPARE(parents, (QStringList{"QMessageBox on it", "QInputDialog on it"}));
    }
};

int main(int argc, char *argv[])
{
    const bool platform = QFile::exists(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so");
    if (QStandardPaths::findExecutable("weston").isEmpty() || !platform)
        return std::puts("SKIP: weston or qt6-wayland is not installed; the window was not tried on Wayland."), 77;
    QTemporaryDir runtimeDir;
    QFile::setPermissions(runtimeDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    const pid_t weston = fork();
    if (weston == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // gone with the test, even after a crash
        execlp("weston", "weston", "--backend=headless-backend.so", "--use-pixman", "--socket=duplon-test",
               "--idle-time=0", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && !QFile::exists(runtimeDir.filePath("duplon-test")); ++i)
        usleep(100000);
    qputenv("WAYLAND_DISPLAY", "duplon-test");
    qputenv("QT_QPA_PLATFORM", "wayland");
    qunsetenv("DISPLAY");
    // A headless Weston has no seat, and Qt's Wayland input method reaches for
    // one with every key: the keys here go to the widgets straight.
    qputenv("QT_IM_MODULE", "none");
    int result = 77;
    if (QFile::exists(runtimeDir.filePath("duplon-test"))) {
        QApplication app(argc, argv);
        TestWayland test;
        result = QTest::qExec(&test, argc, argv);
    } else {
        std::puts("SKIP: Weston did not start.");
    }
    kill(weston, SIGTERM);
    waitpid(weston, nullptr, 0);
    return result;
}

#include "tst_wayland.moc"
