#include "copy/rescue/CopyEngine.h"

#include "runtime/files/Destination.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/Transfer.h"
#include "runtime/files/IoWorker.h"
#include "runtime/text/NumberText.h"
#include "runtime/text/RtError.h"

#include <algorithm>

using Status = RescueMap::Status;
using rt::PieceResult;

CopyEngine::CopyEngine(const rt::File &source, rt::Destination &dest, CopyProgress &progress, rt::IoWorker &io)
    : m_source(source), m_dest(dest), m_progress(progress), m_io(io), m_transfer(std::make_unique<rt::Transfer>())
{
}

CopyEngine::~CopyEngine() = default;

CopyEngine::Outcome CopyEngine::run()
{
    // Holes of the source are not written, so the destination must start
    // empty for them to read as zeros.
    try {
        m_io.run([this] {
            m_block = m_source.blockSize();
            try {
                m_length = m_source.length();
            } catch (const rt::RtError &) {
                // Left at 0: the first read tells what is wrong with the source.
            }
            m_dest.empty();
        });
    } catch (const rt::RtError &e) {
        m_outcome.end = Outcome::End::WriteFailed;
        m_outcome.reason = e.reason();
        return m_outcome;
    }

    for (Step (CopyEngine::*pass)() : {&CopyEngine::copyingPass, &CopyEngine::trimmingPass,
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
    m_outcome.end = Outcome::End::Completed;
    m_outcome.length = m_map.end();
    m_outcome.unreadable = m_map.bytes(Status::Bad);
    return m_outcome;
}

CopyEngine::Step CopyEngine::copyingPass()
{
    qint64 position = 0; // the same in both files: source byte k lands at destination byte k
    bool smallPieces = false;
    for (;;) {
        // The open source's own length, as asked after the last piece: picking
        // another file in the list during the copy must not change the pieces
        // or the percentage.
        if (!smallPieces && m_length - position < kLargePiece)
            smallPieces = true;
        const qint64 piece = smallPieces ? kSmallPiece : kLargePiece;

        const PieceResult result = read(position, piece, AskLength::Yes);
        if (result.failure == PieceResult::Failure::Write)
            return fail(Outcome::End::WriteFailed, result.osError);
        finish(position, result.bytes);

        bool atEnd = false;
        if (result.failure == PieceResult::Failure::Read) {
            const qint64 failedAt = position + result.bytes;
            // A read that fails where the source said it has no more bytes
            // (a file whose size reads 0, a medium that shrank) cannot be
            // told from the end: the source is refused rather than copied as
            // empty or short without a word.
            if (failedAt >= m_length)
                return fail(Outcome::End::ReadFailed, result.osError);
            // The rest of the piece's region waits for the later passes; the
            // copy goes on right after it, at the same offset in both files.
            const qint64 regionEnd = std::min(position + kLargePiece, m_length);
            m_map.set(failedAt, regionEnd - failedAt, Status::NonTrimmed);
            position = regionEnd;
        } else {
            position += result.bytes;
            atEnd = result.bytes < piece;
        }
        if (const Step s = report(position); s != Step::GoOn)
            return s;
        if (atEnd)
            return Step::GoOn;
    }
}

CopyEngine::Step CopyEngine::trimmingPass()
{
    qint64 cursor = 0; // everything before it is settled or waits for scraping
    while (const RescueMap::Area *area = m_map.findFrom(cursor, Status::NonTrimmed)) {
        qint64 from = area->pos;
        qint64 to = area->end();
        cursor = to;
        bool failed = false;
        while (from < to && !failed) {
            const qint64 blockEnd = std::min((from / m_block + 1) * m_block, to);
            if (const Step s = readBlock(from, blockEnd, failed); s != Step::GoOn)
                return s;
            from = blockEnd;
        }
        failed = false;
        while (to > from && !failed) {
            const qint64 blockStart = std::max((to - 1) / m_block * m_block, from);
            if (const Step s = readBlock(blockStart, to, failed); s != Step::GoOn)
                return s;
            to = blockStart;
        }
        if (from < to)
            m_map.set(from, to - from, Status::NonScraped);
    }
    return Step::GoOn;
}

CopyEngine::Step CopyEngine::scrapingPass()
{
    // Everything before the cursor is settled: each area is looked for from
    // there, so the pass costs in proportion to the areas, not their square.
    qint64 cursor = 0;
    while (const RescueMap::Area *area = m_map.findFrom(cursor, Status::NonScraped)) {
        const qint64 from = area->pos;
        const qint64 blockEnd = std::min((from / m_block + 1) * m_block, area->end());
        bool failed = false;
        if (const Step s = readBlock(from, blockEnd, failed); s != Step::GoOn)
            return s;
        cursor = blockEnd;
    }
    return Step::GoOn;
}

CopyEngine::Step CopyEngine::readBlock(qint64 offset, qint64 end, bool &failedOut)
{
    const PieceResult result = read(offset, end - offset);
    if (result.failure == PieceResult::Failure::Write)
        return fail(Outcome::End::WriteFailed, result.osError);
    const qint64 arrived = std::min(result.bytes, end - offset);
    finish(offset, arrived);
    // A block that delivers less than asked without an error has gone from
    // the source since the first pass: what is missing is given up as well.
    failedOut = arrived < end - offset;
    if (failedOut && !giveUp(offset + arrived, end - offset - arrived))
        return Step::Fail;
    return report(end);
}

PieceResult CopyEngine::read(qint64 offset, qint64 count, AskLength askLength)
{
    // The test hooks run here, on the window's thread, before any byte moves.
    if (const int e = rt::readFault(offset, count))
        return {0, PieceResult::Failure::Read, e};
    if (const int e = rt::writeFault(offset, count))
        return {0, PieceResult::Failure::Write, e};
    return m_io.run([&] {
        PieceResult r = m_transfer->copy(m_source, offset, m_dest.descriptor(), offset, count);
        // What has arrived goes on to the medium in the background, and the
        // copy waits for what was written a few MiB back: the bar then moves
        // at the speed the medium really takes the data.
        try {
            m_dest.writeBehind(offset, r.bytes);
        } catch (const rt::RtError &e) {
            if (r.failure == PieceResult::Failure::None)
                r = {r.bytes, PieceResult::Failure::Write, e.osError() ? e.osError() : EIO};
        }
        if (askLength == AskLength::Yes) {
            try {
                m_length = m_source.length();
            } catch (const rt::RtError &) {
                // Keep the last length; the next read reports the real trouble.
            }
        }
        return r;
    });
}

void CopyEngine::finish(qint64 offset, qint64 bytes)
{
    m_map.set(offset, bytes, Status::Finished);
    m_settled += bytes;
    m_outcome.rescued += bytes;
}

bool CopyEngine::giveUp(qint64 badFrom, qint64 badSize)
{
    m_map.set(badFrom, badSize, Status::Bad);
    m_settled += badSize;
    if (const int e = rt::writeFault(badFrom, badSize)) {
        fail(Outcome::End::WriteFailed, e);
        return false;
    }
    const PieceResult zeros = m_io.run([&] { return m_transfer->writeZeros(m_dest.descriptor(), badFrom, badSize); });
    if (zeros.failure != PieceResult::Failure::None) {
        fail(Outcome::End::WriteFailed, zeros.osError);
        return false;
    }
    return true;
}

CopyEngine::Step CopyEngine::report(qint64 readPosition)
{
    if (m_length > 0)
        m_percent = static_cast<int>(std::min<qint64>(
            100, rt::toWholeHalfEven(rt::roundHalfEven(double(m_settled) / double(m_length) * 100, 2))));
    m_progress.showProgress(m_percent, m_outcome.rescued, readPosition);
    return m_progress.yieldAndGoOn() ? Step::GoOn : Step::Stop;
}

CopyEngine::Step CopyEngine::fail(Outcome::End end, int osError)
{
    m_outcome.end = end;
    m_outcome.reason = rt::reasonFromErrno(osError);
    return Step::Fail;
}
