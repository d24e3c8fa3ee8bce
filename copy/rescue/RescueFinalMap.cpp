#include "copy/rescue/RescueFiles.h"

#include "runtime/files/FileAccess.h"
#include "runtime/media/Drives.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"

#include <utility>

// The end of a rescue that took its name: its final map, which no other
// window may take for a cut's while this copy finishes, and which a full
// medium never leaves missing.

namespace {

std::function<void(bool)> s_beforeNaming;

} // namespace

void RescueFiles::setBeforeNaming(std::function<void(bool)> step) { s_beforeNaming = std::move(step); }

rt::Destination::Committed RescueFiles::commit(qint64 length, const std::optional<QByteArray> &mapText, bool allRead)
{
    try {
        // A rescue's map takes its name before the copy does, so a cut
        // between leaves the part with its own map beside it.
        if (mapText) {
            if (s_beforeNaming)
                s_beforeNaming(false);
            m_finalMap = m_io.run([&] { return writeFinalMap(*mapText); });
            if (!m_finalMap.written)
                m_io.run([&] { keepPartMapAsFinal(); });
            if (s_beforeNaming)
                s_beforeNaming(true);
        }
        const rt::Destination::Committed committed = m_io.run([&] { return m_dest.commit(length); });
        m_finalMapMade.clear();
        m_state = RescueState::Settled;
        m_io.run([&] {
            releaseFinalMap();
            settleMap(allRead);
            m_partMapMoved.clear();
        });
        return committed;
    } catch (const rt::RtError &) {
        m_io.run([this] { unwriteFinalMap(); });
        throw;
    }
}

RescueFiles::FinalMap RescueFiles::writeFinalMap(const QByteArray &text)
{
    const QString copyName = rt::namePart(m_destination);
    if (m_folder && m_part == copyName) { // written in place: its map has its name already
        try {
            m_folder->replace(m_map, text);
            return {rt::displayPath(m_folder->drivePath(m_map)), true, {}};
        } catch (const rt::RtError &e) {
            return {e.reason(), false, {}};
        }
    }
    // Never over an existing file: "name.map", then "name.1.map", "name.2.map" ...
    // (a long name cut to leave room for the ending).
    const QString folder = rt::folderPart(m_destination);
    for (int n = 0; n < 1000; ++n) {
        const QString name = rt::childPath(folder, mapNameFor(copyName, n));
        try {
            if (rt::createNewFile(name, text, &m_finalMapHeld)) {
                m_finalMapMade = name;
                return {rt::displayPath(name), true, {}};
            }
        } catch (const rt::RtError &e) {
            return {e.reason(), false, {}};
        }
    }
    return {QStringLiteral("no free name beside the copy"), false, {}};
}

void RescueFiles::keepPartMapAsFinal()
{
    const QString why = QStringLiteral("The map of the unreadable parts could not be written: ") + m_finalMap.words;
    if (!m_folder || !m_mapNamed)
        throw rt::RtError(rt::ErrPathFileAccess, why);
    if (m_part == rt::namePart(m_destination)) {
        // Written in place: its map keeps its name, as last saved after a good flush.
        m_finalMap.keptAs = rt::displayPath(m_folder->drivePath(m_map));
        return;
    }
    // The rescue's map as last saved is true of the part: it takes the final
    // map's name, held with this copy's lock until the part has taken NAME.
    rt::HeldFile held = m_folder->hold(m_map);
    for (int n = 0; n < 1000 && m_partMapMoved.isEmpty(); ++n) {
        const QString name = mapNameFor(rt::namePart(m_destination), n);
        try {
            if (m_folder->renameToFree(m_map, name))
                m_partMapMoved = name;
        } catch (const rt::RtError &) {
            if (!m_folder->has(m_map) && m_folder->has(name))
                m_partMapMoved = name; // renamed; only its folder's flush failed
            else
                break;
        }
    }
    if (m_partMapMoved.isEmpty())
        throw rt::RtError(rt::ErrPathFileAccess, why); // NAME.part stays with its map
    m_finalMapHeld = std::move(held);
    m_finalMap.keptAs = rt::displayPath(m_folder->drivePath(m_partMapMoved));
}

void RescueFiles::releaseFinalMap() { m_finalMapHeld.letGo(); }

void RescueFiles::unwriteFinalMap()
{
    if (const QString moved = std::exchange(m_partMapMoved, QString()); !moved.isEmpty()) {
        try {
            (void)m_folder->renameToFree(moved, m_map); // the part stays, and its map with it
        } catch (const rt::RtError &) {
        }
        m_finalMap.keptAs.clear();
    }
    releaseFinalMap();
    const QString made = std::exchange(m_finalMapMade, QString());
    if (made.isEmpty())
        return; // a map that was there before stays
    m_finalMap.written = false;
    try {
        rt::killFile(made); // it would stand beside a copy that never took the name
    } catch (const rt::RtError &) {
    }
}

void RescueFiles::settleMap(bool allRead)
{
    // The part has taken the name: its own map is stale now (NAME.map holds
    // what was not read); a map written in place stays unless all was read,
    // and so does one that took the final map's name.
    if (!m_folder || !m_partMapMoved.isEmpty() || (!allRead && m_part == rt::namePart(m_destination)))
        return;
    try {
        m_folder->remove(m_map);
    } catch (const rt::RtError &) {
        // A map that stays only offers a going-on that does not fit.
    }
}
