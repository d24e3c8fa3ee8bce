#include "runtime/controls/ProgressBar.h"

#include <QCoreApplication>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>

#include <algorithm>
#include <cmath>

namespace rt {

ProgressBar::ProgressBar(QWidget *parent) : QProgressBar(parent)
{
    // Repainting the bar is most of what the window costs a copy; the Windows
    // style draws a vertical bar in about a fifth of Fusion's time.
    static QPointer<QStyle> s_barStyle;
    if (!s_barStyle) {
        s_barStyle = QStyleFactory::create(QStringLiteral("Windows"));
        if (s_barStyle)
            s_barStyle->setParent(QCoreApplication::instance());
    }
    if (s_barStyle)
        setStyle(s_barStyle);
    setOrientation(Qt::Vertical);
    setRange(0, 100);
    setValue(0);
    // The percentage text would cost ten times the bar's own repaint.
    setTextVisible(false);
}

void ProgressBar::setBarValue(float value)
{
    const int whole = std::clamp(static_cast<int>(std::lround(value)), 0, 100);
    if (whole == m_value)
        return;
    m_value = whole;
    emit barValueSet(m_value);
    postToScreen();
}

void ProgressBar::applyToScreen()
{
    // QProgressBar repaints on a new value only once it has moved a chunk
    // since its last paint, and any partial paint counts: the strip under a
    // label that reaches into the bar's column is repainted with every new
    // caption, and the rest of the bar would then stay behind by any number
    // of small steps. The pacer already holds this to one frame: repaint whole.
    setValue(m_value);
    update();
}

void ProgressBar::refresh()
{
    DisplayPacer::instance().flush();
    repaint();
}

} // namespace rt
