#include "copy/rescue/MapFinder.h"

QByteArray mapComment(const QByteArray &mapfile, const QByteArray &key)
{
    // Line by line, without splitting the whole text: a map may be long.
    const QByteArray prefix = "# " + key + ':';
    for (qsizetype start = 0; start < mapfile.size();) {
        qsizetype stop = mapfile.indexOf('\n', start);
        if (stop < 0)
            stop = mapfile.size();
        const QByteArrayView line(mapfile.constData() + start, stop - start);
        if (line.startsWith(prefix))
            return line.sliced(prefix.size()).trimmed().toByteArray();
        start = stop + 1;
    }
    return {};
}
