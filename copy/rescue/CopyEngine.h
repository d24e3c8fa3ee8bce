#pragma once

#include "copy/rescue/KeptRescue.h"
#include "copy/rescue/RescueMap.h"
#include "copy/rescue/SourceIdentity.h"
#include "copy/rescue/SourceReads.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace rt {
class Destination;
class File;
class IoWorker;
struct PieceResult;
}

// How a copy ended; Refused: it never began (a check or a question said no);
// NamedInDoubt: it took its name, but may be incomplete or not yet named on
// the medium.
enum class CopyEnd { Refused, Completed, Stopped, Failed, NamedInDoubt };

// What a copy tells whoever shows it. The window implements it: the bar, the
// two captions and one yield after every read.
class CopyProgress {
public:
    virtual ~CopyProgress() = default;
    // After every read: the bar's share of the source that is settled (read,
    // or given up as unreadable), the bytes rescued, and where the read ended.
    virtual void showProgress(int percent, qint64 rescued, qint64 readPosition) = 0;
    // One yield to pending events; false once the copy is to stop.
    virtual bool yieldAndGoOn() = 0;
    // Whether the copy is to go on, without yielding: asked after each wait
    // on the worker, whose event loop has just run the window's events.
    virtual bool goingOn() const = 0;
    // Whether the window is closing (Exit, the close box): a rescue is then
    // kept without a question.
    virtual bool leaving() const { return false; }
    // The copy has ended (never Refused), before any closing message waits
    // for the user: what shows outside the window can say so at once, in
    // the words of the window's first line where they are more than "completed".
    virtual void copyEnded(CopyEnd, const QString & /*words*/) {}
};

// One copy from an open source into a prepared destination, done the way
// GNU ddrescue rescues a damaged medium:
//   copying  - what no read has tried yet, in pieces of 1048576 bytes (1024
//              near the end of the source). A failed read keeps what the piece
//              delivered and leaves the rest of its 1048576-byte region for the
//              trimming; the next read starts at the first untried byte at
//              least one step past the failed piece, the step being 1048576
//              bytes at the start of each pass and doubling with each failed
//              read since the pass's last good one, up to 1/64 of the source.
//              Passes go forward, backward, forward ... over what is still
//              untried until nothing is: the easy data comes first, and a
//              damaged zone costs failed reads in proportion to the logarithm
//              of its size, not to its size;
//   trimming - each region left is read block by block from its leading edge
//              up to the first failing block, then from its trailing edge down
//              to the first failing block;
//   scraping - what lies between is read block by block.
// A block that fails is given up at once (read at most twice in all: a
// damaged medium may take seconds over each try) and written as zeros at its
// own offset. A failed read after which the medium itself is gone ends the
// copy at once. From its first unreadable block the copy is a rescue: kept
// (keepIn) under a name of its own with its map beside it, the map saved then
// and at most every kSaveInterval of work, so that whatever ends the program
// can be gone on from (goOnFrom). Every read runs on the I/O worker. Each
// piece, or each job of blocks of the trimming and scraping (as many as
// answer within kBatchTime), is followed by the progress report and one
// yield; a stop takes effect after the read under way. While
// a copy has had no failed read, the worker reads and writes the next pieces
// while the window shows the last, without waiting for it: up to 3 % of the
// source ahead of what the window has shown (one piece at least, kMostAhead at
// most), so the bar is never further than that from what was read. After a
// Stop only the next piece the window takes still moves, after a failed or
// short read none queued behind it; pieces moved ahead go with the file the
// Stop deletes. A rescue's next read depends on the last one's result, and its
// map must never get ahead of its data: it never reads ahead.
class CopyEngine {
public:
    static constexpr qint64 kLargePiece = 1048576;
    static constexpr qint64 kSmallPiece = 1024;
    static constexpr std::chrono::milliseconds kSaveInterval{30000};
    static constexpr std::size_t kMostAhead = 16; // pieces the worker may move ahead of the window

