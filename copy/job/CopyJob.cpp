#include "copy/job/CopyJob.h"

#include "copy/job/DestinationChecks.h"
#include "copy/job/ReadBackWords.h"
#include "copy/job/WritingPlan.h"
#include "copy/rescue/RetryPasses.h"
#include "runtime/Dialogs.h"
#include "runtime/media/Drives.h"
#include "runtime/media/NameRules.h"
#include "runtime/media/OnMedium.h"
#include "runtime/text/RtError.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

namespace {

const QString kSelectionTitle = QStringLiteral("Source/Dest Error.");

// What an exception that is not the program's own says to the user.
QString reasonOf(const std::exception &e)
{
    if (dynamic_cast<const std::bad_alloc *>(&e))
        return rt::reasonFromErrno(ENOMEM);
    return QString::fromLocal8Bit(e.what());
}

} // namespace

CopyJob::CopyJob(Names names, CopyProgress &progress, rt::Dialogs &dialogs)
    : m_names(std::move(names))
    , m_progress(progress)
    , m_dialogs(dialogs)
    , m_io({rt::mediumOf(m_names.source), rt::mediumOf(m_names.destination)})
{
}

CopyJob::~CopyJob()
{
    // Normally abandoned or committed by now; this only guards an early way out.
    abandon(RescueEvent::Thrown);
}

CopyJob::End CopyJob::run()
{
    const End end = runStages();
    if (const int left = m_files.leftInPlace())
        m_dialogs.msgBox(QStringLiteral("The file %1 was being written in place and could not be deleted: it is left incomplete.")
                                 .arg(rt::displayPath(m_names.destination))
                             + rt::kCrLf + rt::reasonFromErrno(left),
                         rt::MsgStyle::Exclamation, rt::kTitleTalmo);
    return end;
}

CopyJob::End CopyJob::runStages()
{
    QString why;
    try {
        switch (open()) {
        case Way::Refused:
            abandon(RescueEvent::Refused);
            return End::Refused;
        case Way::Stopped:
            abandon(RescueEvent::Refused);
            return ended(End::Stopped);
        case Way::GoOnFromMap: return retry();
        case Way::Fresh:
        case Way::GoOnKept:
        case Way::NotKept: break;
        }
        CopyEngine engine(m_source, m_files.destination(), m_progress, m_io);
        engine.keepIn(m_files, commandLine(), m_identity);
        if (m_files.earlierMap())
            engine.goOnFrom(*m_files.earlierMap());
        return finish(engine.run(), engine);
    } catch (const rt::RtError &e) {
        why = e.reason();
    } catch (const std::exception &e) {
        // Out of memory, or anything else that is not the program's own: the
        // copy ends as failed here and never reaches the window's events.
        why = reasonOf(e);
    }
    // A rescue named with a map saved after a good flush stays as it is.
    const bool kept = abandon(RescueEvent::Thrown).action == RescueAction::Keep && !m_files.partName().isEmpty();
    ended(End::Failed);
    tellCannotWrite(why, kept ? QStringLiteral("'%1' is kept to go on later with its map '%2' as last saved.")
                                    .arg(m_files.partName(), m_files.mapName())
                              : QString());
    return End::Failed;
}

CopyJob::End CopyJob::ended(End end, const QString &words)
{
    m_progress.copyEnded(end, words);
    return end;
}

