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

void pace(QAccessibleEvent *event);

void passOn(QAccessibleEvent *event)
{
    QAccessible::installUpdateHandler(nullptr); // the bridge's own way
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(pace);
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

void paceAccessibleEvents()
{
    static const bool installed = (QAccessible::installUpdateHandler(pace), true);
    Q_UNUSED(installed);
}

} // namespace rt
