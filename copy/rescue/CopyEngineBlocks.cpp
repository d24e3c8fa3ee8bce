#include "copy/rescue/CopyEngine.h"

#include "runtime/files/Destination.h"
#include "runtime/files/Transfer.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"

#include <algorithm>
#include <cerrno>
#include <utility>

// The trimming and the scraping: block by block, several blocks to a job on
// the worker. Each block is still its own read, settled in the map on its
// own; only the hand-over and the report are shared.

using Status = RescueMap::Status;
using rt::PieceResult;

CopyEngine::Step CopyEngine::trimmingPass()
{
    m_phase = '*';
    qint64 cursor = 0; // everything before it is settled or waits for scraping
    while (const RescueMap::Area *area = m_map.findFrom(cursor, Status::NonTrimmed)) {
        qint64 from = area->pos;
        qint64 to = area->end();
        cursor = to;
        bool failed = false;
        while (from < to && !failed) {
            std::vector<Block> blocks = edgeBlocks(from, to, true);
            if (const Step s = readBlocks(blocks, true, failed); s != Step::GoOn)
                return s;
            from = blocks.back().to;
        }
        failed = false;
        while (to > from && !failed) {
            std::vector<Block> blocks = edgeBlocks(from, to, false);
            if (const Step s = readBlocks(blocks, true, failed); s != Step::GoOn)
                return s;
            to = blocks.back().from;
        }
        if (from < to)
            m_map.set(from, to - from, Status::NonScraped);
    }
    return Step::GoOn;
}

std::vector<CopyEngine::Block> CopyEngine::edgeBlocks(qint64 from, qint64 to, bool leading) const
{
    const std::size_t most = rt::faultHooked() ? 1 : kBatchBlocks;
    std::vector<Block> blocks;
    while (from < to && blocks.size() < most) {
        if (leading) {
            const qint64 blockEnd = std::min((from / m_block + 1) * m_block, to);
            blocks.push_back({from, blockEnd});
            from = blockEnd;
        } else {
            const qint64 blockStart = std::max((to - 1) / m_block * m_block, from);
            blocks.push_back({blockStart, to});
            to = blockStart;
        }
    }
    return blocks;
}

CopyEngine::Step CopyEngine::scrapingPass()
{
    m_phase = '/';
    // Everything before the cursor is settled: each area is looked for from
    // there, so the pass costs in proportion to the areas, not their square.
    // A job's blocks are taken from the map as it stands: each read settles
    // only its own block.
    const std::size_t most = rt::faultHooked() ? 1 : kBatchBlocks;
    qint64 cursor = 0;
    std::vector<Block> blocks;
    for (;;) {
        blocks.clear();
        for (qint64 at = cursor; blocks.size() < most;) {
            const RescueMap::Area *area = m_map.findFrom(at, Status::NonScraped);
            if (!area)
                break;
            const qint64 from = std::max(area->pos, at);
            const qint64 blockEnd = std::min((from / m_block + 1) * m_block, area->end());
            blocks.push_back({from, blockEnd});
            at = blockEnd;
        }
        if (blocks.empty())
            return Step::GoOn;
        bool failed = false;
        if (const Step s = readBlocks(blocks, false, failed); s != Step::GoOn)
            return s;
        cursor = blocks.back().to;
    }
}

CopyEngine::Step CopyEngine::readBlocks(std::vector<Block> &blocks, bool toFirstFailure, bool &failedOut)
{
    // The test hooks run here, on the window's thread, before any byte moves
    // (a job of one block while they are set).
    std::optional<PieceResult> hookedResult;
    if (blocks.size() == 1)
        hookedResult = hooked(blocks.front().from, blocks.front().to - blocks.front().from);
    std::size_t lostAt = blocks.size();
    int lostError = 0;
    const std::size_t read = m_io.run(
        [&] { return readBlocksOnWorker(blocks, toFirstFailure, hookedResult, lostAt, lostError); });
    failedOut = false;
    for (std::size_t i = 0; i < read; ++i) {
        const Block &b = blocks[i];
        if (i == lostAt) {
            // Data written earlier failed on its way to the medium: a later
            // flush may succeed all the same, so no map may call it finished.
            if (m_kept)
                m_kept->flushFailed(rt::reasonFromErrno(lostError));
            return fail(Outcome::End::WriteFailed, lostError);
        }
        if (b.result.failure == PieceResult::Failure::Write)
            return fail(Outcome::End::WriteFailed, b.result.osError);
        const qint64 size = b.to - b.from;
        const qint64 arrived = std::min(b.result.bytes, size);
        finish(b.from, arrived);
        if (b.gone)
            return fail(Outcome::End::SourceGone, b.result.osError);
        // A block that delivers less than asked without an error has gone
        // from the source since the first pass: what is missing is given up
        // as well, written as zeros on the worker.
        if (arrived == size)
            continue;
        failedOut = true;
        m_failed = true;
        m_map.set(b.from + arrived, size - arrived, Status::Bad);
        m_settled += size - arrived;
        if (const int e = rt::writeFault(b.from + arrived, size - arrived))
            return fail(Outcome::End::WriteFailed, e);
        if (b.zeros.failure != PieceResult::Failure::None)
            return fail(Outcome::End::WriteFailed, b.zeros.osError);
    }
    blocks.resize(read);
    return report(blocks.back().to);
}

std::size_t CopyEngine::readBlocksOnWorker(std::vector<Block> &blocks, bool toFirstFailure,
                                           const std::optional<PieceResult> &hookedResult, std::size_t &lostAt,
                                           int &lostError)
{
    const auto until = std::chrono::steady_clock::now() + kBatchTime;
    const int destFd = m_dest.descriptor();
    std::size_t read = 0;
    while (read < blocks.size()) {
        if (read > 0 && (m_io.stopWasAsked() || std::chrono::steady_clock::now() >= until))
            break;
        Block &b = blocks[read++];
        const qint64 size = b.to - b.from;
        b.result = hookedResult ? *hookedResult : m_source.copy(b.from, size, destFd);
        if (b.result.failure == PieceResult::Failure::Write)
            break;
        if (b.result.failure == PieceResult::Failure::Read && !hookedResult) {
            b.gone = m_source.gone();
            if (b.gone)
                break;
            // See startRead: from the first failure on, reads reach the device.
            if (!std::exchange(m_atTheDevice, true))
                m_source.readAtTheDevice();
        }
        const qint64 arrived = std::min(b.result.bytes, size);
        if (arrived < size) {
            b.zeros = rt::Transfer::writeZeros(destFd, b.from + arrived, size - arrived);
            if (b.zeros.failure != PieceResult::Failure::None || toFirstFailure)
                break;
        }
    }
    // What was written goes on to the medium in the background, a run of
    // neighbouring blocks at a time (see startRead).
    for (std::size_t i = 0; i < read;) {
        qint64 from = blocks[i].from, to = blocks[i].to;
        std::size_t j = i + 1;
        for (; j < read && (blocks[j].from == to || blocks[j].to == from); ++j) {
            from = std::min(from, blocks[j].from);
            to = std::max(to, blocks[j].to);
        }
        try {
            m_dest.writeBehind(from, to - from);
        } catch (const rt::RtError &e) {
            lostAt = i;
            lostError = e.osError() ? e.osError() : EIO;
            break;
        }
        i = j;
    }
    return read;
}
