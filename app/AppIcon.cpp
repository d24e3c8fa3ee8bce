#include "app/AppIcon.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <vector>

namespace {

// One design of the icon on a grid of its own: two sheets and an arrow from
// one to the other. Small sizes have designs of their own on whole pixels, so
// their edges are sharp rather than the blur of a larger drawing scaled down.
struct Design {
    int grid;
    QRectF from, to;
    std::vector<QPointF> arrow;
    bool smooth;
};

const Design kDesigns[] = {
    {16, {1.5, 1.5, 6, 9}, {8.5, 5.5, 6, 9}, {{4, 11}, {4, 14}, {6, 14}, {6, 16}, {9, 12.5}, {6, 9}, {6, 11}}, false},
    {24, {1.5, 2.5, 10, 13}, {12.5, 8.5, 10, 13}, {{6, 16}, {6, 20}, {9, 20}, {9, 23}, {13, 18.5}, {9, 14}, {9, 16}}, false},
    {32, {2.5, 3.5, 13, 17}, {16.5, 11.5, 13, 17}, {{8, 22}, {8, 26}, {12, 26}, {12, 29}, {17, 24}, {12, 19}, {12, 22}}, true},
};

const Design &designFor(int size)
{
    for (const Design &design : kDesigns)
        if (design.grid == size)
            return design;
    return kDesigns[2]; // the large design, drawn at any other size
}

} // namespace

// The program's own icon, drawn rather than shipped, in the window's colours.
// packaging/*.svg is the large design for the desktop's icon theme; the
// theme's bitmaps are drawn here.
QImage drawAppIcon(int size)
{
    const Design &design = designFor(size);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, design.smooth);
    p.scale(double(size) / design.grid, double(size) / design.grid);
    p.setPen(QPen(QColor(0, 0, 96), design.smooth ? 1.2 : 1.0));
    p.setBrush(QColor(255, 255, 255));
    p.drawRect(design.from);
    p.setBrush(QColor(128, 128, 255));
    p.drawRect(design.to);
    p.setPen(design.smooth ? QPen(QColor(0, 0, 96), 1.2) : Qt::NoPen);
    p.setBrush(QColor(0, 128, 0));
    p.drawPolygon(design.arrow.data(), int(design.arrow.size()));
    p.end();
    return image;
}

QIcon makeAppIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48})
        icon.addPixmap(QPixmap::fromImage(drawAppIcon(size)));
    return icon;
}
