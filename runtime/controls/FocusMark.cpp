#include "runtime/controls/FocusMark.h"

#include <QPainter>
#include <QWidget>

namespace rt {

void drawFocusMark(QWidget *on, const QRect &rect, const QColor &beneath)
{
    QPainter painter(on);
    QPen pen(qGray(beneath.rgb()) < 128 ? Qt::white : Qt::black, 1, Qt::DotLine);
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect.adjusted(0, 0, -1, -1));
}

} // namespace rt
