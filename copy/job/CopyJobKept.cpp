#include "copy/job/CopyJob.h"

#include "copy/job/DestinationChecks.h"
#include "copy/rescue/RetryPasses.h"
#include "runtime/Dialogs.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/SourceFacts.h"
#include "runtime/files/WriterLock.h"
#include "runtime/media/Drives.h"
#include "runtime/media/Volume.h"
#include "runtime/text/NumberText.h"
#include "runtime/text/RtError.h"

// The part of a copy that keeps a rescue: offered to be gone on with before
// any other question, asked about at a Stop, kept at Exit, when the source
// goes or a write fails (while its map can still be saved).

using Status = RescueMap::Status;

CopyJob::Way CopyJob::offerKept(bool exists)
{
    try {
        m_io.run([&] {
            if (!exists)
                RescueFiles::clearStaleMap(m_names.destination);
            RescueFiles::clearLeftovers(m_names.destination);
        });
    } catch (const rt::RtError &) {
        // What stays only makes the final map take the next name, or waits for the next Copy.
    }
    // Another copy's rescue may hold NAME.part: this one's is then NAME.1.part …
    QString part, partPath;
    std::optional<Resumable> kept;
    for (int n = 0; !kept && n < rt::Destination::kMaxParts; ++n) {
        part = rt::Destination::partName(rt::namePart(m_names.destination), n);
        partPath = rt::childPath(rt::folderPart(m_names.destination), part);
        PartThere there = partThere(partPath);
        if (there == PartThere::MapLess && mapLessPartDeleted(partPath, part))
            there = PartThere::No; // the name is free for this copy's rescue
        if (there == PartThere::Kept)
            kept = findResumable(partPath, m_source, m_io);
        if (kept && writtenElsewhere(partPath, part))
            return Way::Refused;
        if (!m_progress.goingOn())
            return Way::Stopped;
        if (there == PartThere::No)
            return Way::NotKept;
    }
    // One of another version of the source stays as it is; Copy goes on as for a name without one.
    const MapOrigin origin = kept ? mapOrigin(*kept, part) : MapOrigin::AnotherVersion;
    if (origin == MapOrigin::AnotherVersion)
        return Way::NotKept;
    const RescueMap &map = kept->mapFile.map;
    const qint64 finished = map.bytes(Status::Finished), bad = map.bytes(Status::Bad);
    const QString question =
        QStringLiteral("An unfinished copy of '%1' is kept as '%2': %3 bytes rescued, %4 not yet read, %5 could not be read.")
            .arg(m_names.typedName, part)
            .arg(finished)
            .arg(map.end() - finished - bad)
            .arg(bad)
        + rt::kCrLf + QStringLiteral("Do You Want to Go On From Where It Stopped.");
    if (origin == MapOrigin::ThisSource && m_dialogs.msgBox(question, kRetryQuestionStyle, rt::kTitleTalmo) != rt::AnswerYes)
        return Way::NotKept; // NAME.part stays as it is
    if (exists && !replaceAsked())
        return Way::Refused;
    try {
        m_files.goOnWithPart(part, map, goOnOptions());
    } catch (const rt::RtError &e) {
        tellCannotOpen(QStringLiteral("destination"), partPath, e.reason());
        return Way::Refused;
    }
    return Way::GoOnKept;
}

rt::Destination::Options CopyJob::goOnOptions() const
{
    rt::Destination::Options options;
    options.modified = m_sourceModified;
    return options;
}

void CopyJob::identifySource()
{
    const rt::SourceFacts facts = rt::sourceFacts(m_source);
    m_sourceModified = facts.modified;
    m_identity = SourceIdentity{facts.size, qint64(facts.modified.tv_sec) * 1000000000 + facts.modified.tv_nsec,
                                rt::namePart(m_names.source)};
    const std::optional<rt::Volume> volume = rt::volumeOf(rt::Drives::instance().toHost(m_names.source));
    m_coarseTimes = volume && (volume->type == u"vfat" || volume->type == u"exfat" || volume->type == u"msdos");
}

