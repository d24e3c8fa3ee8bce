// What the desktop hears of a copy on a private session bus (ctest runs this
// under dbus-run-session): a listener stands in for the dock and the
// notification service.
#include "support/FormFixture.h"
#include "runtime/files/Destination.h"
#include "runtime/files/Transfer.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <unistd.h>

const QString kUri = QStringLiteral("application://io.github.duplon.Duplon.desktop");

// Notes what it hears as lines: "PROGRESS VISIBLE URI" for each launcher
// update, "SUMMARY|BODY|CATEGORY|DESKTOP ENTRY|after" for a notification.
class Listener : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QMutex mutex;
    QStringList heard;
    QSemaphore windowWentOn;
    QStringList lines(const QString &with) { return QMutexLocker(&mutex), heard.filter(with); }

public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &hints, int)
    {
        // Answered only once the window's thread has gone on past the copy
        // (this runs on a thread of its own): a window that waited is caught.
        const bool after = windowWentOn.tryAcquire(1, 20000);
        const QMutexLocker lock(&mutex);
        heard << QStringList{summary, body, hints.value("category").toString(), hints.value("desktop-entry").toString(),
                             after ? "after" : "waited"}.join(u'|');
        return 1;
    }
    void update(const QString &uri, const QVariantMap &p)
    {
        const QMutexLocker lock(&mutex);
        heard << QStringLiteral("%1 %2 %3").arg(p.value("progress").toDouble()).arg(p.value("progress-visible").toBool() ? 1 : 0).arg(uri);
    }
};

class TestDesktop : public QObject {
    Q_OBJECT
    QThread m_thread;
    Listener m_listener;

private slots:
    void initTestCase()
    {
        if (!qEnvironmentVariableIsSet("DUPLON_PRIVATE_SESSION"))
            QSKIP("no private session bus: ctest runs this under dbus-run-session (package dbus-bin)");
        m_listener.moveToThread(&m_thread);
        m_thread.start();
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY(bus.registerService("org.freedesktop.Notifications"));
        QVERIFY(bus.registerObject("/org/freedesktop/Notifications", &m_listener, QDBusConnection::ExportAllSlots));
        QVERIFY(bus.connect({}, {}, "com.canonical.Unity.LauncherEntry", "Update", &m_listener, SLOT(update(QString, QVariantMap))));
    }
    void cleanupTestCase() { m_thread.quit(), m_thread.wait(); }

    // The launcher's progress, at most ten updates a second, rising, then
    // cleared; one notification of a long copy that ended while the user was
    // elsewhere. Without a session bus nothing is heard and the copy ends as ever.
    void copyShowsProgressThenOneNotice_data()
    {
        QTest::addColumn<QString>("notice");
        QTest::newRow("completed elsewhere") << "File Copy Completed.|D:\\big.bin is copied.|transfer.complete|io.github.duplon.Duplon|after";
        QTest::newRow("rescued elsewhere")
            << "File Copy Completed.|D:\\big.bin is copied.\nCopy pressed again later onto the same name reads only the damaged "
               "parts again.|transfer.complete|io.github.duplon.Duplon|after";
        QTest::newRow("failed elsewhere") << "File Copy Failed.|D:\\big.bin could not be copied.|transfer.error|io.github.duplon.Duplon|after";
        QTest::newRow("copied, its close failing, elsewhere")
            << "File Copy Not Confirmed.|The file D:\\big.bin was copied, but the copy under its name may be incomplete.|transfer|io.github.duplon.Duplon|after";
        QTest::newRow("completed in view") << "";
        QTest::newRow("shorter than ten seconds") << "";
        QTest::newRow("no session bus") << "";
    }
    void copyShowsProgressThenOneNotice()
    {
        QFETCH(QString, notice);
        const QString row = QTest::currentDataTag();
        m_listener.heard.clear();
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        if (row == u"no session bus")
            qunsetenv("DBUS_SESSION_BUS_ADDRESS"), qputenv("XDG_RUNTIME_DIR", "/nonexistent");
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("big.bin"), patternBytes(24 << 20));
        MyForm &form = f.start();
        QVERIFY(row != u"completed in view" || f.show(FormFixture::Active));
        form.desktopNotices().setNotifyAfter(row.startsWith(u"shorter") ? 10000 : 0);
        FormFixture::pickDrive(f.c().drv2, u'd');
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("big.bin")));
        // Pieces that take a while, so the bar moves faster than the launcher may.
        const bool fails = row.startsWith(u"failed");
        rt::setWriteFaultHook([fails](qint64 at, qint64) { return usleep(15000), fails && at >= (16 << 20) ? ENOSPC : 0; });
        if (row.startsWith(u"rescued")) // one block of it never reads
            rt::setReadFaultHook([](qint64 at, qint64 n) { return at <= (4 << 20) + 5 && at + n > (4 << 20) + 5 ? EIO : 0; });
        if (row.startsWith(u"copied"))
            rt::Destination::setFailuresAfterNaming({0, EIO});
        QElapsedTimer copying;
        copying.start();
        f.c().cmdCopy->click();
        const qint64 took = copying.elapsed();
        m_listener.windowWentOn.release();
        rt::setWriteFaultHook(nullptr);
        rt::setReadFaultHook(nullptr);
        rt::Destination::setFailuresAfterNaming({});
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QCOMPARE(f.dialogs.messages().size(), 1);
        if (row == u"no session bus") {
            QTest::qWait(300);
            QCOMPARE(m_listener.lines(QString()), QStringList());
            return;
        }
        QTRY_VERIFY(m_listener.lines(kUri).endsWith("0 0 " + kUri) && m_listener.lines("|").size() == !notice.isEmpty());
        QTest::qWait(200); // and nothing more comes
        m_listener.windowWentOn.tryAcquire(m_listener.windowWentOn.available());
        QCOMPARE(m_listener.lines("|"), notice.isEmpty() ? QStringList() : QStringList{notice});
        const QStringList updates = m_listener.lines(kUri);
        QVERIFY2(updates.size() >= 3 && updates.size() <= took / 100 + 2, qPrintable(updates.join(", ")));
        for (qsizetype i = 0; i + 1 < updates.size(); ++i)
            QVERIFY(updates[i].section(u' ', 1) == "1 " + kUri
                    && (i == 0 || updates[i].section(u' ', 0, 0).toDouble() > updates[i - 1].section(u' ', 0, 0).toDouble()));
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