    struct Outcome {
        enum class End { Completed, Stopped, WriteFailed, ReadFailed, SourceGone };
        End end = End::Completed;
        qint64 length = 0;     // the destination's length once completed
        qint64 unreadable = 0; // bytes written as zeros
        qint64 rescued = 0;
        QString reason;        // why it failed
        QString mapError;      // why the kept rescue's map could not be saved, the last time it was tried
    };

    CopyEngine(const rt::File &source, rt::Destination &dest, CopyProgress &progress, rt::IoWorker &io);
    // Reads through another medium (a simulated one, in tests).
    CopyEngine(SourceReads &source, rt::Destination &dest, CopyProgress &progress, rt::IoWorker &io);
    ~CopyEngine();
    CopyEngine(const CopyEngine &) = delete;
    CopyEngine &operator=(const CopyEngine &) = delete;

    // Keeps the rescue as it goes, once a block fails; commandLine and the
    // source's identity go on the map.
    void keepIn(KeptRescue &kept, const QByteArray &commandLine, const std::optional<SourceIdentity> &source = {});
    // Goes on from the map of a kept rescue of the same source, before run():
    // what it lists as finished or bad is not read again; the bar starts at
    // the share it has settled.
    void goOnFrom(const RescueMap &map);
    // For tests: save the map more often than kSaveInterval (0: after every read).
    void setSaveInterval(std::chrono::milliseconds interval) { m_saveInterval = interval; }
    // For tests: the interval of every engine made from now on (a copy run
    // whole, in a process a test kills); 0 ms: kSaveInterval again.
    static void setSaveIntervalOfNewEngines(std::chrono::milliseconds interval);

    Outcome run();
    const RescueMap &map() const { return m_map; }
    // Whether the copy is a rescue kept under a name of its own.
    bool isKept() const { return m_kept && m_kept->kept(); }
    // Keeps the copy as it stands: gives it a name of its own where it has
    // none yet, then saves its map (see saveMap).
    SavedMap keepNow();
    // Whether a map of the kept rescue was saved after a successful flush,
    // and the bytes rescued that the last such map lists.
    bool mapSaved() const { return m_kept && m_kept->mapSaved(); }
    qint64 savedRescued() const { return m_savedRescued; }
    // The source's length, as last asked.
    qint64 sourceLength() const { return m_length; }

private:
    enum class Step { GoOn, Stop, Fail };
    CopyEngine(std::unique_ptr<SourceReads> own, SourceReads *source, rt::Destination &dest, CopyProgress &progress,
               rt::IoWorker &io);
    struct Span {
        qint64 from;
        qint64 to;
    };