CopyJob::MapOrigin CopyJob::mapOrigin(const Resumable &found, const QString &copyName)
{
    const MapFile &map = found.mapFile;
    if (!map.source || !m_identity)
        return MapOrigin::ThisSource; // a map without the line (GNU ddrescue's) is checked by samples alone
    const bool sameName = map.source->name == m_identity->name;
    if (sameName && sameSource(*map.source, *m_identity, m_coarseTimes))
        return MapOrigin::ThisSource;
    // Another file of the same length (a copy made with cp, another
    // download) whose finished blocks agree where sampled: the same data, or
    // a version that differs where no sample fell. Only the user can tell.
    if (map.source->length == m_identity->length && found.samplesAgreed > 0) {
        const QString question =
            QStringLiteral("'%1' was rescued from another file, or another version of this one: its map %2 was written for '%3', %4; the source is '%5', %6.")
                .arg(copyName, map.name, map.source->name, identityText(*map.source), m_identity->name, identityText(*m_identity))
            + rt::kCrLf
            + QStringLiteral("%1 sampled blocks read the same from both; were it another version of the file, the copy would mix the two.")
                  .arg(found.samplesAgreed)
            + rt::kCrLf + QStringLiteral("Do You Want to Read Only the Missing Parts From This One.");
        return m_dialogs.msgBox(question, kRetryQuestionStyle, rt::kTitleTalmo) == rt::AnswerYes ? MapOrigin::AnotherCopyAgreed
                                                                                                : MapOrigin::AnotherVersion;
    }
    m_dialogs.msgBox(QStringLiteral("'%1' was rescued from another version of the source: its map %2 was written for %3; "
                                    "the source now has %4.")
                             .arg(copyName, map.name, identityText(*map.source), identityText(*m_identity))
                         + rt::kCrLf + QStringLiteral("It is not gone on with, and stays as it is."),
                     rt::MsgStyle::Exclamation, rt::kTitleTalmo);
    return MapOrigin::AnotherVersion;
}

bool CopyJob::mapLessPartDeleted(const QString &partPath, const QString &part)
{
    // A cut between the part's naming and its first map: what in it is the
    // source's is not known, so it is never gone on with; it may be deleted.
    if (m_dialogs.msgBox(QStringLiteral("'%1' holds an unfinished copy of '%2' without its map: what in it was read is not known.")
                                 .arg(part, m_names.typedName)
                             + rt::kCrLf + QStringLiteral("Do You Want to Delete It."),
                         kRetryQuestionStyle, rt::kTitleTalmo)
        != rt::AnswerYes)
        return false;
    return m_files.deleteMapLessPart(partPath); // else it stays, and this copy's rescue takes the next name
}

bool CopyJob::writtenElsewhere(const QString &path, const QString &name)
{
    bool held = false;
    try {
        held = m_io.run([&] { return rt::writtenElsewhere(path); });
    } catch (const rt::RtError &) {
        return false; // what cannot be looked at is asked about as before
    }
    if (held)
        m_dialogs.msgBox(QStringLiteral("'%1' is not gone on with: ").arg(name) + rt::writtenElsewhereText()
                             + rt::kCrLf + QStringLiteral("Copy it again once that copy has ended."),
                         rt::MsgStyle::Exclamation, rt::kTitleTalmo);
    return held;
}

CopyJob::PartThere CopyJob::partThere(const QString &partPath)
{
    try {
        return m_io.run([&] {
            const QString mapPath = partPath + QStringLiteral(".map");
            RescueFiles::clearStaleMap(partPath);
            if (rt::findFile(partPath).isEmpty() && rt::findFile(mapPath).isEmpty())
                return PartThere::No;
            // A link under the name is never written through, nor the source itself read into.
            if (rt::isLink(partPath) || rt::isLink(mapPath) || rt::sameFile(m_names.source, partPath))
                return PartThere::NotOurs;
            if (rt::findFile(mapPath).isEmpty() && !rt::writtenElsewhere(partPath))
                return PartThere::MapLess;
            return PartThere::Kept;
        });
    } catch (const rt::RtError &) {
        return PartThere::No; // a folder that cannot be read offers nothing
    }
}

CopyJob::Way CopyJob::goOnFromMap(Resumable earlier)
{
    // Its copying, trimming and scraping not through (a copy written in place,
    // or GNU ddrescue's, interrupted): they go on, with the engine's skipping,
    // rather than block by block. The retry passes are for what stays bad.
    const RescueMap &map = earlier.mapFile.map;
    if (map.bytes(Status::Finished) + map.bytes(Status::Bad) == map.end()) {
        try {
            m_files.retry(std::move(earlier));
        } catch (const rt::RtError &e) {
            if (e.reason() == rt::writtenElsewhereText())
                m_dialogs.msgBox(QStringLiteral("'%1' is not gone on with: ").arg(m_names.typedName) + e.reason() + rt::kCrLf
                                     + QStringLiteral("Copy it again once that copy has ended."),
                                 rt::MsgStyle::Exclamation, rt::kTitleTalmo);
            else
                tellCannotOpen(QStringLiteral("destination"), m_names.destination, e.reason());
            return Way::Refused;
        }
        return Way::GoOnFromMap;
    }
    try {
        m_files.goOnInPlace(earlier, goOnOptions());
    } catch (const rt::RtError &e) {
        tellCannotOpen(QStringLiteral("destination"), m_names.destination, e.reason());
        return Way::Refused;
    }
    return Way::GoOnKept;
}

