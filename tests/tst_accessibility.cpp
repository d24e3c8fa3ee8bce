// The window as a screen reader hears it, through AT-SPI itself: pyatspi reads
// it as Orca does, on an X server and a session bus of the test's own (ctest
// runs it under xvfb-run and dbus-run-session).
#include "support/FormFixture.h"

#include <QApplication>
#include <QProcess>
#include <QTest>

// Prints each object of the application argv[1] as "role<TAB>name<TAB>
// description<TAB>actions"; exits 77 when no registry answers.
static const char *const kReader = R"(
import sys, time, pyatspi
def walk(o, depth):
    try: a = o.queryAction(); actions = [a.getName(i) for i in range(a.nActions)]
    except NotImplementedError: actions = []
    print('\t'.join([o.getRoleName(), o.name, o.description, ','.join(actions)]), flush=True)
    for i in range(min(o.childCount, 60) if depth < 12 else 0): walk(o.getChildAtIndex(i), depth + 1)
try: desktop = pyatspi.Registry.getDesktop(0)
except Exception as e: print(e); sys.exit(77)
for attempt in range(100):
    for app in [a for a in desktop if a is not None and a.name == sys.argv[1]]: walk(app, 0); sys.exit(0)
    time.sleep(0.2)
sys.exit(1)
)";

class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void screenReaderHearsWhatTheWindowShows()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Pictures/Holiday"));
        f.drives.cd(u'c', QStringLiteral("Data/Pictures"));
        f.start();
        QVERIFY(f.show());
        f.c().KorBar->setBarValue(42);
        QProcess reader;
        reader.start("/usr/bin/python3", {"-c", kReader, QCoreApplication::applicationName()});
        QTRY_VERIFY_WITH_TIMEOUT(reader.state() == QProcess::NotRunning, 60000);
        const QString heard = reader.readAllStandardOutput();
        if (reader.exitCode() == 77)
            QSKIP(qPrintable("the accessibility bus did not start: " + heard));
        QVERIFY2(reader.exitCode() == 0, qPrintable(heard + reader.readAllStandardError()));
        const QStringList lines = heard.split(u'\n');
        auto said = [&](const QString &start) { return lines.filter(QRegularExpression("^" + QRegularExpression::escape(start))); };
        for (rt::DriveList *drive : {f.c().KorDrv, f.c().drv2})
            QCOMPARE(said("combo box\t" + drive->accessibleName() + ", " + drive->currentText() + "\t").size(), 1);
        for (const char *entry : {"C:\\, open folder, level 1", "Data, open folder, level 2",
                                  "Pictures, open folder, level 3", "Holiday, subfolder, level 4"})
            QCOMPARE(said(QStringLiteral("list item\t%1\t").arg(entry)).size(), 2); // in both folder lists
        // The bar's value as its description, and no Increase or Decrease.
        const QStringList bar = said("progress bar\tCopy progress\t42%\t");
        QVERIFY2(bar.size() == 1 && !bar[0].contains("crease", Qt::CaseInsensitive), qPrintable(heard));
    }
};

int main(int argc, char *argv[])
{
    const char *missing = !qEnvironmentVariableIsSet("DUPLON_PRIVATE_SESSION") ? "private session bus (dbus-run-session)"
        : qEnvironmentVariableIsEmpty("DISPLAY")                               ? "X server (xvfb-run)"
        : QProcess::execute("/usr/bin/python3", {"-c", "import pyatspi"}) != 0 ? "python3-pyatspi"
                                                                                : nullptr;
    if (missing)
        return std::printf("SKIP: no %s: nothing can listen as a screen reader does.\n", missing), 77;
    qputenv("QT_QPA_PLATFORM", "xcb"); // the X platform has the AT-SPI bridge,
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1"); // on without a reader asking first
    QApplication app(argc, argv);
    TestAccessibility test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_accessibility.moc"