CopyJob::Way CopyJob::open()
{
    bool same = false;
    bool exists = false;
    try {
        m_io.run([&] {
            same = rt::sameFile(m_names.source, m_names.destination);
            exists = !same && !rt::findFile(m_names.destination).isEmpty();
        });
    } catch (const rt::RtError &e) {
        tellCannotOpen(QStringLiteral("destination"), m_names.destination, e.reason());
        return Way::Refused;
    }
    if (same) {
        m_dialogs.msgBox(QStringLiteral("Source and destination are the same file."), rt::MsgStyle::Critical,
                         kSelectionTitle);
        return Way::Refused;
    }
    // A name that leaves the chosen folder is never written, whatever is there.
    if (rt::leadsOutsideFolder(m_names.typedName)) {
        m_dialogs.msgBox(rt::outsideFolderText(QStringLiteral("file"), m_names.typedName), rt::MsgStyle::Critical,
                         rt::kTitleTalmo);
        return Way::Refused;
    }
    if (!m_progress.goingOn())
        return Way::Stopped;

    // A source that cannot be read is reported before anyone is asked to give
    // up the file it would replace.
    mode_t mode = 0666;
    try {
        m_io.run([&] {
            m_source = rt::File::open(m_names.source, rt::File::Access::Read);
            mode = m_source.permissions();
            m_unfinishedSource = unfinishedSource(m_names.source, m_source.length());
            identifySource();
        });
    } catch (const rt::RtError &e) {
        tellCannotOpen(QStringLiteral("source"), m_names.source, e.reason());
        return Way::Refused;
    }
    if (!m_progress.goingOn())
        return Way::Stopped;
    // A kept part copied is a plain copy: its never-read blocks would read as zeros.
    if (const Way kept = m_unfinishedSource ? Way::NotKept : offerKept(exists); kept != Way::NotKept)
        return kept;

    // A copy that an earlier rescue left, with a map that fits this source:
    // reading only what could not be read keeps every block it saved.
    if (exists && !m_unfinishedSource) {
        std::optional<Resumable> found = findResumable(m_names.destination, m_source, m_io);
        if (found && writtenElsewhere(m_names.destination, m_names.typedName))
            return Way::Refused;
        const MapOrigin origin = found ? mapOrigin(*found, m_names.typedName) : MapOrigin::AnotherVersion;
        if (!m_progress.goingOn())
            return Way::Stopped;
        if (origin == MapOrigin::AnotherCopyAgreed
            || (origin == MapOrigin::ThisSource
                && m_dialogs.msgBox(retryQuestion(m_names.typedName, found->mapFile.map), kRetryQuestionStyle, rt::kTitleTalmo)
                    == rt::AnswerYes))
            return goOnFromMap(*std::move(found));
    }
    // The medium's limits, room and name rules, before anything is asked or written.
    DestinationPlan plan = checkDestination(m_names.source, m_names.destination, m_source, exists, m_dialogs, m_io);
    if (plan.refused)
        return Way::Refused;
    if (!m_progress.goingOn())
        return Way::Stopped;
    // Any file the copy would replace is asked about, whatever letter case or
    // folder part the typed name has.
    if ((exists || plan.replacesCaseTwin()) && (!replaceAsked() || !confirmInPlace(plan, m_names.destination, m_dialogs)))
        return Way::Refused;
    try {
        m_files.writeAfresh([&] { return prepareDestination(m_names.destination, mode, plan.options); });
    } catch (const rt::RtError &e) {
        tellCannotOpen(QStringLiteral("destination"), m_names.destination, e.reason());
        return Way::Refused;
    }
    if (!m_progress.goingOn())
        return Way::Stopped;
    return Way::Fresh;
}

bool CopyJob::replaceAsked()
{
    return m_dialogs.msgBox(QStringLiteral("A file naming '") + m_names.typedName + QStringLiteral("' already exists.")
                                + rt::kCrLf + QStringLiteral("Do You Want to OverWrite the File."),
                            rt::MsgStyle::Critical + rt::MsgStyle::YesNo, rt::kTitleTalmo)
        == rt::AnswerYes;
}

