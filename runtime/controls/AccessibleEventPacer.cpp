#include "runtime/controls/AccessibleEventPacer.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
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

// Captions that go with a value: the value's control, and whether the
// caption's text changed since it was last passed on.
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

// A value passed on takes the changed texts of its captions with it,
// once the turn that set it is through.
void passFollowers(QObject *value)
{
    QTimer::singleShot(0, value, [value] {
        for (auto it = s_followers.begin(); it != s_followers.end(); ++it) {
            if (it->value != value || !it->changed)
                continue;
            it->changed = false;
            QAccessibleEvent renamed(it.key(), QAccessible::NameChanged);
            passOn(&renamed);
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

// A list has the focus, or is the drop-down of a box that has it: a list's
// current item changes as it is read again or set from code, and Qt tells
// each change as focus, which a reader believes and follows away from where
// the keys go.
bool holdsFocus(QObject *object)
{
    const auto *list = qobject_cast<QAbstractItemView *>(object);
    if (!list || list->hasFocus())
        return true;
    const QWidget *dropDown = list->parentWidget();
    const auto *box = dropDown ? qobject_cast<QComboBox *>(dropDown->parentWidget()) : nullptr;
    return box && box->view() == list && box->hasFocus();
}

// The changes still waiting for their turn, passed on now: what comes next
// (a message, a new focus) is heard after what came before it.
void passWaiting()
{
    const auto waiting = s_paced.keys();
    for (const auto &key : waiting) {
        Paced &state = s_paced[key];
        if (!state.waiting)
            continue;
        state.waiting = false;
        state.lastPassed.start();
        passNewest(key.first, QAccessible::Event(key.second), state);
    }
}

void pace(QAccessibleEvent *event)
{
    const QAccessible::Event type = event->type();
    QObject *object = event->object();
    if (type == QAccessible::Focus && !holdsFocus(object))
        return;
    if (type == QAccessible::Focus || type == QAccessible::ObjectShow || type == QAccessible::DialogStart
        || type == QAccessible::Alert)
        passWaiting();
    const bool paced = type == QAccessible::ValueChanged || type == QAccessible::DescriptionChanged
        || type == QAccessible::NameChanged;
    if (!paced || !object || event->child() >= 0) {
        passOn(event);
        return;
    }
    if (type == QAccessible::DescriptionChanged || type == QAccessible::NameChanged) {
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
        if (!due.waiting)
            return; // passed on already, ahead of a message or a focus
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