    Step copyingPhase();
    Step copyingPass(bool forward);
    // The untried bytes nearest to at in the pass's direction: going forward
    // the first span at or after it, going backward the last one before it.
    std::optional<Span> untried(qint64 at, bool forward) const;
    Step trimmingPass();
    Step scrapingPass();
    enum class AskLength { No, Yes };
    // A piece's read of [offset, offset + count) into the same place of the
    // destination, in two halves: it starts on the worker (with
    // AskLength::Yes the worker then asks the source's length again); its end
    // is taken (the source's length and whether its medium is gone with it).
    // A piece read ahead meets the test hooks (rt::readFault) when it is
    // taken, so they see the pieces in the order the window shows them.
    void startRead(qint64 offset, qint64 count, AskLength askLength, bool ahead = false);
    rt::PieceResult takeRead();
    // Queues the pieces a healthy forward pass reads after cursor, up to
    // piecesAhead() in flight; dropAhead() takes them back unused.
    void readAhead(qint64 cursor);
    std::size_t piecesAhead() const;
    void dropAhead();
    // The test hooks' word on a piece: its failure, or none.
    static std::optional<rt::PieceResult> hooked(qint64 offset, qint64 count);
    // The piece a copying pass reads next in span: where and how long.
    Span pieceIn(const Span &span, bool forward);
    Outcome runPasses();
    // Files bytes that arrived as finished.
    void finish(qint64 offset, qint64 bytes);
    // One block read of the trimming or the scraping, and what came of it.
    struct Block {
        qint64 from;
        qint64 to;
        rt::PieceResult result{};
        rt::PieceResult zeros{}; // the zeros written where it failed
        bool gone = false;       // it failed, and the medium with it
    };
    // Blocks read one after another in one job on the worker, up to this many
    // (one while the test hooks are set: they are asked read by read) and for
    // about this long: a medium whose failures come at once is then not paid
    // for a hand-over and a report per block, and the window still shows the
    // rescue several times a second.
    static constexpr std::size_t kBatchBlocks = 1024;
    static constexpr std::chrono::milliseconds kBatchTime{50};
    // Reads blocks (in the order given, at least the first) on the worker,
    // writing zeros where each fails, until Stop is asked or kBatchTime has
    // passed, or after the first failure with toFirstFailure; then settles
    // them, keeps in blocks the ones read and reports once. Fail on a write
    // failure or a medium gone, Stop when the user stopped; failedOut tells
    // whether a read failed.
    Step readBlocks(std::vector<Block> &blocks, bool toFirstFailure, bool &failedOut);
    // The worker's part of readBlocks: how many blocks it read, and where
    // write-behind failed (blocks.size() when it did not) with its errno.
    std::size_t readBlocksOnWorker(std::vector<Block> &blocks, bool toFirstFailure,
                                   const std::optional<rt::PieceResult> &hookedResult, std::size_t &lostAt,
                                   int &lostError);
    // Blocks of the trimming from one edge of [from, to) inwards.
    std::vector<Block> edgeBlocks(qint64 from, qint64 to, bool leading) const;
    Step report(qint64 readPosition);
    Step fail(Outcome::End end, int osError);
    // The map as saved while the rescue runs: over the whole source, with the phase under way.
    QByteArray mapContent() const;

    std::unique_ptr<SourceReads> m_ownSource;
    SourceReads &m_source;
    rt::Destination &m_dest;
    CopyProgress &m_progress;
    rt::IoWorker &m_io;
    RescueMap m_map;
    Outcome m_outcome;
    qint64 m_length = 0; // the open source's length, as last asked
    bool m_endSeen = false; // a read has met the source's end: m_length is where it is
    bool m_smallPieces = false;
    bool m_gone = false; // the last failed read found the medium gone
    qint64 m_block = 4096;
    qint64 m_settled = 0;
    int m_percent = 0;
    KeptRescue *m_kept = nullptr;
    QByteArray m_commandLine;
    std::optional<SourceIdentity> m_identity;
    bool m_failed = false;     // a read has failed: the copy is a rescue
    bool m_atTheDevice = false; // reads go to the device as asked (SourceReads::readAtTheDevice)
    bool m_saveTried = false;  // the rescue has been kept, or that was tried
    qint64 m_savedRescued = 0; // what the last saved map lists as rescued
    QElapsedTimer m_sinceSave;
    std::chrono::milliseconds m_saveInterval;
    char m_phase = '?';        // ddrescue's letter for the pass under way
    qint64 m_readPosition = 0;
    // A piece on the worker, and what the worker found, for takeRead.
    struct PieceOut {
        rt::PieceResult result;
        bool gone = false;
        bool lostOnTheWay = false; // data written earlier failed on its way to the medium
        bool skipped = false;      // queued behind a Stop or a failed or short read: nothing moved
        std::optional<qint64> length;
    };
    struct InFlight {
        Span span;
        bool ahead = false; // read ahead: the hooks are asked as it is taken
        bool posted = false;
        PieceOut out; // only the worker touches it until takeRead has waited for it
    };
    std::deque<std::unique_ptr<InFlight>> m_inFlight; // oldest first
    // Set on the worker by a failed or short read: the pieces queued behind it stay unmoved.
    std::atomic<bool> m_aheadStopped{false};
    bool m_skipped = false; // the piece taken last was not moved (PieceOut::skipped)
    std::uint64_t m_piecesQueued = 0;           // pieces ever started, the window's count
    std::atomic<std::uint64_t> m_piecesTaken{0}; // of those, the ones the window has taken (or waits for)
};
