#include "copy/rescue/RetryPasses.h"

#include "copy/rescue/CopyEngine.h"
#include "copy/rescue/KeptFiles.h"
#include "runtime/Dialogs.h"
#include "runtime/media/Drives.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "runtime/files/WriterLock.h"
#include "runtime/text/NumberText.h"
#include "runtime/text/RtError.h"

#include <algorithm>
#include <utility>

using Status = RescueMap::Status;
using rt::PieceResult;

namespace {

// ddrescue's phase letter for retrying bad blocks, written while the passes run.
constexpr char kRetrying = '-';

} // namespace

RetryPasses::RetryPasses(const rt::File &source, Resumable resumable, CopyProgress &progress, rt::IoWorker &io)
    : RetryPasses(std::make_unique<FileReads>(source), nullptr, std::move(resumable), progress, io)
{
}

RetryPasses::RetryPasses(SourceReads &source, Resumable resumable, CopyProgress &progress, rt::IoWorker &io)
    : RetryPasses(nullptr, &source, std::move(resumable), progress, io)
{
}

RetryPasses::RetryPasses(std::unique_ptr<SourceReads> own, SourceReads *source, Resumable resumable,
                         CopyProgress &progress, rt::IoWorker &io)
    : m_ownSource(std::move(own))
    , m_source(source ? *source : *m_ownSource)
    , m_resumable(std::move(resumable))
    , m_progress(progress)
    , m_io(io)
    , m_map(m_resumable.mapFile.map)
{
    m_outcome.mapPath = rt::displayPath(m_resumable.mapPath());
}

RetryPasses::~RetryPasses()
{
    if (m_copy.isOpen())
        m_io.run([this] { m_copy.close(); });
}

RetryPasses::Outcome RetryPasses::run()
{
    try {
        m_io.run([this] {
            m_block = m_source.blockSize();
            m_map.setUnit(m_block);
            m_source.readAtTheDevice(); // what is left to read is damage
            m_copy = m_resumable.copy.isOpen() ? std::move(m_resumable.copy) : m_resumable.files.openCopy();
            if (!rt::lockAsWriter(m_copy.descriptor())) // one writer per rescue (the owner's lock is this one)
                throw rt::RtError(rt::ErrPathFileAccess, rt::writtenElsewhereText());
        });
        m_buffer.resize(m_block);
    } catch (const rt::RtError &e) {
        m_outcome.end = Outcome::End::WriteFailed;
        m_outcome.reason = e.reason();
        return m_outcome;
    }
    m_sinceSave.start();

    Step step = Step::GoOn;
    for (bool goOn = true; goOn && step == Step::GoOn && m_pass < kMaxPasses;) {
        ++m_pass;
        const qint64 recoveredBefore = m_outcome.recovered;
        step = pass(m_pass % 2 == 1);
        // The backward pass always follows the first; then only a pass that
        // recovered something earns another.
        goOn = (m_pass == 1 || m_outcome.recovered > recoveredBefore) && m_map.bytes(Status::Finished) < m_map.end();
    }
    m_outcome.passes = m_pass;
    m_outcome.unreadable = m_map.end() - m_map.bytes(Status::Finished);

    if (step == Step::Stop) {
        m_outcome.end = Outcome::End::Stopped;
        save({m_cursor, kRetrying, m_pass});
    } else if (step == Step::Gone) {
        // The map may be on the same medium: one it cannot take stays as last saved.
        if (!save({m_cursor, kRetrying, m_pass}))
            m_outcome.mapError = std::exchange(m_outcome.reason, QString());
        m_outcome.end = Outcome::End::SourceGone;
    } else if (step == Step::Fail) {
        // What is on the medium is kept, if the medium still takes it; after
        // a failed flush the map stays as last saved.
        save({m_cursor, kRetrying, m_pass});
    } else if (m_outcome.unreadable > 0) {
        save({});
    } else {
        // Everything read: the copy is whole once it is on the medium.
        try {
            m_io.run([this] { m_copy.flush(); });
        } catch (const rt::RtError &e) {
            failWrite(e.reason());
            return m_outcome;
        }
        m_outcome.complete = true; // its map is the owner's to remove (RescueFiles::settleRetried)
    }
    const int closeError = m_io.run([this] { return m_copy.close(); });
    if (closeError && m_outcome.end == Outcome::End::Completed)
        failWrite(rt::reasonFromErrno(closeError));
    return m_outcome;
}

RetryPasses::Step RetryPasses::pass(bool forward)
{
    m_failedInPass = 0;
    // The cursor moves one way only; what a read settles is finished or bad
    // behind it, so each block not finished is read exactly once per pass.
    m_cursor = forward ? 0 : m_map.end();
    for (;;) {
        qint64 from = 0, to = 0;
        if (forward) {
            const RescueMap::Area *a = m_map.findFromOther(m_cursor, Status::Finished);
            if (!a)
                break;
            from = std::max(a->pos, m_cursor);
            to = std::min(a->end(), from / m_block * m_block + m_block);
        } else {
            const RescueMap::Area *a = m_map.findBeforeOther(m_cursor, Status::Finished);
            if (!a)
                break;
            to = std::min(a->end(), m_cursor);
            from = std::max(a->pos, (to - 1) / m_block * m_block);
        }
        m_cursor = forward ? to : from;
        if (const Step s = readBlock(from, to, m_cursor); s != Step::GoOn)
            return s;
    }
    return Step::GoOn;
}

