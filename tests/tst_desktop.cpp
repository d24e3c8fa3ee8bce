// What the desktop hears of a copy on a private session bus (ctest runs this
// under dbus-run-session): a listener stands in for the dock and the
// notification service.
#include "support/FormFixture.h"
#include "runtime/Transfer.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <unistd.h>

// On a thread of its own, it answers a notification only once the window's
// thread has gone on past the copy: a window that waited for it is caught.
class Listener : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QMutex mutex;
    QList<QVariantMap> updates;
    QList<QStringList> notices;
    QSemaphore windowWentOn;

public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &hints, int)
    {
        const bool after = windowWentOn.tryAcquire(1, 20000);
        const QMutexLocker lock(&mutex);
        notices.append({summary, body, hints.value("category").toString(), hints.value("desktop-entry").toString(),
                        after ? "answered after" : "waited for"});
        return 1;
    }
    void update(const QString &uri, QVariantMap properties)
    {
        const QMutexLocker lock(&mutex);
        properties.insert("uri", uri);
        updates.append(properties);
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

    void copyShowsProgressThenOneNotice_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::addColumn<bool>("watched");
        QTest::addColumn<int>("notifyAfter");
        QTest::addColumn<QString>("category"); // "" for no notice
        QTest::newRow("completed elsewhere") << false << false << 0 << "transfer.complete";
        QTest::newRow("failed elsewhere") << true << false << 0 << "transfer.error";
        QTest::newRow("completed in view") << false << true << 0 << "";
        QTest::newRow("shorter than ten seconds") << false << false << 10000 << "";
    }
    void copyShowsProgressThenOneNotice()
    {
        QFETCH(bool, fails);
        QFETCH(bool, watched);
        QFETCH(int, notifyAfter);
        QFETCH(QString, category);
        m_listener.updates.clear();
        m_listener.notices.clear();
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("big.bin"), patternBytes(24 << 20));
        MyForm &form = f.start();
        if (watched)
            form.showCentred();
        QVERIFY(!watched || QTest::qWaitForWindowActive(&form));
        form.desktopNotices().setNotifyAfter(notifyAfter);
        FormFixture::pickDrive(f.c().drv2, u'd');
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("big.bin")));
        // Pieces that take a while, so the bar moves faster than the launcher may.
        rt::setWriteFaultHook([fails](qint64 at, qint64) { return usleep(15000), fails && at >= (16 << 20) ? ENOSPC : 0; });
        QElapsedTimer copying;
        copying.start();
        f.c().cmdCopy->click();
        const qint64 took = copying.elapsed();
        m_listener.windowWentOn.release();
        rt::setWriteFaultHook(nullptr);
        const auto done = [&] {
            const QMutexLocker lock(&m_listener.mutex);
            return !m_listener.updates.isEmpty() && !m_listener.updates.last().value("progress-visible").toBool()
                && m_listener.notices.size() == (category.isEmpty() ? 0 : 1);
        };
        QTRY_VERIFY(done());
        QTest::qWait(200); // and nothing more comes
        const QMutexLocker lock(&m_listener.mutex);
        m_listener.windowWentOn.tryAcquire(m_listener.windowWentOn.available());
        // At most one a tenth of a second, rising, then the launcher cleared.
        const QList<QVariantMap> &updates = m_listener.updates;
        QVERIFY2(updates.size() >= 3 && updates.size() <= took / 100 + 2, qPrintable(QString::number(updates.size())));
        for (qsizetype i = 0; i < updates.size(); ++i) {
            QCOMPARE(updates[i].value("uri").toString(), QStringLiteral("application://io.github.duplon.Duplon.desktop"));
            QCOMPARE(updates[i].value("progress-visible").toBool(), i + 1 < updates.size());
            QVERIFY(i == 0 || i + 1 == updates.size() || updates[i].value("progress").toDouble() > updates[i - 1].value("progress").toDouble());
        }
        const QList<QStringList> expected{{fails ? "File Copy Failed." : "File Copy Completed.",
            fails ? "D:\\big.bin could not be copied." : "D:\\big.bin is copied.", category, "io.github.duplon.Duplon", "answered after"}};
        QCOMPARE(m_listener.notices, category.isEmpty() ? QList<QStringList>() : expected);
    }

    // Without a session bus a copy runs and ends as ever.
    void noBusNoHarm()
    {
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("XDG_RUNTIME_DIR", "/nonexistent");
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.bin"), "abc");
        f.start().desktopNotices().setNotifyAfter(0);
        FormFixture::pickDrive(f.c().drv2, u'd');
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("a.bin")));
        f.c().cmdCopy->click();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("File Copy Completed.")});
        QCOMPARE(f.drives.read(u'd', QStringLiteral("a.bin")), QByteArray("abc"));
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
