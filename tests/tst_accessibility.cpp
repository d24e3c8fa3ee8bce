// The window as a screen reader hears it, through AT-SPI itself: pyatspi reads
// it as Orca does, on an X server and a session bus of the test's own (ctest
// runs it under xvfb-run and dbus-run-session).
#include "support/CopyWatch.h"

#include <QAccessible>
#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTest>

#include <chrono>
#include <map>
#include <thread>

// Prints each object of the application argv[1], depth first, as "role<TAB>
// name<TAB>description<TAB>actions<TAB>min..max:value,value after setting 7";
// exits 77 when no registry answers.
static const char *const kReader = R"(
import sys, time, pyatspi
def walk(o, depth):
    try: a = o.queryAction(); actions = [a.getName(i) for i in range(a.nActions)]
    except NotImplementedError: actions = []
    try: v = o.queryValue(); was = v.currentValue; v.currentValue = 7; value = '%g..%g:%g,%g' % (v.minimumValue, v.maximumValue, was, v.currentValue)
    except NotImplementedError: value = ''
    print('\t'.join([o.getRoleName(), o.name, o.description, ','.join(actions), value]), flush=True)
    for i in range(min(o.childCount, 60) if depth < 12 else 0): walk(o.getChildAtIndex(i), depth + 1)
try: desktop = pyatspi.Registry.getDesktop(0)
except Exception as e: print(e); sys.exit(77)
for attempt in range(100):
    for app in [a for a in desktop if a is not None and a.name == sys.argv[1]]: walk(app, 0); sys.exit(0)
    time.sleep(0.2)
sys.exit(1)
)";

// Prints each value, description, name, focus and showing change the
// application argv[1] raises as "seconds<TAB>event<TAB>role<TAB>name<TAB>data
// <TAB>index in parent" (data: the new value, name, description, focus or
// showing), from "ready" until its input closes.
static const char *const kListener = R"(
import sys, time, threading, pyatspi
from gi.repository import GLib
start = time.monotonic()
def heard(e):
    try:
        if e.source.getApplication().name != sys.argv[1]: return
        print('%.3f\t%s\t%s\t%s\t%s\t%d' % (time.monotonic() - start, e.type, e.source.getRoleName(), e.source.name, e.detail1 if 'focused' in e.type or 'showing' in e.type else e.source.queryValue().currentValue if 'value' in e.type else e.source.description if 'description' in e.type else e.source.name, e.source.getIndexInParent()), flush=True)
    except Exception: pass
for kind in ['property-change:accessible-value', 'property-change:accessible-description', 'property-change:accessible-name', 'state-changed:focused', 'state-changed:showing']: pyatspi.Registry.registerEventListener(heard, 'object:' + kind)
threading.Thread(target=lambda: (sys.stdin.read(), GLib.idle_add(pyatspi.Registry.stop)), daemon=True).start()
print('ready', flush=True)
pyatspi.Registry.start()
)";

class TestAccessibility : public QObject {
    Q_OBJECT
private slots:
    void screenReaderHearsWhatTheWindowShows()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Pictures/Holiday"));
        f.drives.makeFile(u'c', QStringLiteral("Data/Pictures/big.bin"), QByteArray(150 * copytest::kLargePiece, 'x'));
        f.drives.cd(u'c', QStringLiteral("Data/Pictures"));
        MyForm &form = f.start();
        QVERIFY(f.show());
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        f.c().KorBar->setBarValue(42);
        f.c().lblCopied->setCaption(QStringLiteral("69.3 MB"));
        f.c().lblInputLoc->setCaption(QStringLiteral("72666316"));
        rt::DisplayPacer::instance().flush();
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
        // The bar's value as its description and as a value only the copy sets.
        const QStringList bar = said("progress bar\tCopy progress\t42%\t");
        QVERIFY2(bar.size() == 1 && bar[0].endsWith("\t0..100:42,42"), qPrintable(heard));
        // The tree in the Tab order.
        const QStringList tabOrder{"Copy", "Source drive", "Source folders", "Source files", "Destination drive",
                                   "Destination folders", "Destination file name", "Copy progress", "Exit"};
        QStringList order;
        for (const QString &line : lines)
            order += tabOrder.filter(QRegularExpression("^" + QRegularExpression::escape(line.section(u'\t', 1, 1).section(u',', 0, 0)) + "$"));
        QCOMPARE(order, tabOrder);
        // The copy's figures read as drawn, beside their captions.
        for (const rt::Label *figure : {f.c().lblCopied, f.c().lblInputLoc, f.c().Label1, f.c().Label3})
            QCOMPARE(said(QStringLiteral("label\t%1\t").arg(figure->caption())).size(), 1);
        QVERIFY2(said("label\tFile Copied\t").isEmpty() && said("label\tBytes Copied\t").isEmpty(), qPrintable(heard));