RetryPasses::Step RetryPasses::readBlock(qint64 offset, qint64 end, qint64 readPosition)
{
    const qint64 size = end - offset;
    bool gone = false;
    const PieceResult read = m_io.run([&] {
        PieceResult r = m_source.read(offset, size, m_buffer.data());
        gone = r.failure == PieceResult::Failure::Read && m_source.gone();
        if (r.bytes > 0) {
            const PieceResult w = m_copy.writeAt(offset, m_buffer.constData(), r.bytes);
            if (w.failure != PieceResult::Failure::None)
                r = w;
        }
        return r;
    });
    if (read.failure == PieceResult::Failure::Write)
        return failWrite(rt::reasonFromErrno(read.osError));
    if (gone) // the block was not tried: the map keeps it as it was
        return Step::Gone;
    // What arrived is finished; what did not (a failure, or a source that has
    // become shorter) is bad for now. A bad block that stayed bad changes nothing
    // worth saving.
    const RescueMap::Area *at = m_map.at(offset);
    m_changed = m_changed || read.bytes > 0 || at->status != Status::Bad || at->end() < end;
    m_map.set(offset, read.bytes, Status::Finished);
    m_map.set(offset + read.bytes, size - read.bytes, Status::Bad);
    m_outcome.recovered += read.bytes;
    m_failedInPass += size - read.bytes;

    const double settled = m_resumable.unfinished > 0
        ? double(m_outcome.recovered + m_failedInPass) / double(m_resumable.unfinished)
        : 1.0;
    const int percent = int(std::min<qint64>(100, rt::toWholeHalfEven(rt::roundHalfEven(settled * 100, 2))));
    m_progress.showProgress(percent, m_outcome.recovered, readPosition);
    if (!m_progress.yieldAndGoOn())
        return Step::Stop;
    if (m_sinceSave.elapsed() >= m_saveInterval.count() && !save({m_cursor, kRetrying, m_pass}))
        return Step::Fail;
    // The save waited on the medium, with the window's events handled meanwhile.
    return m_progress.goingOn() ? Step::GoOn : Step::Stop;
}

bool RetryPasses::save(const RescueMap::Current &current)
{
    if (!m_changed && current.status == kRetrying)
        return true;
    // The source's line stays: the next retry checks it as this one did.
    const std::optional<SourceIdentity> &source = m_resumable.mapFile.source;
    const SavedMap saved = saveMap(m_kept, m_io, [&] {
        const QByteArray map = m_map.mapfile(m_resumable.mapFile.commandLine, current);
        return source ? withSourceIdentity(map, *source) : map;
    });
    if (!saved.writeError.isEmpty()) {
        // The map stays as it was: it lists nothing that may not be on the medium.
        failWrite(saved.writeError);
        return false;
    }
    m_outcome.mapError = saved.mapError; // the passes go on; the next save may succeed
    m_changed = false;
    m_sinceSave.restart();
    return true;
}

RetryPasses::Step RetryPasses::failWrite(const QString &reason)
{
    if (m_outcome.end != Outcome::End::WriteFailed) {
        m_outcome.end = Outcome::End::WriteFailed;
        m_outcome.reason = reason;
    }
    return Step::Fail;
}

QString retryQuestion(const QString &copyName, const RescueMap &map)
{
    const qint64 bad = map.bytes(Status::Bad);
    return QStringLiteral("An earlier copy of '%1' is there: %2 bytes could not be read and %3 bytes were not yet tried.")
               .arg(copyName)
               .arg(bad)
               .arg(map.end() - map.bytes(Status::Finished) - bad)
        + rt::kCrLf + QStringLiteral("Do You Want to Read Only Those Parts Again.");
}

QString retryTally(const RetryPasses::Outcome &outcome)
{
    if (outcome.complete)
        return QStringLiteral("%1 bytes could now be read: the copy is now complete.").arg(outcome.recovered) + rt::kCrLf
            + (outcome.mapError.isEmpty()
                   ? QStringLiteral("The map %1 was removed.").arg(outcome.mapPath)
                   : QStringLiteral("The map %1 could not be removed: %2").arg(outcome.mapPath, outcome.mapError));
    return QStringLiteral("%1 bytes could now be read and %2 bytes still could not.")
               .arg(outcome.recovered)
               .arg(outcome.unreadable)
        + rt::kCrLf
        + (outcome.mapError.isEmpty()
               ? QStringLiteral("The map of the unreadable parts, %1, was brought up to date.").arg(outcome.mapPath)
               : QStringLiteral("The map of the unreadable parts, %1, could not be brought up to date: %2")
                     .arg(outcome.mapPath, outcome.mapError));
}

ClosingMessage retryClosingMessage(const RetryPasses::Outcome &outcome)
{
    return {QStringLiteral("File Copy Completed.") + rt::kCrLf + retryTally(outcome),
            outcome.complete ? rt::MsgStyle::Information : rt::MsgStyle::Exclamation};
}
