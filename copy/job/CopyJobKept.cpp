#include "copy/job/CopyJob.h"

#include "copy/job/DestinationChecks.h"
#include "copy/rescue/RetryPasses.h"
#include "runtime/Dialogs.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/SourceFacts.h"
#include "runtime/media/Drives.h"
#include "runtime/text/NumberText.h"
#include "runtime/text/RtError.h"

// The part of a copy that keeps a rescue: offered to be gone on with before
// any other question, asked about at a Stop, kept at Exit, when the source
// goes or a write fails (while its map can still be saved).

using Status = RescueMap::Status;

CopyJob::Way CopyJob::offerKept(bool exists)
{
    // Another copy's rescue may hold NAME.part: this one's is then NAME.1.part …
    QString part, partPath;
    std::optional<Resumable> kept;
    for (int n = 0; !kept && n < rt::Destination::kMaxParts; ++n) {
        part = rt::Destination::partName(rt::namePart(m_names.destination), n);
        partPath = rt::childPath(rt::folderPart(m_names.destination), part);
        const bool there = partThere(partPath);
        if (there)
            kept = findResumable(partPath, m_source, m_io);
        if (!m_progress.goingOn())
            return Way::Stopped;
        if (!there)
            return Way::NotKept;
    }
    if (!kept)
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
    if (m_dialogs.msgBox(question, kRetryQuestionStyle, rt::kTitleTalmo) != rt::AnswerYes)
        return Way::NotKept; // NAME.part stays as it is
    if (exists && !replaceAsked())
        return Way::Refused;
    try {
        m_io.run([&] {
            rt::Destination::Options options;
            options.modified = rt::sourceFacts(m_source).modified;
            m_dest = rt::Destination::goOnWith(partPath, m_names.destination, options);
            m_kept.emplace(m_dest, m_names.destination, part, part + QStringLiteral(".map"));
        });
    } catch (const rt::RtError &e) {
        m_io.run([this] { m_dest.release(); }); // never deleted for failing to open
        tellCannotOpen(QStringLiteral("destination"), partPath, e.reason());
        return Way::Refused;
    }
    m_goOnMap = map;
    return Way::GoOnKept;
}

bool CopyJob::partThere(const QString &partPath)
{
    try {
        return m_io.run([&] {
            return !rt::findFile(partPath).isEmpty() || !rt::findFile(partPath + QStringLiteral(".map")).isEmpty();
        });
    } catch (const rt::RtError &) {
        return false; // a folder that cannot be read offers nothing
    }
}

CopyJob::Way CopyJob::goOnFromMap()
{
    // Its copying, trimming and scraping not through (a copy written in place,
    // or GNU ddrescue's, interrupted): they go on, with the engine's skipping,
    // rather than block by block. The retry passes are for what stays bad.
    const RescueMap &map = m_resumable->mapFile.map;
    if (map.bytes(Status::Finished) + map.bytes(Status::Bad) == map.end())
        return Way::GoOnFromMap;
    const QString name = rt::namePart(m_names.destination);
    try {
        m_io.run([&] {
            rt::Destination::Options options;
            options.modified = rt::sourceFacts(m_source).modified;
            m_dest = rt::Destination::goOnWith(m_names.destination, m_names.destination, options);
            m_kept.emplace(m_dest, m_names.destination, name, m_resumable->mapFile.name);
        });
    } catch (const rt::RtError &e) {
        m_io.run([this] { m_dest.release(); }); // never deleted for failing to open
        tellCannotOpen(QStringLiteral("destination"), m_names.destination, e.reason());
        return Way::Refused;
    }
    m_goOnInPlace = true;
    m_goOnCommandLine = m_resumable->mapFile.commandLine;
    m_goOnMap = map;
    m_resumable.reset();
    return Way::GoOnKept;
}

CopyJob::End CopyJob::endKept(const CopyEngine::Outcome &outcome, CopyEngine &engine)
{
    using EngineEnd = CopyEngine::Outcome::End;
    const QString rescued = QStringLiteral("%1 of %2 were rescued")
                                .arg(rt::megabytesText(outcome.rescued), rt::megabytesText(engine.sourceLength()));
    if (outcome.end == EngineEnd::Stopped) {
        ended(End::Stopped);
        // Exit and the close box keep without asking; a Stop asks.
        // An earlier rescue gone on with in place is kept as the retry keeps it.
        if (!m_progress.leaving() && !m_goOnInPlace
            && m_dialogs.msgBox(rescued + u'.' + rt::kCrLf
                                    + QStringLiteral("Do You Want to Keep Them in '%1' to Go On Later.").arg(m_kept->partName()),
                                rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo, rt::kTitleTalmo)
                != rt::AnswerYes) {
            abandon();
            return End::Stopped;
        }
        // A map that cannot be saved now stays as it was last saved: it
        // lists nothing that is not on the medium.
        (void)keepRescue(engine);
        return End::Stopped;
    }
    // A source gone, or a write that failed: what was read is kept while its map can be saved.
    ended(End::Failed);
    QString kept;
    if (const QString notKept = keepRescue(engine); notKept.isEmpty())
        kept = rescued + QStringLiteral(" and are kept in '%1' to go on later.").arg(m_keptAs);
    else
        kept = QStringLiteral("What was rescued could not be kept: ") + notKept;
    if (outcome.end == EngineEnd::WriteFailed)
        tellCannotWrite(outcome.reason + rt::kCrLf + kept);
    else
        tellSourceUnreadable(outcome.end == EngineEnd::SourceGone, outcome.reason, kept);
    return End::Failed;
}

QString CopyJob::keepRescue(CopyEngine &engine)
{
    const SavedMap saved = engine.keepNow();
    if (!saved.writeError.isEmpty() || !engine.isKept()) {
        abandon();
        return saved.writeError.isEmpty() ? saved.mapError : saved.writeError;
    }
    m_io.run([this] {
        m_dest.release();
        (void)m_source.close();
    });
    m_keptAs = m_kept->partName();
    m_kept.reset(); // settled: nothing of it is to be removed any more
    return saved.mapError;
}

QString CopyJob::settleKeptMap(const QByteArray &contents, bool &written)
{
    // Settled here: nothing of it is to be removed any more, whatever happens meanwhile.
    const std::optional<KeptDestination> kept = std::exchange(m_kept, std::nullopt);
    const QString name = rt::namePart(m_names.destination);
    return m_io.run([&]() -> QString {
        const rt::CopyFolder &folder = kept->folder();
        try {
            folder.replace(kept->mapName(), contents);
            if (name == kept->partName()) { // written in place: its map has its name already
                written = true;
                return rt::displayPath(folder.drivePath(kept->mapName()));
            }
            for (int n = 0; n < 1000; ++n) {
                const QString target = mapNameFor(name, n);
                if (folder.renameToFree(kept->mapName(), target)) {
                    written = true;
                    return rt::displayPath(folder.drivePath(target));
                }
            }
        } catch (const rt::RtError &e) {
            return e.reason();
        }
        return QStringLiteral("no free name beside the copy");
    });
}

void CopyJob::removeKeptMap()
{
    if (m_kept && m_kept->kept()) {
        try {
            m_kept->folder().remove(m_kept->mapName());
        } catch (const rt::RtError &) {
            // A map that stays only offers a going-on that does not fit.
        }
    }
    m_kept.reset();
}