        // During a copy it hears the bar and the captions at most four times a
        // second each, the last value included; Tab into a folder list lands on
        // the open folder, with its level.
        copytest::aimCopy(f, QStringLiteral("big.bin"));
        QProcess listener;
        listener.start("/usr/bin/python3", {"-c", kListener, QCoreApplication::applicationName()});
        QTRY_VERIFY_WITH_TIMEOUT(listener.canReadLine() || listener.state() == QProcess::NotRunning, 30000);
        QVERIFY2(listener.readLine() == "ready\n", qPrintable(listener.readAllStandardError()));
        f.c().KorDrv->setFocus();
        QTest::keyClick(f.c().KorDrv, Qt::Key_Tab);
        rt::setReadableHook([](qint64, qint64 count) { return std::this_thread::sleep_for(std::chrono::milliseconds(12)), count; });
        f.c().cmdCopy->click();
        rt::setReadableHook(nullptr);
        QTest::qWait(800); // the last paced changes, and their trip over the bus
        listener.closeWriteChannel();
        QVERIFY(listener.waitForFinished(30000));
        const QStringList events = QString(listener.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(events.filter(QRegularExpression("focused\t.*\t1\t-?\\d+$")).last().contains("\tlist item\tPictures, open folder, level 3\t"), qPrintable(events.join(u'\n')));
        std::map<QString, QList<double>> times; // by event and control
        for (const QString &e : events.filter("property-change"))
            times[e.section(u'\t', 1, 2) + u'\t' + e.section(u'\t', 5, 5)].append(e.section(u'\t', 0, 0).toDouble());
        for (const auto &[kind, at] : times) // a change may reach the reader after the next: a little slack
            QVERIFY2(at.size() <= 4 * (at.last() - at.first()) + 3, qPrintable(kind + QString(": %1 in %2 s").arg(at.size()).arg(at.last() - at.first())));
        const QStringList values = events.filter("accessible-value\tprogress bar");
        QVERIFY2(values.size() >= 3 && values.last().section(u'\t', 4, 4) == "100.0", qPrintable(values.join(u'\n')));
        // The figures come with the bar's values, both together right after
        // one, never more often (the order on the bus; the reader's clock lags
        // while the window copies), the last reading as the window does.
        QStringList group; // the figures heard since the bar's last value
        int groups = 0;
        bool valueHeard = false;
        for (const QString &e : events.filter(QRegularExpression("accessible-value\tprogress bar\t|accessible-name\tlabel\t"))) {
            if (e.contains("accessible-value")) {
                QVERIFY2(group.isEmpty() || group.size() == 2, qPrintable(events.join(u'\n')));
                groups += !group.isEmpty();
                group.clear();
                valueHeard = true;
                continue;
            }
            const QString figure = e.section(u'\t', 5, 5); // by its place: its name is the figure
            QVERIFY2(valueHeard && !group.contains(figure), qPrintable(events.join(u'\n')));
            group.append(figure);
        }
        groups += !group.isEmpty();
        QVERIFY2(group.isEmpty() || group.size() == 2, qPrintable(group.join(u'\n')));
        for (const rt::Label *figure : {f.c().lblCopied, f.c().lblInputLoc}) {
            QAccessibleInterface *label = QAccessible::queryAccessibleInterface(const_cast<rt::Label *>(figure));
            const QStringList heard = events.filter(QRegularExpression(QStringLiteral("accessible-name\tlabel\t.*\t%1$").arg(label->parent()->indexOfChild(label))));
            QVERIFY2(heard.size() == groups && heard.size() >= 3, qPrintable(events.join(u'\n')));
            QCOMPARE(heard.last().section(u'\t', 4, 4), figure->caption());
            qInfo("%s: %d changes heard with %d of the bar's values", qPrintable(figure->objectName()), int(heard.size()), int(values.size()));
        }
        // The button's new captions are heard, each once.
        QStringList captions;
        for (const QString &e : events.filter("accessible-name\tpush button\t"))
            captions.append(e.section(u'\t', 4, 4));
        QCOMPARE(captions, (QStringList{"Stop", "Copy"}));
        // The start is told as a notification showing, which Orca speaks.
        QStringList notices;
        for (const QString &e : events.filter(QRegularExpression("showing\tnotification\t.*\t1\t")))
            notices.append(e.section(u'\t', 3, 3));
        QCOMPARE(notices, QStringList{QStringLiteral("Copy started.")});
    }

