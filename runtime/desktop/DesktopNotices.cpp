#include "runtime/desktop/DesktopNotices.h"

#include <QCoreApplication>
#include <QPointer>
#include <QDBusMessage>
#include <QFileInfo>
#include <QThread>
#include <QVariantMap>

#include <cstdlib>

namespace rt {

namespace {

const QString kDesktopEntry = QStringLiteral("io.github.duplon.Duplon");
const QString kBusName = QStringLiteral("duplon-desktop");

// The session bus's address, only where one is known: with none, libdbus would
// try to start a bus of its own ("autolaunch").
QString sessionBusAddress()
{
    if (const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return QString::fromLocal8Bit(address);
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const QString socket = QString::fromLocal8Bit(runtime) + QStringLiteral("/bus");
        if (QFileInfo(socket).exists())
            return QStringLiteral("unix:path=") + socket;
    }
    return QString();
}

} // namespace

const QString DesktopNotices::kAppUri = QStringLiteral("application://io.github.duplon.Duplon.desktop");

DesktopNotices::DesktopNotices(QObject *owner, std::function<bool()> isActive)
    : QObject(owner), m_isActive(std::move(isActive))
{
    m_pace.setSingleShot(true);
    connect(&m_pace, &QTimer::timeout, this, [this] {
        if (m_running && m_pending >= 0)
            setProgress(m_pending);
    });
}

DesktopNotices::~DesktopNotices()
{
    if (m_bus)
        QDBusConnection::disconnectFromBus(m_bus->name());
}

QDBusConnection *DesktopNotices::bus()
{
    if (!m_busTried) {
        m_busTried = true;
        const QString address = sessionBusAddress();
        if (address.isEmpty())
            return nullptr;
        // Connecting waits for the bus's answer: a thread of its own does it,
        // and the window goes on; what comes meanwhile waits for the bus.
        // The notices may be gone by the answer (a window closed at once):
        // the answer goes to the application, which looks on its own thread.
        QThread *connecting = QThread::create([self = QPointer<DesktopNotices>(this), address] {
            QDBusConnection connection = QDBusConnection::connectToBus(address, kBusName);
            QCoreApplication *app = QCoreApplication::instance();
            if (!app)
                return;
            QMetaObject::invokeMethod(app, [self, connection] {
                if (!self || !connection.isConnected()) {
                    QDBusConnection::disconnectFromBus(kBusName);
                    return;
                }
                self->m_bus = connection;
                if (self->m_running && self->m_pending >= 0)
                    self->setProgress(self->m_pending);
            }, Qt::QueuedConnection);
        });
        connect(connecting, &QThread::finished, connecting, &QObject::deleteLater);
        connecting->start();
    }
    return m_bus ? &*m_bus : nullptr;
}

void DesktopNotices::sendProgress(double share, bool visible)
{
    QDBusConnection *connection = bus();
    if (!connection)
        return;
    QDBusMessage update = QDBusMessage::createSignal(QStringLiteral("/io/github/duplon/Duplon"),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    update << kAppUri
           << QVariantMap{{QStringLiteral("progress"), share}, {QStringLiteral("progress-visible"), visible}};
    connection->send(update);
    m_lastSent.start();
}

void DesktopNotices::copyStarted()
{
    m_running = true;
    m_pending = -1;
    m_activeAtLastProgress = true;
    m_started.start();
    m_lastSent.invalidate();
    bus(); // the first copy connects
}

void DesktopNotices::setProgress(int percent)
{
    if (!m_running)
        return;
    m_activeAtLastProgress = m_isActive();
    // At most one update per interval; the latest value goes out when the
    // interval is over.
    if (!m_bus || (m_lastSent.isValid() && m_lastSent.elapsed() < kUpdateInterval)) {
        m_pending = percent;
        if (m_bus && !m_pace.isActive())
            m_pace.start(int(kUpdateInterval - m_lastSent.elapsed()));
        return;
    }
    m_pending = -1;
    sendProgress(percent / 100.0, true);
}

void DesktopNotices::copyEnded(End end, const QString &file, const QString &words)
{
    if (!m_running)
        return;
    m_running = false;
    m_pace.stop();
    m_pending = -1;
    if (!m_bus)
        return;
    sendProgress(0, false);
    // The closing message may have brought the window forward by now: what
    // counts is whether the user was elsewhere when the copy got to its end.
    const bool watched = m_isActive() && m_activeAtLastProgress;
    if (watched || m_started.elapsed() <= m_notifyAfter || end == End::Stopped || end == End::Refused)
        return;
    const bool completed = end == End::Completed;
    const bool inDoubt = end == End::NamedInDoubt;
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("Duplon") << 0u << kDesktopEntry
           << (completed ? QStringLiteral("File Copy Completed.")
               : inDoubt ? QStringLiteral("File Copy Not Confirmed.")
                         : QStringLiteral("File Copy Failed."))
           << (completed ? QStringLiteral("%1 is copied.").arg(file) + (words.isEmpty() ? QString() : u'\n' + words)
               : inDoubt ? words
                         : QStringLiteral("%1 could not be copied.").arg(file))
           << QStringList()
           << QVariantMap{{QStringLiteral("category"),
                           completed ? QStringLiteral("transfer.complete")
                           : inDoubt ? QStringLiteral("transfer")
                                     : QStringLiteral("transfer.error")},
                          {QStringLiteral("desktop-entry"), kDesktopEntry}}
           << -1;
    // Sent without waiting: a notification service that hangs holds nothing.
    m_bus->send(notify);
}

} // namespace rt
