#include "copy/rescue/CopyEngine.h"

#include "runtime/files/Destination.h"
#include "runtime/files/Transfer.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"

#include <cstdint>
#include <utility>

// The engine's reads on the worker: a piece starts there, and the window's
// thread takes its end, so the next piece can move while the window shows the
// last one.

using rt::PieceResult;

std::optional<PieceResult> CopyEngine::hooked(qint64 offset, qint64 count)
{
    if (const int e = rt::readFault(offset, count))
        return PieceResult{0, PieceResult::Failure::Read, e};
    if (const int e = rt::writeFault(offset, count))
        return PieceResult{0, PieceResult::Failure::Write, e};
    return std::nullopt;
}

void CopyEngine::startRead(qint64 offset, qint64 count, AskLength askLength, bool ahead)
{
    if (m_inFlight.empty())
        m_aheadStopped.store(false); // nothing on the worker: a new run of pieces
    InFlight &piece = *m_inFlight.emplace_back(std::make_unique<InFlight>());
    ++m_piecesQueued;
    piece.span = Span{offset, offset + count};
    piece.ahead = ahead;
    // The test hooks run here, on the window's thread, before any byte moves.
    if (!ahead) {
        if (const std::optional<PieceResult> failed = hooked(offset, count)) {
            piece.out.result = *failed;
            return;
        }
    }
    piece.posted = true;
    PieceOut *out = &piece.out;
    const std::uint64_t number = m_piecesQueued - 1;
    m_io.queue([this, out, offset, count, askLength, ahead, number] {
        // A piece queued ahead moves only while the pieces before it went
        // well, and after a Stop only as the next the window takes.
        if (ahead && (m_aheadStopped.load() || (m_io.stopWasAsked() && number > m_piecesTaken.load()))) {
            out->skipped = true;
            return;
        }
        PieceResult r = m_source.copy(offset, count, m_dest.descriptor());
        out->gone = r.failure == PieceResult::Failure::Read && m_source.gone();
        // From the first failure on, each read reaches the device as asked:
        // through the page cache one failing block costs several failing
        // reads, and read-ahead takes readable neighbours down with it.
        if (r.failure == PieceResult::Failure::Read && !out->gone && !std::exchange(m_atTheDevice, true))
            m_source.readAtTheDevice();
        // What has arrived goes on to the medium in the background, and the
        // copy waits for what was written a few MiB back: the bar then moves
        // at the speed the medium really takes the data.
        try {
            m_dest.writeBehind(offset, r.bytes);
        } catch (const rt::RtError &e) {
            out->lostOnTheWay = true;
            if (r.failure == PieceResult::Failure::None)
                r = {r.bytes, PieceResult::Failure::Write, e.osError() ? e.osError() : EIO};
        }
        if (askLength == AskLength::Yes) {
            try {
                out->length = m_source.length();
            } catch (const rt::RtError &) {
                // Keep the last length; the next read reports the real trouble.
            }
        }
        if (r.failure != PieceResult::Failure::None || r.bytes < count)
            m_aheadStopped.store(true);
        out->result = r;
    });
}

PieceResult CopyEngine::takeRead()
{
    const std::unique_ptr<InFlight> piece = std::move(m_inFlight.front());
    m_inFlight.pop_front();
    ++m_piecesTaken;
    if (piece->posted)
        m_io.wait();
    PieceOut &out = piece->out;
    if (piece->ahead && !out.skipped) {
        if (const std::optional<PieceResult> failed = hooked(piece->span.from, piece->span.to - piece->span.from)) {
            out = {};
            out.result = *failed;
            m_aheadStopped.store(true); // as a real failure stops the pieces behind it
        }
    }
    m_gone = out.gone;
    if (out.length)
        m_length = *out.length;
    // Data written earlier failed on its way to the medium: a later flush
    // may succeed all the same, so no map may call it finished any more.
    if (out.lostOnTheWay && m_kept)
        m_kept->flushFailed(rt::reasonFromErrno(out.result.osError ? out.result.osError : EIO));
    m_skipped = out.skipped;
    return out.result;
}

std::size_t CopyEngine::piecesAhead() const
{
    // The bar shows what the window has taken: what the worker has moved
    // beyond it stays within 3 % of the source.
    return std::clamp<std::size_t>(std::size_t(m_length / 100 * 3 / kLargePiece), 1, kMostAhead);
}

void CopyEngine::readAhead(qint64 cursor)
{
    // Where a healthy pass goes next, as pieceIn decides it at each piece,
    // assuming every piece before reads whole; the pass's own choice of small
    // pieces is made again as each piece comes.
    const bool smallPieces = m_smallPieces;
    qint64 at = m_inFlight.empty() ? cursor : m_inFlight.back()->span.to;
    while (m_inFlight.size() < piecesAhead()) {
        const std::optional<Span> next = untried(at, true);
        if (!next)
            break;
        const Span ahead = pieceIn(*next, true);
        startRead(ahead.from, ahead.to - ahead.from, AskLength::Yes, true);
        at = ahead.to;
    }
    m_smallPieces = smallPieces;
}

void CopyEngine::dropAhead()
{
    // Their bytes went where they belong, but the pass reads them again as it
    // comes to them: only what it has taken counts.
    while (!m_inFlight.empty()) {
        m_inFlight.front()->ahead = false; // not pieces of the copy's any more
        takeRead();
    }
    m_skipped = false;
}