    // Focus is told only where it is, and a message comes after the bar's
    // last value: lists read again or moved from code while the keys are on
    // Copy tell no focus, nor does the drive box's closed drop-down; the bar's
    // 100, set just after 99 and so held back a moment, goes out before a
    // message that shows meanwhile.
    void toldWhereAndWhenItHappens()
    {
        FormFixture f;
        f.drives.makeFolder(u'c', QStringLiteral("Data/Pictures"));
        f.drives.makeFolder(u'd', QStringLiteral("Other"));
        f.drives.makeFile(u'c', QStringLiteral("Data/a.txt"), "a");
        f.drives.makeFile(u'c', QStringLiteral("Data/b.txt"), "b");
        f.drives.cd(u'c', QStringLiteral("Data"));
        MyForm &form = f.start();
        QVERIFY(f.show());
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QProcess listener;
        listener.start("/usr/bin/python3", {"-c", kListener, QCoreApplication::applicationName()});
        QTRY_VERIFY_WITH_TIMEOUT(listener.canReadLine() || listener.state() == QProcess::NotRunning, 30000);
        QVERIFY2(listener.readLine() == "ready\n", qPrintable(listener.readAllStandardError()));
        f.c().cmdCopy->setFocus();
        FormFixture::pickDrive(f.c().KorDrv, u'd');
        FormFixture::pickDrive(f.c().KorDrv, u'c');
        f.c().Dir2->setPath(QStringLiteral("D:\\Other"));
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("b.txt")));
        f.c().KorBar->setBarValue(99);
        f.c().KorBar->setBarValue(100);
        QMessageBox message(QMessageBox::Information, QStringLiteral("Duplon"), QStringLiteral("File Copy Completed."),
                            QMessageBox::Ok, &form);
        message.show();
        QTest::qWait(800);
        message.close();
        listener.closeWriteChannel();
        QVERIFY(listener.waitForFinished(30000));
        const QStringList events = QString(listener.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        const QString all = events.join(u'\n');
        QVERIFY2(events.filter(QRegularExpression("focused\t(list|list item)\t.*\t1\t")).isEmpty(), qPrintable(all));
        // (the value as the listener reads it: the newest, once the event reaches it)
        const qsizetype last = events.lastIndexOf(QRegularExpression(".*accessible-value\tprogress bar\t.*"));
        const qsizetype shown = events.indexOf(QRegularExpression(".*showing\t(alert|dialog)\t.*\t1\t.*"));
        QVERIFY2(last >= 0 && shown >= 0 && last < shown, qPrintable(all));
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
