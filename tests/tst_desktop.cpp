// What the desktop hears of a copy, on a private session bus: the launcher's
// progress signals and the notification at the end, received by a listener
// that stands in for the dock and the notification service.
#include "support/DesktopSession.h"
#include "support/FormFixture.h"
#include "runtime/Transfer.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <cerrno>
#include <unistd.h>

namespace {

// The dock and the notification service, on a thread of their own: a
// notification is answered only once the window's thread lets it, so a window
// that waited for the answer would be caught.
class Listener : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Notice {
        QString icon, summary, body;
        QVariantMap hints;
        bool answeredAfterTheWindowWentOn;
    };
    QMutex mutex;
    QList<QPair<QString, QVariantMap>> updates;
    QList<Notice> notices;
    QSemaphore windowWentOn;

public slots:
    uint Notify(const QString &, uint, const QString &icon, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &hints, int)
    {
        const bool wentOn = windowWentOn.tryAcquire(1, 20000);
        const QMutexLocker lock(&mutex);
        notices.append({icon, summary, body, hints, wentOn});
        return uint(notices.size());
    }
    void update(const QString &uri, const QVariantMap &properties)
    {
        const QMutexLocker lock(&mutex);
        updates.append({uri, properties});
    }
};

} // namespace

class TestDesktop : public QObject {
    Q_OBJECT
    SessionBus m_bus;
    QThread m_thread;
    Listener m_listener;

private slots:
    void initTestCase()
    {
        if (!m_bus.running())
            QSKIP(qPrintable(QStringLiteral("no private session bus: %1").arg(m_bus.why)));
        m_listener.moveToThread(&m_thread);
        m_thread.start();
        QDBusConnection listener = QDBusConnection::connectToBus(m_bus.address, QStringLiteral("listener"));
        QVERIFY(listener.isConnected());
        QVERIFY(listener.registerService(QStringLiteral("org.freedesktop.Notifications")));
        QVERIFY(listener.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &m_listener,
                                        QDBusConnection::ExportAllSlots));
        QVERIFY(listener.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                 QStringLiteral("Update"), &m_listener, SLOT(update(QString, QVariantMap))));
    }
    void cleanupTestCase()
    {
        m_thread.quit();
        m_thread.wait();
        QDBusConnection::disconnectFromBus(QStringLiteral("listener"));
    }
    void cleanup() { rt::setWriteFaultHook(nullptr); }

    void copyShowsProgressThenOneNotice_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::addColumn<bool>("watched");
        QTest::addColumn<bool>("lasting");
        QTest::addColumn<QString>("category"); // "" for no notice
        QTest::newRow("completed elsewhere") << false << false << true << "transfer.complete";
        QTest::newRow("failed elsewhere") << true << false << true << "transfer.error";
        QTest::newRow("completed in view") << false << true << true << "";
        QTest::newRow("shorter than ten seconds") << false << false << false << "";
    }
    void copyShowsProgressThenOneNotice()
    {
        QFETCH(bool, fails);
        QFETCH(bool, watched);
        QFETCH(bool, lasting);
        QFETCH(QString, category);
        {
            const QMutexLocker lock(&m_listener.mutex);
            m_listener.updates.clear();
            m_listener.notices.clear();
            m_listener.windowWentOn.tryAcquire(m_listener.windowWentOn.available());
        }
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("big.bin"), patternBytes(24 << 20));
        MyForm &form = f.start();
        if (watched) {
            form.showCentred();
            QVERIFY(QTest::qWaitForWindowActive(&form));
        }
        if (lasting)
            form.desktopNotices().setNotifyAfter(0);
        FormFixture::pickDrive(f.c().drv2, u'd');
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("big.bin")));
        // Pieces that take a while, so the bar moves faster than the launcher may.
        rt::setWriteFaultHook([fails](qint64 offset, qint64) {
            usleep(15000);
            return fails && offset >= (16 << 20) ? ENOSPC : 0;
        });
        QElapsedTimer copying;
        copying.start();
        f.c().cmdCopy->click();
        const qint64 took = copying.elapsed();
        m_listener.windowWentOn.release();
        QCOMPARE(f.dialogs.messages().size(), 1);

        const auto cleared = [this] {
            const QMutexLocker lock(&m_listener.mutex);
            return !m_listener.updates.isEmpty() && !m_listener.updates.last().second.value("progress-visible").toBool();
        };
        QTRY_VERIFY(cleared());
        if (!category.isEmpty())
            QTRY_COMPARE(m_listener.notices.size(), qsizetype(1));
        else
            QTest::qWait(300);
        const QMutexLocker lock(&m_listener.mutex);
        const auto &updates = m_listener.updates;
        QVERIFY2(updates.size() >= 3, qPrintable(QString::number(updates.size())));
        QVERIFY2(updates.size() <= took / rt::DesktopNotices::kUpdateInterval + 2,
                 qPrintable(QStringLiteral("%1 updates in %2 ms").arg(updates.size()).arg(took)));
        double last = -1;
        for (qsizetype i = 0; i < updates.size(); ++i) {
            QCOMPARE(updates[i].first, QStringLiteral("application://io.github.duplon.Duplon.desktop"));
            const double progress = updates[i].second.value("progress").toDouble();
            if (i + 1 < updates.size()) {
                QVERIFY(updates[i].second.value("progress-visible").toBool());
                QVERIFY(progress > last && progress <= 1);
                last = progress;
            }
        }
        if (category.isEmpty()) {
            QVERIFY(m_listener.notices.isEmpty());
            return;
        }
        const Listener::Notice &notice = m_listener.notices[0];
        QVERIFY(notice.answeredAfterTheWindowWentOn); // nobody waited for the service
        QCOMPARE(notice.hints.value("category").toString(), category);
        QCOMPARE(notice.hints.value("desktop-entry").toString(), QStringLiteral("io.github.duplon.Duplon"));
        QCOMPARE(notice.summary, fails ? QStringLiteral("File Copy Failed.") : QStringLiteral("File Copy Completed."));
        QVERIFY2(notice.body.contains(QStringLiteral("D:\\big.bin")), qPrintable(notice.body));
    }

    // Without a session bus a copy runs and ends as ever.
    void noBusNoHarm()
    {
        const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(QDir::tempPath() + QStringLiteral("/no-such-runtime")));
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("a.bin"), "abc");
        MyForm &form = f.start();
        form.desktopNotices().setNotifyAfter(0);
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
