#include "runtime/controls/AccessibleEventPacer.h"

#include <QAccessible>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace rt {

namespace {

constexpr qint64 kSpacingMs = 250;

struct Paced {
    QElapsedTimer lastPassed;
    bool waiting = false;
    QVariant lastValue; // ValueChanged: the value last passed on
};

// Per control and kind of change; an entry goes with its control.
QHash<std::pair<QObject *, int>, Paced> s_paced;

// Captions described with a value: the value's control, and whether the
// caption's description changed since it was last passed on.
struct Follower {
    QObject *value = nullptr;
    bool changed = false;
};
QHash<QObject *, Follower> s_followers;

void pace(QAccessibleEvent *event);

void passOn(QAccessibleEvent *event)
{
    QAccessible::installUpdateHandler(nullptr); // the bridge's own way
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(pace);
}

// A value passed on takes the changed descriptions of its captions with it,
// once the turn that set it is through.
void passFollowers(QObject *value)
{
    QTimer::singleShot(0, value, [value] {
        for (auto it = s_followers.begin(); it != s_followers.end(); ++it) {
            if (it->value != value || !it->changed)
                continue;
            it->changed = false;
            QAccessibleEvent described(it.key(), QAccessible::DescriptionChanged);
            passOn(&described);
        }
    });
}

void passNewest(QObject *object, QAccessible::Event type, Paced &state)
{
    if (type == QAccessible::ValueChanged) {
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(object);
        if (!iface || !iface->valueInterface() || iface->valueInterface()->currentValue() == state.lastValue)
            return;
        state.lastValue = iface->valueInterface()->currentValue();
        QAccessibleValueChangeEvent changed(object, state.lastValue);
        passOn(&changed);
        passFollowers(object);
        return;
    }
    QAccessibleEvent changed(object, type);
    passOn(&changed);
}

void pace(QAccessibleEvent *event)
{
    const QAccessible::Event type = event->type();
    QObject *object = event->object();
    const bool paced = type == QAccessible::ValueChanged || type == QAccessible::DescriptionChanged
        || type == QAccessible::NameChanged;
    if (!paced || !object || event->child() >= 0) {
        passOn(event);
        return;
    }
    if (type == QAccessible::DescriptionChanged) {
        if (const auto follower = s_followers.find(object); follower != s_followers.end()) {
            follower->changed = true;
            return;
        }
    }
    const auto key = std::make_pair(object, int(type));
    if (!s_paced.contains(key))
        QObject::connect(object, &QObject::destroyed, [key] { s_paced.remove(key); });
    Paced &state = s_paced[key];
    if (state.waiting)
        return; // the change waiting to be passed on reads the newest state
    // A value said already is not said again (a bar's own widget sends it too).
    const QVariant value =
        type == QAccessible::ValueChanged ? static_cast<QAccessibleValueChangeEvent *>(event)->value() : QVariant();
    if (value.isValid() && value == state.lastValue)
        return;
    if (!state.lastPassed.isValid() || state.lastPassed.elapsed() >= kSpacingMs) {
        state.lastPassed.start();
        if (value.isValid())
            state.lastValue = value;
        passOn(event);
        if (type == QAccessible::ValueChanged)
            passFollowers(object);
        return;
    }
    state.waiting = true;
    QTimer::singleShot(kSpacingMs - state.lastPassed.elapsed(), Qt::PreciseTimer, object, [object, type, key] {
        Paced &due = s_paced[key];
        due.waiting = false;
        due.lastPassed.start();
        passNewest(object, type, due);
    });
}

} // namespace

void describeWithValue(QObject *caption, QObject *value)
{
    s_followers.insert(caption, {value, false});
    QObject::connect(caption, &QObject::destroyed, [caption] { s_followers.remove(caption); });
}

void paceAccessibleEvents()
{
    static const bool installed = (QAccessible::installUpdateHandler(pace), true);
    Q_UNUSED(installed);
}

} // namespace rt
