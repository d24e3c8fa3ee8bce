#pragma once

#include <QtGlobal>

#include <sys/types.h>
#include <time.h>

namespace rt {

class File;

// Of a source file: its length, the bytes its data takes (less for a sparse
// file), its modification time and its volume.
struct SourceFacts {
    qint64 size = 0;
    qint64 dataBytes = 0;
    timespec modified{};
    dev_t fsDevice = 0;
};
SourceFacts sourceFacts(const File &source);

} // namespace rt
