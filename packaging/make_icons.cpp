// Writes the program's icon as PNG files for the hicolor icon theme:
//   make_icons OUTDIR NAME SIZE...  ->  OUTDIR/<S>x<S>/apps/NAME.png
// Run at build time, so the theme's bitmaps and the window's icon are one drawing.

#include "app/AppIcon.h"

#include <QDir>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_icons OUTDIR NAME SIZE...\n");
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (int i = 3; i < argc; ++i) {
        const int size = QByteArray(argv[i]).toInt();
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(outDir).arg(size);
        const QString file = folder + u'/' + name + QStringLiteral(".png");
        if (size <= 0 || !QDir().mkpath(folder) || !drawAppIcon(size).save(file, "PNG")) {
            std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