CopyJob::End CopyJob::finish(CopyEngine::Outcome outcome, CopyEngine &engine)
{
    using EngineEnd = CopyEngine::Outcome::End;
    // The data goes to the medium before the name is taken, and the message
    // waits for both. The flush can take a while on a slow medium; a Stop
    // during it still keeps an old file.
    rt::Destination::Committed committed;
    // A rescue's data is on the medium before it takes the name: a failure
    // after that leaves only the folder entry in doubt.
    const bool rescue = outcome.unreadable > 0 || m_files.state() != RescueState::Private;
    if (outcome.end == EngineEnd::Completed) {
        try {
            m_files.flush(outcome.length);
            if (!m_progress.goingOn()) {
                outcome.end = EngineEnd::Stopped;
            } else {
                std::optional<QByteArray> mapText;
                if (outcome.unreadable > 0)
                    mapText = m_io.run([&] { return finalMapText(engine.map()); });
                committed = m_files.commit(outcome.length, mapText, outcome.unreadable == 0);
            }
        } catch (const rt::RtError &e) {
            outcome.end = EngineEnd::WriteFailed;
            outcome.reason = e.reason();
        }
    }

    switch (outcome.end) {
    case EngineEnd::Completed:
        m_io.run([&] { (void)m_source.close(); });
        if (committed.closeError || committed.folderFlushError) {
            // The copy has its name and any old file is gone: no failed
            // write, but no "completed" either. A rescue's data was flushed
            // before it took the name: only the folder entry is in doubt.
            const QString name = rt::displayPath(m_names.destination);
            const QString words = committed.closeError && !rescue
                ? QStringLiteral("The file %1 was copied, but the copy under its name may be incomplete.").arg(name)
                : QStringLiteral("The file %1 was copied, but its folder entry may not yet be on the medium.").arg(name);
            ended(End::NamedInDoubt, words);
            m_dialogs.msgBox(words + rt::kCrLf
                                 + rt::reasonFromErrno(committed.closeError ? committed.closeError : committed.folderFlushError),
                             rt::MsgStyle::Exclamation, rt::kTitleTalmo);
            return End::NamedInDoubt;
        }
        ended(End::Completed, m_files.finalMap().written || !m_files.finalMap().keptAs.isEmpty() ? retryLaterText() : QString());
        announce(outcome);
        return End::Completed;
    default:
        break;
    }
    // What a rescue has read is kept, unless a Stop is told otherwise.
    const RescueEvent event = outcome.end == EngineEnd::Stopped
        ? (m_progress.leaving() ? RescueEvent::Leaving : RescueEvent::StopAsked)
        : outcome.end == EngineEnd::SourceGone ? RescueEvent::SourceGone
                                               : RescueEvent::WriteFailed;
    if (const RescueAction action = whatMayGo(m_files.state(), event, m_files.facts(outcome.rescued > 0));
        action != RescueAction::Delete)
        return endKept(outcome, engine, action);
    const QString left = m_files.leftText(abandon(event).left);
    if (outcome.end == EngineEnd::Stopped)
        return ended(End::Stopped, left.isEmpty() ? QStringLiteral("The partial file is removed.") : left);
    ended(End::Failed);
    if (outcome.end == EngineEnd::WriteFailed)
        tellCannotWrite(outcome.reason);
    else // a medium that is gone is not trimmed or scraped for hours
        tellSourceUnreadable(outcome.end == EngineEnd::SourceGone, outcome.reason, QString());
    return End::Failed;
}

void CopyJob::tellSourceUnreadable(bool gone, const QString &reason, const QString &kept)
{
    m_dialogs.msgBox(QStringLiteral("The source file %1 could not be read.").arg(rt::displayPath(m_names.source))
                         + rt::kCrLf
                         + (gone ? QStringLiteral("The medium in drive %1 is gone.").arg(driveText(m_names.source)) : reason)
                         + (kept.isEmpty() ? QString() : rt::kCrLf + kept),
                     rt::MsgStyle::Critical, rt::kTitleTalmo);
}

