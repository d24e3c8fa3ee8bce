// The window as a screen reader hears it: through AT-SPI itself, read by
// pyatspi as Orca does, on an X server and a session bus of the test's own
// (ctest starts it under xvfb-run and dbus-run-session).
#include "support/FormFixture.h"

#include <QApplication>
#include <QProcess>
#include <QTest>

#include <cstdio>

namespace {

constexpr int kSkip = 77;

// Prints every object of the application named in argv[1]: role, name,
// description and actions, one line each. Exits 77 when no registry answers.
const char *const kWalk = R"(
import sys, time, pyatspi
def walk(o, depth):
    try: actions = o.queryAction(); names = [actions.getName(i) for i in range(actions.nActions)]
    except NotImplementedError: names = []
    print('\t'.join([o.getRoleName(), o.name or '', o.description or '', ','.join(names)]), flush=True)
    if depth < 12:
        for i in range(min(o.childCount, 60)): walk(o.getChildAtIndex(i), depth + 1)
try: desktop = pyatspi.Registry.getDesktop(0)
except Exception as e: print('no registry:', e); sys.exit(77)
for attempt in range(100):
    apps = [a for a in desktop if a is not None and a.name == sys.argv[1]]
    if apps: walk(apps[0], 0); sys.exit(0)
    time.sleep(0.2)
print('not among:', [a.name for a in desktop if a is not None]); sys.exit(1)
)";

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void screenReaderHearsWhatTheWindowShows()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Pictures/Holiday"));
        f.drives.cd(u'c', QStringLiteral("Data/Pictures"));
        MyForm &form = f.start();
        form.showCentred();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        f.c().KorBar->setBarValue(42);

        QProcess reader;
        reader.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-c"), QString::fromLatin1(kWalk), QCoreApplication::applicationName()});
        QTRY_VERIFY_WITH_TIMEOUT(reader.state() == QProcess::NotRunning, 60000);
        const QString heard = QString::fromUtf8(reader.readAllStandardOutput());
        if (reader.exitCode() == kSkip)
            QSKIP(qPrintable(QStringLiteral("the accessibility bus did not start: ") + heard));
        QVERIFY2(reader.exitCode() == 0, qPrintable(heard + reader.readAllStandardError()));

        auto said = [&heard](const QString &role, const QString &name) -> QStringList {
            for (const QString &line : heard.split(u'\n')) {
                const QStringList fields = line.split(u'\t');
                if (fields.size() == 4 && fields[0] == role && fields[1] == name)
                    return fields;
            }
            return {};
        };
        for (rt::DriveList *drive : {f.c().KorDrv, f.c().drv2})
            QVERIFY2(!said(QStringLiteral("combo box"), drive->accessibleName() + QStringLiteral(", ") + drive->currentText()).isEmpty(),
                     qPrintable(heard));
        for (const char *entry : {"C:\\, open folder, level 1", "Data, open folder, level 2",
                                  "Pictures, open folder, level 3", "Holiday, subfolder, level 4"})
            QVERIFY2(!said(QStringLiteral("list item"), QString::fromLatin1(entry)).isEmpty(), entry);
        const QStringList bar = said(QStringLiteral("progress bar"), QStringLiteral("Copy progress"));
        QVERIFY2(!bar.isEmpty(), qPrintable(heard));
        QCOMPARE(bar[2], QStringLiteral("42%"));
        QVERIFY2(!bar[3].contains(QStringLiteral("crease"), Qt::CaseInsensitive), qPrintable(bar[3]));
    }
};

int main(int argc, char *argv[])
{
    const char *missing = !qEnvironmentVariableIsSet("DUPLON_PRIVATE_SESSION") ? "a private session bus (dbus-run-session)"
        : qEnvironmentVariableIsEmpty("DISPLAY")                               ? "an X server (xvfb-run)"
        : QProcess::execute("/usr/bin/python3", {"-c", "import pyatspi"}) != 0 ? "python3-pyatspi"
                                                                                : nullptr;
    if (missing) {
        std::printf("SKIP: no %s: nothing here can listen as a screen reader does.\n", missing);
        return kSkip;
    }
    // The AT-SPI bridge of Qt's X platform, on whether or not a reader asked.
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    TestAccessibility test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_accessibility.moc"
