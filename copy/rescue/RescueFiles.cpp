#include "copy/rescue/RescueFiles.h"

#include "runtime/files/FileAccess.h"
#include "runtime/files/HiddenLeftovers.h"
#include "runtime/files/WriterLock.h"
#include "runtime/media/Drives.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"

#include <utility>

RescueFiles::RescueFiles(const QString &destination, rt::IoWorker &io) : m_io(io), m_destination(destination) {}

RescueFiles::~RescueFiles()
{
    try {
        end(RescueEvent::Thrown, false);
        m_io.run([this] { releaseFinalMap(); });
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
            m_mapNamed = true;
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
            m_folder->removeTemporaries(earlier.mapFile.name); // a cut's, now that it is ours to write
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
    // The writer's lock first: a retry that meets another is refused before it
    // touches a file. Then a cut's temporary files of the map are ours to clear.
    m_io.run([&] {
        earlier.copy = earlier.files.openCopy();
        if (!rt::lockAsWriter(earlier.copy.descriptor()))
            throw rt::RtError(rt::ErrPathFileAccess, rt::writtenElsewhereText());
        earlier.files.removeTemporaries(earlier.mapFile.name);
    });
    m_folder.emplace(earlier.files);
    m_map = earlier.mapFile.name;
    m_retried.emplace(std::move(earlier));
    m_state = RescueState::Retrying;
}

QString RescueFiles::settleRetried()
{
    if (m_state != RescueState::Retrying || !m_folder)
        return QString();
    try {
        m_io.run([this] { m_folder->remove(m_map); });
    } catch (const rt::RtError &e) {
        return e.reason();
    }
    return QString();
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
        folder.removeTemporaries(m_map); // a cut's: the part's name was free, so no copy writes its map
    } else {
        for (int n = 0; m_map.isEmpty() || folder.has(m_map); ++n)
            m_map = mapNameFor(m_part, n);
    }
    m_folder.emplace(std::move(folder));
    m_state = RescueState::KeptAsPart;
}

void RescueFiles::flushCopy() { m_dest.syncData(); }

void RescueFiles::replaceMap(const QByteArray &content)
{
    bool named = false;
    try {
        m_folder->replace(m_map, content, &named);
    } catch (const rt::RtError &) {
        m_mapNamed = m_mapNamed || named; // a folder flush that failed after the name was taken
        throw;
    }
    m_mapNamed = true;
}

void RescueFiles::flush(qint64 length)
{
    try {
        m_io.run([&] { m_dest.flush(length); });
    } catch (const rt::RtError &e) {
        flushFailed(e.reason()); // a later flush may succeed with the pages lost: no newer map
        throw;
    }
}

void RescueFiles::clearStaleMap(const QString &copyPath)
{
    const QString mapPath = copyPath + QStringLiteral(".map");
    if (!rt::findFile(copyPath).isEmpty() || rt::isLink(mapPath))
        return;
    const rt::CopyFolder folder(mapPath);
    // A map another copy is finishing holds that copy's lock until its part takes the name.
    if (!rt::findFile(mapPath).isEmpty()
        && !folder.removeOursIfFree(folder.copyName(), 64 * 1024 * 1024, [](const QByteArray &text) { return writtenByThisProgram(text); }))
        return;
    folder.removeTemporaries(folder.copyName()); // a map being written without its copy: a cut's, never one being written
}

void RescueFiles::clearLeftovers(const QString &copyPath)
{
    using Lock = rt::HiddenLeftover::Lock;
    for (const rt::HiddenLeftover &l : rt::hiddenLeftovers(copyPath))
        if (leftoverMayGo({l.marked && !l.mapBeside, l.lock == Lock::Held, l.lock != Lock::Unknown, l.share, l.ageSeconds}))
            (void)rt::removeHiddenLeftover(copyPath, l); // one that stays is tried again by the next Copy
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
    if (m_folder && m_state == RescueState::KeptAsPart && m_mapNamed) {
        try {
            if (m_folder->has(m_map))
                m_folder->remove(m_map);
        } catch (const rt::RtError &e) {
            left.map = e.reason();
        }
    }
    // Whatever may still be there is said to stay, never to be deleted.
    const bool inPlace = m_dest.writesInPlace();
    const QString written = m_dest.writtenName();
    if (const int error = m_dest.abandon()) {
        if (m_state == RescueState::Private && inPlace) {
            m_leftInPlace = error;
        } else {
            left.part = rt::reasonFromErrno(error);
            if (m_part.isEmpty())
                m_leftName = written; // never named as a rescue: its hidden name, or a part named but not flushed
        }
    }
    return left;
}
