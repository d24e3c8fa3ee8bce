#include "runtime/files/SourceFacts.h"

#include "runtime/files/FileAccess.h"
#include "runtime/posix/PosixIo.h"

#include <algorithm>
#include <sys/stat.h>

namespace rt {

SourceFacts sourceFacts(const File &source)
{
    SourceFacts facts;
    struct stat st {};
    if (fstat(source.descriptor(), &st) != 0)
        posix::raiseErrno();
    facts.size = source.length();
    // Blocks hold the data; a sparse file has fewer than its length asks.
    facts.dataBytes = S_ISREG(st.st_mode) ? std::min<qint64>(facts.size, qint64(st.st_blocks) * 512) : facts.size;
    facts.modified = st.st_mtim;
    facts.fsDevice = st.st_dev;
    return facts;
}

} // namespace rt
