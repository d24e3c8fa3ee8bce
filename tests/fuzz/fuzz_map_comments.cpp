// What the map finder reads of a file beside a copy before it reads it whole:
// its comment lines and, from its last bytes, where its last area ends. Any
// bytes, never a crash; a last area's end is one the whole map agrees with.
#include "copy/rescue/MapFinder.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    for (const QByteArray key : {"Command line", "Current time", "Mapfile. Created by Duplon", ""})
        if (mapComment(text, key).contains('\n'))
            std::abort();
    const std::optional<qint64> end = RescueMap::lastAreaEnd(text, true);
    (void)RescueMap::lastAreaEnd(text.right(qsizetype(size / 2)), false);
    if (const std::optional<RescueMap> map = RescueMap::parse(text); map && map->count() > 0 && end != map->end())
        std::abort();
    return 0;
}
