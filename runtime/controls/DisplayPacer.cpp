#include "runtime/controls/DisplayPacer.h"

#include <QCoreApplication>
#include <QPointer>

#include <utility>

namespace rt {

namespace {

QPointer<DisplayPacer> s_pacer;

} // namespace

// ---- DisplayPacer -----------------------------------------------------------

DisplayPacer::DisplayPacer(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &DisplayPacer::flush);
}

DisplayPacer &DisplayPacer::instance()
{
    if (!s_pacer)
        s_pacer = new DisplayPacer(QCoreApplication::instance());
    return *s_pacer;
}

void DisplayPacer::post(PacedControl *control)
{
    if (!control->m_waiting) {
        control->m_waiting = true;
        m_waiting.append(control);
    }
    if (m_timer.isActive())
        return;
    const qint64 since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : kFrameMs;
    if (since >= kFrameMs)
        flush();
    else
        m_timer.start(static_cast<int>(kFrameMs - since));
}

void DisplayPacer::forget(PacedControl *control)
{
    m_waiting.removeAll(control);
}

void DisplayPacer::flush()
{
    m_timer.stop();
    const QList<PacedControl *> waiting = std::exchange(m_waiting, {});
    for (PacedControl *control : waiting) {
        control->m_waiting = false;
        control->applyToScreen();
    }
    m_sinceFlush.restart();
}

PacedControl::~PacedControl()
{
    if (m_waiting && s_pacer)
        s_pacer->forget(this);
}

} // namespace rt
