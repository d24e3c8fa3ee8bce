#include "copy/rescue/KeptFiles.h"

#include "copy/rescue/MapFinder.h"

#include "runtime/media/IoWorker.h"
#include "runtime/files/PatchedFile.h"
#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"

SavedMap saveMap(KeptRescue &kept, rt::IoWorker &io, const std::function<QByteArray()> &content)
{
    SavedMap saved;
    if (!kept.m_flushError.isEmpty()) {
        saved.writeError = kept.m_flushError;
        return saved;
    }
    try {
        io.run([&] { kept.flushCopy(); });
    } catch (const rt::RtError &e) {
        kept.m_flushError = saved.writeError = e.reason();
        return saved;
    }
    try {
        // Named only once its data is on the medium, its first map right after.
        io.run([&] {
            if (!kept.kept())
                kept.keep();
            kept.replaceMap(content());
        });
        kept.m_mapSaved = true;
    } catch (const rt::RtError &e) {
        saved.mapError = e.reason(); // the next save may succeed
    }
    return saved;
}

void KeptPatch::flushCopy() { m_copy.flush(); }

void KeptPatch::replaceMap(const QByteArray &content) { m_folder.replace(m_map, content); }
