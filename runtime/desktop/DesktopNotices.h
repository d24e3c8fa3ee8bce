#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>


namespace rt {

// What the desktop shows of a copy outside the window, over the session bus:
// the copy's progress on the program's launcher (docks and KDE Plasma draw
// it), and one notification when a long copy ends while the window is not
// active. Only signals and calls that expect no answer go out, so a hung
// service never holds the window; without a session bus nothing happens.
class DesktopNotices : public QObject {
    Q_OBJECT
public:
    // NamedInDoubt: the copy took its name, but the window warns of it.
    enum class End { Completed, Stopped, Failed, Refused, NamedInDoubt };

    // The window whose activity decides whether a notification is worth it.
    // owner: the window, which owns the notices; isActive: whether the user
    // has it in front, so a copy they watch ends without a notice.
    DesktopNotices(QObject *owner, std::function<bool()> isActive);
    ~DesktopNotices() override;

    void copyStarted();
    // The bar's value, 0 to 100.
    void setProgress(int percent);
    // Clears the launcher; notifies of a copy that ran long enough, unless the
    // user was looking at the window as it ended. file: the copy's file;
    // words: NamedInDoubt, what the window says of it; Completed, a line
    // added to the notice (a rescue's word on going on later).
    void copyEnded(End end, const QString &file, const QString &words = QString());

    // A copy must have run this long for a notification (10 s).
    void setNotifyAfter(qint64 milliseconds) { m_notifyAfter = milliseconds; }

    static constexpr int kUpdateInterval = 100; // at most ten updates a second
    static const QString kAppUri;

private:
    QDBusConnection *bus();
    void sendProgress(double share, bool visible);

    std::function<bool()> m_isActive;
    std::optional<QDBusConnection> m_bus;
    bool m_busTried = false;
    bool m_running = false;
    bool m_activeAtLastProgress = true;
    int m_pending = -1; // a value waiting for its turn, or -1
    qint64 m_notifyAfter = 10000;
    QElapsedTimer m_started;
    QElapsedTimer m_lastSent;
    QTimer m_pace;
};

} // namespace rt
