#include "copy/rescue/CopyEngine.h"

#include "runtime/files/Destination.h"
#include "runtime/files/Transfer.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"

#include <chrono>
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
    m_inFlight = Span{offset, offset + count};
    m_aheadHooks = ahead;
    m_out = {};
    // The test hooks run here, on the window's thread, before any byte moves.
    if (!ahead) {
        if (const std::optional<PieceResult> failed = hooked(offset, count)) {
            m_out.result = *failed;
            return;
        }
    }
    // Only the worker touches m_out until takeRead has waited for it.
    m_io.post([this, offset, count, askLength] {
        const auto began = std::chrono::steady_clock::now();
        PieceResult r = m_source.copy(offset, count, m_dest.descriptor());
        m_out.took = std::chrono::steady_clock::now() - began;
        m_out.gone = r.failure == PieceResult::Failure::Read && m_source.gone();
        // From the first failure on, each read reaches the device as asked:
        // through the page cache one failing block costs several failing
        // reads, and read-ahead takes readable neighbours down with it.
        if (r.failure == PieceResult::Failure::Read && !m_out.gone && !std::exchange(m_atTheDevice, true))
            m_source.readAtTheDevice();
        // What has arrived goes on to the medium in the background, and the
        // copy waits for what was written a few MiB back: the bar then moves
        // at the speed the medium really takes the data.
        try {
            m_dest.writeBehind(offset, r.bytes);
        } catch (const rt::RtError &e) {
            m_out.lostOnTheWay = true;
            if (r.failure == PieceResult::Failure::None)
                r = {r.bytes, PieceResult::Failure::Write, e.osError() ? e.osError() : EIO};
        }
        if (askLength == AskLength::Yes) {
            try {
                m_out.length = m_source.length();
            } catch (const rt::RtError &) {
                // Keep the last length; the next read reports the real trouble.
            }
        }
        m_out.result = r;
    });
}

PieceResult CopyEngine::takeRead()
{
    const Span piece = *m_inFlight;
    m_inFlight.reset();
    m_io.wait();
    if (std::exchange(m_aheadHooks, false)) {
        if (const std::optional<PieceResult> failed = hooked(piece.from, piece.to - piece.from)) {
            m_out = {};
            m_out.result = *failed;
        }
    }
    m_gone = m_out.gone;
    if (m_out.length)
        m_length = *m_out.length;
    // Data written earlier failed on its way to the medium: a later flush
    // may succeed all the same, so no map may call it finished any more.
    if (m_out.lostOnTheWay && m_kept)
        m_kept->flushFailed(rt::reasonFromErrno(m_out.result.osError ? m_out.result.osError : EIO));
    return m_out.result;
}
