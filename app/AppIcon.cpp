#include "app/AppIcon.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

// The program's own icon, drawn rather than shipped: two sheets and an arrow
// from one to the other, in the window's colours. packaging/*.svg is the same
// drawing for the desktop's icon theme; the theme's bitmaps are made from this one.
QImage drawAppIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    p.setPen(QPen(QColor(0, 0, 96), 1.2));
    p.setBrush(QColor(255, 255, 255));
    p.drawRect(QRectF(2.5, 3.5, 13, 17));
    p.setBrush(QColor(128, 128, 255));
    p.drawRect(QRectF(16.5, 11.5, 13, 17));
    QPainterPath arrow;
    arrow.moveTo(8, 22);
    arrow.lineTo(8, 26);
    arrow.lineTo(12, 26);
    arrow.lineTo(12, 29);
    arrow.lineTo(17, 24);
    arrow.lineTo(12, 19);
    arrow.lineTo(12, 22);
    arrow.closeSubpath();
    p.setBrush(QColor(0, 128, 0));
    p.drawPath(arrow);
    p.end();
    return image;
}

QIcon makeAppIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addPixmap(QPixmap::fromImage(drawAppIcon(size)));
    return icon;
}
