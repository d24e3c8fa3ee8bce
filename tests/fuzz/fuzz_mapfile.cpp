// The map parser on any bytes: it never crashes, and what it takes is a map
// whose areas follow on from each other and that reads back the same once
// written out.
#include "copy/rescue/RescueMap.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<RescueMap> map = RescueMap::parse(text, qint64(size % 64) + 1);
    if (!map)
        return 0;
    qint64 end = 0, bytes = 0;
    for (const RescueMap::Area &a : map->areas()) {
        if (a.pos != end || a.size <= 0)
            std::abort();
        end = a.end();
        bytes += a.size;
    }
    if (end != map->end())
        std::abort();
    for (const RescueMap::Status s : {RescueMap::Status::NonTried, RescueMap::Status::NonTrimmed,
                                      RescueMap::Status::NonScraped, RescueMap::Status::Bad, RescueMap::Status::Finished})
        bytes -= map->bytes(s);
    const QByteArray written = map->mapfile("fuzz");
    const std::optional<RescueMap> again = RescueMap::parse(written);
    if (bytes != 0 || !again || again->count() != map->count() || again->end() != map->end()
        || RescueMap::lastAreaEnd(written, true) != (map->count() ? std::optional(map->end()) : std::nullopt))
        std::abort();
    return 0;
}
