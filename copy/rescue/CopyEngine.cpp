#include "copy/rescue/CopyEngine.h"

#include "runtime/files/Destination.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/Transfer.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/NumberText.h"
#include "runtime/text/RtError.h"

#include <algorithm>
#include <limits>
#include <utility>

using Status = RescueMap::Status;
using rt::PieceResult;

namespace {

constexpr qint64 kNoEnd = std::numeric_limits<qint64>::max();

std::chrono::milliseconds g_saveInterval{0}; // 0: CopyEngine::kSaveInterval

} // namespace

CopyEngine::CopyEngine(const rt::File &source, rt::Destination &dest, CopyProgress &progress, rt::IoWorker &io)
    : CopyEngine(std::make_unique<FileReads>(source), nullptr, dest, progress, io)
{
}

CopyEngine::CopyEngine(SourceReads &source, rt::Destination &dest, CopyProgress &progress, rt::IoWorker &io)
    : CopyEngine(nullptr, &source, dest, progress, io)
{
}

CopyEngine::CopyEngine(std::unique_ptr<SourceReads> own, SourceReads *source, rt::Destination &dest,
                       CopyProgress &progress, rt::IoWorker &io)
    : m_ownSource(std::move(own))
    , m_source(source ? *source : *m_ownSource)
    , m_dest(dest)
    , m_progress(progress)
    , m_io(io)
    , m_saveInterval(g_saveInterval.count() > 0 ? g_saveInterval : kSaveInterval)
{
}

void CopyEngine::setSaveIntervalOfNewEngines(std::chrono::milliseconds interval) { g_saveInterval = interval; }

CopyEngine::~CopyEngine()
{
    // A piece ahead never outlives the engine whose state it fills.
    try {
        dropAhead();
    } catch (...) {
    }
}

void CopyEngine::keepIn(KeptRescue &kept, const QByteArray &commandLine, const std::optional<SourceIdentity> &source)
{
    m_kept = &kept;
    m_commandLine = commandLine;
    m_identity = source;
}

void CopyEngine::goOnFrom(const RescueMap &map)
{
    m_map = map;
    m_settled = map.bytes(Status::Finished) + map.bytes(Status::Bad);
    m_outcome.rescued = map.bytes(Status::Finished);
    m_savedRescued = m_outcome.rescued;
    m_endSeen = map.end() > 0;
    m_failed = true;
    m_atTheDevice = true;
    m_saveTried = true;
    m_sinceSave.start();
}

QByteArray CopyEngine::mapContent() const
{
    const QByteArray map = m_phase == RescueMap::kFinishedPass
        ? m_map.mapfile(m_commandLine, {}, m_length)
        : m_map.mapfile(m_commandLine, {m_readPosition, m_phase, 1}, m_length);
    return m_identity ? withSourceIdentity(map, *m_identity) : map;
}

SavedMap CopyEngine::keepNow()
{
    m_saveTried = true;
    m_sinceSave.start();
    if (!m_kept)
        return {};
    const qint64 rescued = m_outcome.rescued;
    // The engine waits for the save: its map stays as it is meanwhile.
    const SavedMap saved = saveMap(*m_kept, m_io, [this] { return mapContent(); });
    if (saved.saved())
        m_savedRescued = rescued;
    return saved;
}

CopyEngine::Outcome CopyEngine::run()
{
    const Outcome outcome = runPasses();
    // Pieces read ahead when the copy stopped or failed end before the
    // copy does: they go with the file.
    dropAhead();
    return outcome;
}

CopyEngine::Outcome CopyEngine::runPasses()
{
    // Holes of the source are not written, so the destination must start
    // empty for them to read as zeros.
    try {
        m_io.run([this] {
            m_block = m_source.blockSize();
            m_map.setUnit(m_block);
            if (m_atTheDevice) // going on with a map that lists what is still to read
                m_source.readAtTheDevice();
            try {
                m_length = m_source.length();
            } catch (const rt::RtError &) {
                // Left at 0: the first read tells what is wrong with the source.
            }
            m_dest.empty();
            if (m_dest.holdsOlderData())
                m_source.writeHoles(); // every block the map will call finished is written
        });
    } catch (const rt::RtError &e) {
        m_outcome.end = Outcome::End::WriteFailed;
        m_outcome.reason = e.reason();
        return m_outcome;
    }

    for (Step (CopyEngine::*pass)() : {&CopyEngine::copyingPhase, &CopyEngine::trimmingPass,
                                       &CopyEngine::scrapingPass}) {
        Step step;
        try {
            step = (this->*pass)();
        } catch (const rt::RtError &e) {
            // Nothing left to copy with (no memory for the buffer): the copy
            // cannot be finished, and must not be announced.
            m_outcome.end = Outcome::End::WriteFailed;
            m_outcome.reason = e.reason();
            return m_outcome;
        }
        if (step == Step::Stop) {
            m_outcome.end = Outcome::End::Stopped;
            return m_outcome;
        }
        if (step == Step::Fail)
            return m_outcome;
    }
    m_phase = RescueMap::kFinishedPass;
    m_outcome.end = Outcome::End::Completed;
    m_outcome.length = m_map.end();
    m_outcome.unreadable = m_map.bytes(Status::Bad);
    return m_outcome;
}

CopyEngine::Step CopyEngine::copyingPhase()
{
    m_phase = '?';
    for (bool forward = true; untried(forward ? 0 : kNoEnd, forward); forward = !forward)
        if (const Step s = copyingPass(forward); s != Step::GoOn)
            return s;
    // Left untried only past the end of a source that has become shorter:
    // the trimming finds it gone and gives it up.
    while (const RescueMap::Area *area = m_map.findFrom(0, Status::NonTried))
        m_map.set(area->pos, area->size, Status::NonTrimmed);
    return Step::GoOn;
}

