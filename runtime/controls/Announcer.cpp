#include "runtime/controls/Announcer.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace rt {

namespace {

// Orca 43 speaks a notification whenever it shows, its name as the words.
class AnnouncerAccessible : public QAccessibleWidget {
public:
    explicit AnnouncerAccessible(Announcer *announcer) : QAccessibleWidget(announcer, QAccessible::Notification) {}
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return static_cast<const Announcer *>(widget())->words();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *announcerAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String(Announcer::staticMetaObject.className()) && object->isWidgetType())
        return new AnnouncerAccessible(static_cast<Announcer *>(object));
    return nullptr;
}

constexpr int kHoldMs = 400;

} // namespace

Announcer::Announcer(QWidget *window) : QWidget(window)
{
    static const bool installed = (QAccessible::installFactory(announcerAccessible), true);
    Q_UNUSED(installed);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(0, 0, 0, 0);
    hide(); // shown only to speak: a notification that shows with the window has no words
    m_holdTime.setSingleShot(true);
    m_holdTime.setInterval(kHoldMs);
    connect(&m_holdTime, &QTimer::timeout, this, [this] { say(QString()); });
}

void Announcer::say(const QString &words)
{
    m_holdTime.stop();
    const QString all = m_held.isEmpty() ? words : words.isEmpty() ? m_held : m_held + u' ' + words;
    m_held.clear();
    if (all.isEmpty())
        return;
    m_words = all;
    // Showing again is what a reader hears: Qt tells it as the notification
    // showing, where a name change would be refused.
    hide();
    show();
}

void Announcer::hold(const QString &words)
{
    m_held = m_held.isEmpty() ? words : m_held + u' ' + words;
    m_holdTime.start();
}

} // namespace rt
