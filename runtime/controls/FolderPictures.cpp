#include "runtime/controls/FolderPictures.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace rt {

QImage drawFolder(int size, bool open)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    QPen outline(QColor(120, 84, 14), 1);
    outline.setJoinStyle(Qt::MiterJoin);
    p.setPen(outline);
    // The back with its tab, as both pictures have it.
    QPainterPath back;
    back.moveTo(1.5, 3.5);
    back.lineTo(6.5, 3.5);
    back.lineTo(7.5, 4.5);
    back.lineTo(14.5, 4.5);
    back.lineTo(14.5, 13.5);
    back.lineTo(1.5, 13.5);
    back.closeSubpath();
    if (!open) {
        p.setBrush(QColor(240, 194, 78));
        p.drawPath(back);
        p.drawLine(QPointF(1.5, 6.5), QPointF(14.5, 6.5)); // the closed front's upper edge
        return image;
    }
    // Open: the dark inside, a sheet standing in it, and the front flap
    // lowered forward, lighter, over the lower half.
    p.setBrush(QColor(110, 74, 10));
    p.drawPath(back);
    p.setPen(QPen(QColor(150, 150, 150), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4.5, 5.5, 8, 5));
    p.setPen(outline);
    QPainterPath flap;
    flap.moveTo(0.5, 14.5);
    flap.lineTo(12.5, 14.5);
    flap.lineTo(15.5, 8.5);
    flap.lineTo(3.5, 8.5);
    flap.closeSubpath();
    p.setBrush(QColor(255, 226, 140));
    p.drawPath(flap);
    return image;
}

QIcon folderIcon(bool open)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48})
        icon.addPixmap(QPixmap::fromImage(drawFolder(size, open)));
    return icon;
}

} // namespace rt