CopyJob::End CopyJob::endKept(const CopyEngine::Outcome &outcome, CopyEngine &engine, RescueAction action)
{
    using EngineEnd = CopyEngine::Outcome::End;
    if (outcome.end == EngineEnd::Stopped) {
        ended(End::Stopped);
        // Exit and the close box keep without asking; a Stop asks (an earlier
        // rescue gone on with in place is kept as the retry keeps it).
        if (action == RescueAction::Ask
            && m_dialogs.msgBox(rescuedText(outcome.rescued, engine) + u'.' + rt::kCrLf
                                    + QStringLiteral("Do You Want to Keep Them in '%1' to Go On Later.").arg(m_files.partName()),
                                rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo, rt::kTitleTalmo)
                != rt::AnswerYes) {
            // Whatever of it could not be deleted is said, and that it stays.
            if (const QString left = m_files.leftText(abandon(RescueEvent::KeepRefused).left); !left.isEmpty())
                m_dialogs.msgBox(left, rt::MsgStyle::Exclamation, rt::kTitleTalmo);
            return End::Stopped;
        }
        // Kept as it stands; should its map not be brought up to date now,
        // the user learns what is kept all the same.
        if (const KeptWords kept = keepRescue(outcome, engine); !kept.current)
            m_dialogs.msgBox(kept.text, rt::MsgStyle::Exclamation, rt::kTitleTalmo);
        return End::Stopped;
    }
    // A source gone, or a write that failed: what was read is kept while a map
    // saved after a successful flush tells what of it is the source's.
    ended(End::Failed);
    const QString kept = keepRescue(outcome, engine).text;
    if (outcome.end == EngineEnd::WriteFailed)
        tellCannotWrite(outcome.reason, kept);
    else
        tellSourceUnreadable(outcome.end == EngineEnd::SourceGone, outcome.reason, kept);
    return End::Failed;
}

QString CopyJob::rescuedText(qint64 rescued, const CopyEngine &engine) const
{
    return QStringLiteral("%1 of %2 were rescued").arg(rt::megabytesText(rescued), rt::megabytesText(engine.sourceLength()));
}

CopyJob::KeptWords CopyJob::keepRescue(const CopyEngine::Outcome &outcome, CopyEngine &engine)
{
    const SavedMap saved = engine.keepNow();
    const RescueFiles::Ended end = abandon(RescueEvent::Saved, outcome.rescued > 0);
    if (end.action != RescueAction::Keep) {
        // No map tells what of it is the source's: nothing worth keeping.
        const QString why = !saved.writeError.isEmpty() ? saved.writeError
                            : !saved.mapError.isEmpty() ? saved.mapError
                                                        : outcome.reason;
        const QString left = m_files.leftText(end.left);
        return {left.isEmpty() ? QStringLiteral("What was rescued could not be kept and was deleted: ") + why
                               : QStringLiteral("What was rescued could not be kept: ") + why + rt::kCrLf + left,
                false};
    }
    const QString keptAs = m_files.partName(), map = m_files.mapName();
    if (saved.saved())
        return {rescuedText(outcome.rescued, engine) + QStringLiteral(" and are kept in '%1' to go on later.").arg(keptAs), true};
    // Its map stays as last saved after a successful flush: still true, only older.
    return {rescuedText(outcome.rescued, engine)
                + QStringLiteral(". '%1' is kept to go on later with its map '%2' as last saved, which lists %3 of them.")
                      .arg(keptAs, map, rt::megabytesText(engine.savedRescued()))
                + rt::kCrLf + QStringLiteral("The map could not be brought up to date: ")
                + (saved.writeError.isEmpty() ? saved.mapError : saved.writeError),
            false};
}

QByteArray CopyJob::finalMapText(const RescueMap &map)
{
    const QByteArray text = map.mapfile(commandLine());
    return m_identity ? withSourceIdentity(text, *m_identity) : text;
}

QString CopyJob::keptMapText(const QString &keptAs)
{
    if (keptAs.isEmpty())
        return QString();
    return rt::kCrLf + QStringLiteral("The rescue's map as last saved was kept as %1 instead: it may list parts read since as not yet read.").arg(keptAs)
        + rt::kCrLf + retryLaterText();
}