CopyEngine::Step CopyEngine::copyingPass(bool forward)
{
    const qint64 largestStep = std::max(kLargePiece, m_length / 64);
    qint64 step = kLargePiece;
    qint64 cursor = forward ? 0 : kNoEnd;
    while (const std::optional<Span> span = untried(cursor, forward)) {
        const Span piece = pieceIn(*span, forward);
        const qint64 from = piece.from, count = piece.to - piece.from;
        if (!m_inFlight.empty() && (m_inFlight.front()->span.from != from || m_inFlight.front()->span.to != piece.to))
            dropAhead(); // read ahead where the pass no longer goes: read again when it does
        if (m_inFlight.empty())
            startRead(from, count, AskLength::Yes);
        PieceResult result = takeRead();
        if (m_skipped) { // queued behind a piece that stopped the worker: read now
            dropAhead();
            startRead(from, count, AskLength::Yes);
            result = takeRead();
        }
        if (result.failure == PieceResult::Failure::Write)
            return fail(Outcome::End::WriteFailed, result.osError);
        finish(from, result.bytes);
        qint64 readEnd = from + result.bytes;
        if (result.failure == PieceResult::Failure::Read) {
            if (m_gone)
                return fail(Outcome::End::SourceGone, result.osError);
            // A read that fails where the source said it has no more bytes
            // (a file whose size reads 0, a medium that shrank) cannot be
            // told from the end: the source is refused rather than copied as
            // empty or short without a word.
            if (readEnd >= m_length)
                return fail(Outcome::End::ReadFailed, result.osError);
            m_failed = true;
            // The rest of the piece's region waits for the trimming; the pass
            // leaps on, further with each failure since its last good read.
            readEnd = std::min({from + kLargePiece, m_length, span->to});
            m_map.set(from + result.bytes, readEnd - from - result.bytes, Status::NonTrimmed);
            cursor = forward ? readEnd + step : from - step;
            step = std::min(step * 2, largestStep);
        } else {
            if (result.bytes < count) { // the source's end
                m_endSeen = true;
                m_length = readEnd;
            }
            cursor = forward ? readEnd : from;
            step = kLargePiece;
            // The next pieces move while the window shows this one; never
            // once a read has failed, nor after a Stop.
            if (forward && !m_failed && m_progress.goingOn())
                readAhead(cursor);
        }
        if (const Step s = report(forward ? readEnd : from); s != Step::GoOn)
            return s;
    }
    return Step::GoOn;
}

CopyEngine::Span CopyEngine::pieceIn(const Span &span, bool forward)
{
    // Source byte k lands at destination byte k. The open source's own
    // length, as asked after the last piece, sets the pieces: picking
    // another file in the list during the copy must not change them.
    if (!forward)
        return {std::max(span.from, span.to - kLargePiece), span.to};
    if (span.to == kNoEnd) {
        m_smallPieces = m_smallPieces || m_length - span.from < kLargePiece;
        return {span.from, span.from + (m_smallPieces ? kSmallPiece : kLargePiece)};
    }
    return {span.from, span.from + std::min(kLargePiece, span.to - span.from)};
}

std::optional<CopyEngine::Span> CopyEngine::untried(qint64 at, bool forward) const
{
    // Past the map's end nothing was tried. Until a read has met the source's
    // end, a forward pass that reads on from a good read goes on past the
    // known length (a file that grows, or whose length reads 0) up to the
    // first short read; it never leaps there.
    const qint64 limit = m_endSeen ? m_length : kNoEnd;
    if (forward) {
        if (const RescueMap::Area *a = m_map.findFrom(at, Status::NonTried); a && std::max(a->pos, at) < limit)
            return Span{std::max(a->pos, at), std::min(a->end(), limit)};
        const qint64 from = std::max(m_map.end(), at);
        if (from < m_length || (!m_endSeen && at == m_map.end()))
            return Span{from, limit};
        return std::nullopt;
    }
    if (m_map.end() < std::min(at, m_length))
        return Span{m_map.end(), std::min(at, m_length)};
    if (const RescueMap::Area *a = m_map.findBefore(at, Status::NonTried); a && a->pos < std::min(at, limit))
        return Span{a->pos, std::min({a->end(), at, limit})};
    return std::nullopt;
}

void CopyEngine::finish(qint64 offset, qint64 bytes)
{
    m_map.set(offset, bytes, Status::Finished);
    m_settled += bytes;
    m_outcome.rescued += bytes;
}

CopyEngine::Step CopyEngine::report(qint64 readPosition)
{
    if (m_length > 0)
        m_percent = static_cast<int>(std::min<qint64>(
            100, rt::toWholeHalfEven(rt::roundHalfEven(double(m_settled) / double(m_length) * 100, 2))));
    m_progress.showProgress(m_percent, m_outcome.rescued, readPosition);
    m_readPosition = readPosition;
    if (!m_progress.yieldAndGoOn())
        return Step::Stop;
    if (!m_kept || !m_failed || (m_saveTried && m_sinceSave.elapsed() < m_saveInterval.count()))
        return Step::GoOn;
    const SavedMap saved = keepNow();
    if (!saved.writeError.isEmpty()) {
        m_outcome.end = Outcome::End::WriteFailed;
        m_outcome.reason = saved.writeError;
        return Step::Fail;
    }
    m_outcome.mapError = saved.mapError;
    // The save waited on the medium, with the window's events handled meanwhile.
    return m_progress.goingOn() ? Step::GoOn : Step::Stop;
}

CopyEngine::Step CopyEngine::fail(Outcome::End end, int osError)
{
    m_outcome.end = end;
    m_outcome.reason = rt::reasonFromErrno(osError);
    return Step::Fail;
}
