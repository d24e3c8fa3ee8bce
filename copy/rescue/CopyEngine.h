#pragma once

#include "copy/rescue/RescueMap.h"

#include <QString>

#include <memory>

namespace rt {
class Destination;
class File;
class IoWorker;
class Transfer;
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
    // The copy has ended (never Refused), before any closing message waits
    // for the user: what shows outside the window can say so at once, in
    // the words of the window's first line where they are more than "completed".
    virtual void copyEnded(CopyEnd, const QString & /*words*/) {}
};

// One copy from an open source into a prepared destination, done the way
// GNU ddrescue rescues a damaged medium:
//   copying  - pieces of 1048576 bytes while that many remain, then 1024; a
//              failed read keeps what the piece delivered, leaves the rest of
//              its 1048576-byte region for later and goes on after it, so the
//              easy data comes first;
//   trimming - each region left is read block by block from its leading edge
//              up to the first failing block, then from its trailing edge down
//              to the first failing block;
//   scraping - what lies between is read block by block.
// A block that fails is given up at once (read at most twice in all: a
// damaged medium may take seconds over each try) and written as zeros at its
// own offset. Every read runs on the I/O worker and is followed by the
// progress report and one yield, so a stop takes effect after any read.
class CopyEngine {
public:
    static constexpr qint64 kLargePiece = 1048576;
    static constexpr qint64 kSmallPiece = 1024;

    struct Outcome {
        enum class End { Completed, Stopped, WriteFailed, ReadFailed };
        End end = End::Completed;
        qint64 length = 0;     // the destination's length once completed
        qint64 unreadable = 0; // bytes written as zeros
        qint64 rescued = 0;
        QString reason;        // why it failed
    };

    CopyEngine(const rt::File &source, rt::Destination &dest, CopyProgress &progress, rt::IoWorker &io);
    ~CopyEngine();
    CopyEngine(const CopyEngine &) = delete;
    CopyEngine &operator=(const CopyEngine &) = delete;

    Outcome run();
    const RescueMap &map() const { return m_map; }

private:
    enum class Step { GoOn, Stop, Fail };

    Step copyingPass();
    Step trimmingPass();
    Step scrapingPass();
    enum class AskLength { No, Yes };
    // Reads [offset, offset + count) into the same place of the destination;
    // with AskLength::Yes the worker then asks the source's length again.
    rt::PieceResult read(qint64 offset, qint64 count, AskLength askLength = AskLength::No);
    // Files bytes that arrived as finished.
    void finish(qint64 offset, qint64 bytes);
    // Files bytes as bad and writes them as zeros; false when that write failed.
    bool giveUp(qint64 offset, qint64 size);
    // Reads one block at [offset, end) and settles it; Fail on a write failure,
    // Stop when the user stopped. failedOut tells whether the read failed.
    Step readBlock(qint64 offset, qint64 end, bool &failedOut);
    Step report(qint64 readPosition);
    Step fail(Outcome::End end, int osError);

    const rt::File &m_source;
    rt::Destination &m_dest;
    CopyProgress &m_progress;
    rt::IoWorker &m_io;
    std::unique_ptr<rt::Transfer> m_transfer;
    RescueMap m_map;
    Outcome m_outcome;
    qint64 m_length = 0; // the open source's length, as last asked
    qint64 m_block = 4096;
    qint64 m_settled = 0;
    int m_percent = 0;
};
