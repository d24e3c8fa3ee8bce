#pragma once

#include "copy/rescue/KeptFiles.h"
#include "copy/rescue/MapFinder.h"
#include "copy/rescue/SourceReads.h"
#include "runtime/Dialogs.h"
#include "runtime/files/CopyFolder.h"

#include <QElapsedTimer>
#include <QString>

#include <chrono>
#include <memory>

class CopyProgress;
namespace rt {
class File;
class IoWorker;
}

// Going on with an earlier rescue: reads again only what its map does not list
// as finished, and writes what now reads into the existing copy, at its own
// offset and nowhere else.
//
//   passes  - block by block (the source's block size), each block not yet
//             finished read once per pass; pass 1 forward, pass 2 backward,
//             pass 3 forward again, as ddrescue's retry passes go (a marginal
//             block often reads on a later try, or approached from the other
//             side). The backward pass always follows the first: it is the one
//             thing the first copy never tried. After it, another pass follows
//             only while the last one recovered something; at most kMaxPasses.
//   the map - saved beside the copy at most every kSaveInterval of work and at
//             the end: the copy is flushed to the medium first, then the map
//             replaces the old one in one step, so the map never calls a block
//             finished that is not on the medium, and a killed program or a
//             pulled stick loses at most the last interval's blocks. A stop
//             ends after the read under way and saves the map as it stands;
//             when everything was recovered the map is removed.
//   gone      - a failed read after which the source's medium is gone ends the
//             passes at once, the map saved as it stands: a pulled stick is
//             not read block by block for nothing.
//   window  - after every read: the bar shows the share of the unreadable
//             bytes settled in this pass (recovered, or tried again and still
//             unreadable), "File Copied:" the bytes recovered, "Bytes Copied:"
//             where the read head now is (the end of the block read going
//             forward, its start going backward), then one yield.
// The copy's mode and modification time stay as the first copy left them.
// Every blocking call runs on the I/O worker.
//
// A job runs it so, once the source is open and the destination exists:
//   std::optional<Resumable> r = findResumable(DestFile, source, io);
//   if (r && msgBox(retryQuestion(typedName, r->mapFile.map), kRetryQuestionStyle, kTitleTalmo) == Yes) {
//       RetryPasses::Outcome o = RetryPasses(source, *std::move(r), progress, io).run();
//       Completed: show retryClosingMessage(o); Stopped: nothing;
//       WriteFailed: "The destination file ... could not be written." + o.reason
//       SourceGone: "The source file ... could not be read." + the medium gone + retryTally(o)
//   } // No, or no r: the replace question and a fresh copy, as before.
class RetryPasses {
public:
    static constexpr int kMaxPasses = 3;
    static constexpr std::chrono::milliseconds kSaveInterval{30000};

    struct Outcome {
        enum class End { Completed, Stopped, WriteFailed, SourceGone };
        End end = End::Completed;
        qint64 recovered = 0;  // bytes read now, in all passes
        qint64 unreadable = 0; // bytes the map still does not list as finished
        int passes = 0;        // passes begun
        QString mapPath;       // the map, in drive-letter form
        bool complete = false; // everything read and flushed: its map is for the owner to remove
        QString mapError;      // why the map could not be saved or removed; empty when it was
        QString reason;        // End::WriteFailed: why the copy could not be written
    };

    RetryPasses(const rt::File &source, Resumable resumable, CopyProgress &progress, rt::IoWorker &io);
    // Reads through another medium (a simulated one, in tests), as CopyEngine can.
    RetryPasses(SourceReads &source, Resumable resumable, CopyProgress &progress, rt::IoWorker &io);
    ~RetryPasses();
    RetryPasses(const RetryPasses &) = delete;
    RetryPasses &operator=(const RetryPasses &) = delete;

    // For tests: save the map more often than kSaveInterval (0: after every change).
    void setSaveInterval(std::chrono::milliseconds interval) { m_saveInterval = interval; }

    Outcome run();
    const RescueMap &map() const { return m_map; }

private:
    enum class Step { GoOn, Stop, Fail, Gone };

    RetryPasses(std::unique_ptr<SourceReads> own, SourceReads *source, Resumable resumable, CopyProgress &progress,
                rt::IoWorker &io);
    // One pass over what is not finished, block by block, each block once.
    Step pass(bool forward);
    // Reads [offset, end) of the source; writes what arrives into the copy.
    Step readBlock(qint64 offset, qint64 end, qint64 readPosition);
    // Flushes the copy, then replaces the map; false when the copy's flush failed.
    bool save(const RescueMap::Current &current);
    Step failWrite(const QString &reason);

    std::unique_ptr<SourceReads> m_ownSource;
    SourceReads &m_source;
    Resumable m_resumable;
    CopyProgress &m_progress;
    rt::IoWorker &m_io;
    rt::PatchedFile m_copy;
    KeptPatch m_kept{m_copy, m_resumable.files, m_resumable.mapFile.name}; // every save goes through it
    RescueMap m_map;
    QByteArray m_buffer;
    Outcome m_outcome;
    qint64 m_block = 4096;
    qint64 m_failedInPass = 0;
    int m_pass = 0;
    qint64 m_cursor = 0;
    bool m_changed = false; // since the map was last saved
    QElapsedTimer m_sinceSave;
    std::chrono::milliseconds m_saveInterval = kSaveInterval;
};

// The question before a retry (title "Talmo", style 52 = exclamation, Yes/No),
// for the copy named as the user typed it, with what its map says:
//   An earlier copy of 'NAME' is there: N bytes could not be read and M bytes were not yet tried.
//   Do You Want to Read Only Those Parts Again.
QString retryQuestion(const QString &copyName, const RescueMap &map);
constexpr int kRetryQuestionStyle = rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo;

// What a retry read and where its map stands:
//   N bytes could now be read and M bytes still could not.
//   The map of the unreadable parts, MAP, was brought up to date.
// or, when everything was read:
//   File Copy Completed.
//   N bytes could now be read: the copy is now complete.
//   The map MAP was removed.
// A map that could not be saved or removed says so instead, with the reason:
//   The map of the unreadable parts, MAP, could not be brought up to date: REASON
//   The map MAP could not be removed: REASON
QString retryTally(const RetryPasses::Outcome &outcome);

// The closing message of a completed retry (no title; style 64 when the copy
// is now complete, else 48 as after a rescue): "File Copy Completed." and the tally.
struct ClosingMessage {
    QString text;
    int style;
};
ClosingMessage retryClosingMessage(const RetryPasses::Outcome &outcome);
