#include "copy/rescue/KeptFiles.h"

#include "copy/rescue/MapFinder.h"

#include "runtime/files/Destination.h"
#include "runtime/files/IoWorker.h"
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

KeptDestination::KeptDestination(rt::Destination &dest, const QString &destination)
    : m_dest(dest), m_destination(destination)
{
}

KeptDestination::KeptDestination(rt::Destination &dest, const QString &destination, const QString &partName,
                                 const QString &mapName)
    : m_dest(dest), m_destination(destination), m_part(partName), m_map(mapName)
{
    m_folder.emplace(rt::childPath(rt::folderPart(destination), partName));
    mapSavedEarlier();
}

void KeptDestination::keep()
{
    m_part = m_dest.keepAsPart();
    rt::CopyFolder folder(rt::childPath(rt::folderPart(m_destination), m_part));
    if (!m_dest.writesInPlace()) {
        m_map = m_part + QStringLiteral(".map");
    } else {
        for (int n = 0; m_map.isEmpty() || folder.has(m_map); ++n)
            m_map = mapNameFor(m_part, n);
    }
    m_folder.emplace(std::move(folder));
}

void KeptDestination::flushCopy() { m_dest.syncData(); }

void KeptDestination::replaceMap(const QByteArray &content) { m_folder->replace(m_map, content); }

void KeptPatch::flushCopy() { m_copy.flush(); }

void KeptPatch::replaceMap(const QByteArray &content) { m_folder.replace(m_map, content); }