CopyJob::End CopyJob::retry()
{
    RetryPasses::Outcome outcome = RetryPasses(m_source, std::move(m_files.retried()), m_progress, m_io).run();
    if (outcome.complete && outcome.end == RetryPasses::Outcome::End::Completed)
        outcome.mapError = m_files.settleRetried();
    m_io.run([&] { (void)m_source.close(); });
    switch (outcome.end) {
    case RetryPasses::Outcome::End::Completed: {
        ended(End::Completed);
        const ClosingMessage message = retryClosingMessage(outcome);
        m_dialogs.msgBox(message.text, message.style);
        return End::Completed;
    }
    case RetryPasses::Outcome::End::Stopped:
        // The earlier copy and its map stay, brought up to what was read.
        return ended(End::Stopped);
    case RetryPasses::Outcome::End::WriteFailed:
        ended(End::Failed);
        tellCannotWrite(outcome.reason);
        return End::Failed;
    case RetryPasses::Outcome::End::SourceGone:
        // The earlier copy and its map stay, brought up to what was read.
        ended(End::Failed);
        tellSourceUnreadable(true, QString(), retryTally(outcome));
        return End::Failed;
    }
    return End::Failed;
}

RescueFiles::Ended CopyJob::abandon(RescueEvent event, bool rescued)
{
    // Removing a file and closing one can wait on the medium too: one call.
    return m_files.end(event, rescued, [this] { (void)m_source.close(); });
}

QString CopyJob::retryLaterText()
{
    return QStringLiteral("Copy pressed again later onto the same name reads only the damaged parts again.");
}

void CopyJob::announce(const CopyEngine::Outcome &outcome)
{
    QString completed = QStringLiteral("File Copy Completed.");
    if (m_unfinishedSource)
        completed += rt::kCrLf + unfinishedSourceText(*m_unfinishedSource);
    if (outcome.slowBytes > 0) // every byte may be back, but the medium is failing
        completed += rt::kCrLf + slowReadsText(outcome.slowBytes, outcome.slowAreas);
    if (outcome.unreadable == 0) {
        m_dialogs.msgBox(completed, outcome.slowBytes > 0 ? rt::MsgStyle::Exclamation : rt::MsgStyle::Information);
        return;
    }
    QString text = completed + rt::kCrLf
        + QStringLiteral("%1 bytes could not be read and were written as zeros.").arg(outcome.unreadable);
    if (outcome.rescued == 0)
        text += rt::kCrLf + QStringLiteral("None of its bytes could be read.");
    text += rt::kCrLf
        + (m_files.finalMap().written
               ? QStringLiteral("A map of the unreadable parts was written to %1.").arg(m_files.finalMap().words) + rt::kCrLf
                   + retryLaterText()
               : QStringLiteral("The map of the unreadable parts could not be written: %1").arg(m_files.finalMap().words)
                   + keptMapText(m_files.finalMap().keptAs));
    m_dialogs.msgBox(text, rt::MsgStyle::Exclamation);
}

QByteArray CopyJob::commandLine() const
{
    if (!m_files.earlierCommandLine().isEmpty())
        return m_files.earlierCommandLine();
    return (QStringLiteral("duplon ") + rt::displayPath(m_names.source) + u' ' + rt::displayPath(m_names.destination))
        .toUtf8();
}

void CopyJob::tellCannotOpen(const QString &which, const QString &path, const QString &reason)
{
    m_dialogs.msgBox(QStringLiteral("The %1 file %2 could not be opened.").arg(which, rt::displayPath(path))
                         + rt::kCrLf + reason,
                     rt::MsgStyle::Critical, rt::kTitleTalmo);
}

void CopyJob::tellCannotWrite(const QString &reason, const QString &after)
{
    // A medium that gave back other data than was written is named as such.
    const rt::Destination &dest = m_files.destination();
    const QString why = dest.readBackWrongAt()
        ? readBackWrongText(driveText(m_names.destination), *dest.readBackWrongAt(), dest.claimedSize())
        : reason;
    m_dialogs.msgBox(QStringLiteral("The destination file %1 could not be written.").arg(rt::displayPath(m_names.destination))
                         + rt::kCrLf + why + (after.isEmpty() ? QString() : rt::kCrLf + after),
                     rt::MsgStyle::Critical, rt::kTitleTalmo);
}
