#include "copy/rescue/CopyEngine.h"

#include "runtime/files/Transfer.h"
#include "runtime/media/IoWorker.h"

#include <algorithm>
#include <utility>

// Weak areas: a read that comes back far slower than the copy's pace so far
// is left behind as a failed one would be, and read when nothing else is left.

using Status = RescueMap::Status;
using rt::PieceResult;
using slowreads::Judging;
using slowreads::PieceTime;

std::optional<qint64> CopyEngine::weighPiece(qint64 from, qint64 readEnd, bool forward, const Span &span, qint64 &step)
{
    const PieceTime piece{readEnd - from, m_took};
    if (!m_pace.isSlow(piece, m_probing ? Judging::Probe : Judging::First)) {
        m_pace.add(piece);
        m_probing = false;
        return std::nullopt;
    }
    m_weak.countSlow(from, readEnd);
    m_probing = true;
    // As at a first unreadable block: a rescue from now on, read at the
    // device, where read-ahead cannot drag the pass into the weak area.
    m_failed = true;
    dropAhead(); // queued behind a read that took a second: none of them moved
    if (!m_atTheDevice)
        m_io.run([this] {
            if (!std::exchange(m_atTheDevice, true))
                m_source.readAtTheDevice();
        });
    const qint64 largestStep = std::max(kLargePiece, m_length / 64);
    qint64 lookAgain;
    if (forward) {
        const qint64 to = std::min({readEnd + step, span.to, m_length});
        m_weak.setAside(readEnd, to, true);
        lookAgain = readEnd + step;
    } else {
        m_weak.setAside(std::max(from - step, span.from), from, false);
        lookAgain = from - step;
    }
    step = std::min(step * 2, largestStep);
    return lookAgain;
}

CopyEngine::Step CopyEngine::weakAreasPhase()
{
    // First each area's far edge, in probes, up to the first slow one: what
    // reads at the copy's pace is secured before any area is crawled
    // through. Then what is left of every area, toward the edge where the
    // slow read was met. Both in pieces of kProbePiece: at a weak area's
    // pace a larger read is no faster, and one that fails costs all the
    // time its sectors take before the failure comes back.
    for (const bool probing : {true, false}) {
        for (const WeakAreas::Area &area : m_weak.areas()) {
            qint64 low = area.from, high = area.to;
            qint64 key = area.from; // where the area starts in m_weak
            const bool downward = area.foundForward;
            // A far edge that meets a slow read is no edge that reads at pace.
            if (probing && m_weak.readSlowlyAt(downward ? area.to : area.from - 1))
                continue;
            while (low < high) {
                const Span piece = downward ? Span{std::max(low, high - kProbePiece), high}
                                            : Span{low, std::min(high, low + kProbePiece)};
                const qint64 count = piece.to - piece.from;
                startRead(piece.from, count, AskLength::No);
                const PieceResult result = takeRead();
                if (result.failure == PieceResult::Failure::Write)
                    return fail(Outcome::End::WriteFailed, result.osError);
                finish(piece.from, result.bytes);
                bool slow = false;
                if (result.failure == PieceResult::Failure::Read) {
                    if (m_gone)
                        return fail(Outcome::End::SourceGone, result.osError);
                    // Unreadable as well as weak: trimmed and scraped as any other.
                    m_map.set(piece.from + result.bytes, count - result.bytes, Status::NonTrimmed);
                    slow = true;
                } else if (result.bytes == count) {
                    slow = m_pace.isSlow({count, m_took}, Judging::Probe);
                    if (slow)
                        m_weak.countSlow(piece.from, piece.to);
                } // else: past the source's end, which has moved; left untried
                (downward ? high : low) = downward ? piece.from : piece.to;
                m_weak.narrow(key, low, high);
                key = low;
                if (const Step s = report(downward ? piece.from : piece.to); s != Step::GoOn)
                    return s;
                if (probing && slow)
                    break;
                if (result.bytes < count && result.failure == PieceResult::Failure::None)
                    break;
            }
        }
    }
    m_weak.clear();
    return Step::GoOn;
}
