#include "copy/rescue/RescueFiles.h"

#include "runtime/files/FileAccess.h"
#include "runtime/media/Drives.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"

#include <utility>

RescueFiles::RescueFiles(const QString &destination, rt::IoWorker &io) : m_io(io), m_destination(destination) {}

RescueFiles::~RescueFiles()
{
    try {
        end(RescueEvent::Thrown, false);
    } catch (...) {
        // end() never throws; nothing is left to undo if the hand-over did.
    }
}

void RescueFiles::writeAfresh(const std::function<rt::Destination()> &open)
{
    m_io.run([&] { m_dest = open(); });
    m_state = RescueState::Private;
}

void RescueFiles::goOnWithPart(const QString &part, const RescueMap &map, const rt::Destination::Options &options)
{
    const QString partPath = rt::childPath(rt::folderPart(m_destination), part);
    try {
        m_io.run([&] {
            m_dest = rt::Destination::goOnWith(partPath, m_destination, options);
            m_folder.emplace(partPath);
            m_part = part;
            m_map = part + QStringLiteral(".map");
            m_folder->removeTemporaries(m_map); // a cut's, now that it is ours to write
        });
    } catch (const rt::RtError &) {
        m_io.run([this] { m_dest.release(); }); // never deleted for failing to open
        m_folder.reset();
        throw;
    }
    mapSavedEarlier();
    m_earlierMap = map;
    m_state = RescueState::KeptAsPart;
}

void RescueFiles::goOnInPlace(const Resumable &earlier, const rt::Destination::Options &options)
{
    try {
        m_io.run([&] {
            m_dest = rt::Destination::goOnWith(m_destination, m_destination, options);
            m_folder.emplace(m_destination);
        });
    } catch (const rt::RtError &) {
        m_io.run([this] { m_dest.release(); }); // never deleted for failing to open
        m_folder.reset();
        throw;
    }
    m_part = rt::namePart(m_destination);
    m_map = earlier.mapFile.name;
    mapSavedEarlier();
    m_earlierMap = earlier.mapFile.map;
    m_earlierCommandLine = earlier.mapFile.commandLine;
    m_state = RescueState::GoneOnInPlace;
}

void RescueFiles::retry(Resumable earlier)
{
    m_retried.emplace(std::move(earlier));
    m_state = RescueState::Retrying;
}

bool RescueFiles::kept() const
{
    const RescueState state = m_state;
    return state == RescueState::KeptAsPart || state == RescueState::GoneOnInPlace;
}

void RescueFiles::keep()
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
    m_state = RescueState::KeptAsPart;
}

void RescueFiles::flushCopy() { m_dest.syncData(); }

void RescueFiles::replaceMap(const QByteArray &content) { m_folder->replace(m_map, content); }

void RescueFiles::flush(qint64 length)
{
    try {
        m_io.run([&] { m_dest.flush(length); });
    } catch (const rt::RtError &e) {
        flushFailed(e.reason()); // a later flush may succeed with the pages lost: no newer map
        throw;
    }
}

rt::Destination::Committed RescueFiles::commit(qint64 length, const std::optional<QByteArray> &mapText, bool allRead)
{
    try {
        // A rescue's map takes its name before the copy does, so a cut
        // between leaves the part with its own map beside it.
        if (mapText)
            m_finalMap = m_io.run([&] { return writeFinalMap(*mapText); });
        const rt::Destination::Committed committed = m_io.run([&] { return m_dest.commit(length); });
        m_finalMapMade.clear();
        m_state = RescueState::Settled;
        m_io.run([&] { settleMap(allRead); });
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
            return {rt::displayPath(m_folder->drivePath(m_map)), true};
        } catch (const rt::RtError &e) {
            return {e.reason(), false};
        }
    }
    // Never over an existing file: "name.map", then "name.1.map", "name.2.map" ...
    // (a long name cut to leave room for the ending).
    const QString folder = rt::folderPart(m_destination);
    for (int n = 0; n < 1000; ++n) {
        const QString name = rt::childPath(folder, mapNameFor(copyName, n));
        try {
            if (rt::createNewFile(name, text)) {
                m_finalMapMade = name;
                return {rt::displayPath(name), true};
            }
        } catch (const rt::RtError &e) {
            return {e.reason(), false};
        }
    }
    return {QStringLiteral("no free name beside the copy"), false};
}

void RescueFiles::unwriteFinalMap()
{
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
    // what was not read); a map written in place stays unless all was read.
    if (!m_folder || (!allRead && m_part == rt::namePart(m_destination)))
        return;
    try {
        m_folder->remove(m_map);
    } catch (const rt::RtError &) {
        // A map that stays only offers a going-on that does not fit.
    }
}

void RescueFiles::clearStaleMap(const QString &copyPath)
{
    const QString mapPath = copyPath + QStringLiteral(".map");
    if (!rt::findFile(copyPath).isEmpty() || rt::findFile(mapPath).isEmpty() || rt::isLink(mapPath))
        return;
    const rt::CopyFolder folder(mapPath);
    const std::optional<QByteArray> text = folder.read(folder.copyName(), 64 * 1024 * 1024);
    if (text && writtenByThisProgram(*text)) {
        folder.remove(folder.copyName());
        folder.removeTemporaries(folder.copyName());
    }
}

bool RescueFiles::deleteMapLessPart(const QString &partPath)
{
    try {
        m_io.run([&] { rt::killFile(partPath); });
        return true;
    } catch (const rt::RtError &) {
        return false;
    }
}

RescueFiles::Ended RescueFiles::end(RescueEvent event, bool rescued, const std::function<void()> &alongside)
{
    const RescueAction action = whatMayGo(m_state, event, facts(rescued));
    Ended ended{action, {}};
    if (!alongside && action != RescueAction::Delete && action != RescueAction::Keep)
        return ended; // nothing to hand to the worker, which may be held by a medium
    try {
        m_io.run([&] {
            if (action == RescueAction::Delete || action == RescueAction::Keep)
                ended.left = carryOut(action);
            if (alongside)
                alongside();
        });
    } catch (...) {
        // Neither throws; nothing is left to undo if the hand-over did.
    }
    m_state = afterAction(m_state, action);
    return ended;
}

RescueLeft RescueFiles::carryOut(RescueAction action)
{
    RescueLeft left;
    if (action == RescueAction::Keep) {
        m_dest.release();
        return left;
    }
    // A rescue not to be kept goes with its map: the map first, so a cut
    // between leaves a part the next Copy asks about, never a map that lies.
    if (m_folder && m_state == RescueState::KeptAsPart) {
        try {
            if (m_folder->has(m_map))
                m_folder->remove(m_map);
        } catch (const rt::RtError &e) {
            left.map = e.reason();
        }
    }
    if (const int error = m_dest.abandon()) {
        if (m_state == RescueState::Private)
            m_leftInPlace = error;
        else
            left.part = rt::reasonFromErrno(error);
    }
    return left;
}
