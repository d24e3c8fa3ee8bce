#pragma once

#include "copy/rescue/CopyEngine.h"
#include "copy/rescue/MapFinder.h"
#include "copy/rescue/RescueFiles.h"
#include "copy/rescue/UnfinishedSource.h"
#include "runtime/files/Destination.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "runtime/media/MediumWaits.h"

#include <QString>

namespace rt {
class Dialogs;
}

// One copy, from the click that starts it to its closing message. It owns
// everything the copy uses: the names it copies between, fixed when it starts
// (a click in the lists during the copy prepares the next copy, never this
// one); the open source and destination; the I/O worker and the engine; the
// map of any damage. It needs no widgets: it reports through CopyProgress and
// asks and tells through rt::Dialogs.
//
// Every call that can wait on a medium runs on the I/O worker, so the window
// repaints and answers Stop, Exit and the close box while a drive spins up,
// a share times out or a damaged block is read. The stages:
//   opening - is it the same file, does the name exist, the source opened
//             read-only (never created), the replace question, then the
//             destination prepared; a Stop here abandons the copy before any
//             byte is written, a failure names the file and says why. An
//             existing copy with a map of an earlier rescue that fits the
//             source is offered first to be gone on with: then only what its
//             map does not list as finished is read, into it (RetryPasses
//             once the copying, trimming and scraping are through, else the
//             engine goes on with them), and a Stop keeps it and its map as
//             they stand;
//   passes  - CopyEngine moves the bytes, with a progress report and a yield
//             after every read; a Stop takes effect after the read under way;
//   ending  - the data is flushed, and only if no Stop came meanwhile does the
//             copy take its name (commit) and get announced, with the bytes
//             that could not be read and a map of them; a copy that stopped or
//             failed is abandoned, and an old file under the name stays as it
//             was. Whatever is thrown, the copy ends here as failed.
// A rescue is never thrown away (CopyJobKept.cpp): from its first unreadable
// block the copy is kept as NAME.part with its map beside it; a Stop asks
// whether to keep it, Exit and the close box keep it, a source that goes keeps
// what was read; Copy onto the name again offers to go on from where it stopped.
// What happens to the copy's files is RescueFiles' to decide and do.
class CopyJob {
public:
    struct Names {
        QString source;      // drive-letter paths, as composed at the start
        QString destination;
        QString typedName;   // the destination's name as typed, for the question
    };
    using End = CopyEnd;

    CopyJob(Names names, CopyProgress &progress, rt::Dialogs &dialogs);
    ~CopyJob();
    CopyJob(const CopyJob &) = delete;
    CopyJob &operator=(const CopyJob &) = delete;

    const Names &names() const { return m_names; }

    // Runs the copy to its end, with every question and message.
    End run();
    // A stop was asked: onStall runs if the operation in flight does not let
    // it through within the answer limit; until it returns, the copy is
    // stalled, left to its medium.
    void stopAsked(std::function<void()> onStall) { m_io.stopAsked(rt::kMediumAnswerLimit, std::move(onStall)); }
    bool stalled() const { return m_io.stalled(); }
    // The file or folder the operation in flight waits on, as the system tells it.
    QString waitedOn() const { return m_io.waitedOn(); }
    // What a Stop would do to the copy's files now, for the words of a stalled Stop.
    StopWould whatStopWould() const { return m_files.whatStopWould(); }

private:
    enum class Way { Refused, Stopped, Fresh, GoOnFromMap, GoOnKept, NotKept };
    // The checks, the questions and both opens on the worker: how the copy
    // goes on, if it does. What it opened is left for run() to abandon.
    Way open();
    // An unfinished rescue of this source kept beside the destination, offered
    // before any other question: GoOnKept, Refused, Stopped, or NotKept when
    // there is none or the user chose a fresh copy.
    Way offerKept(bool exists);
    // Whether a kept part or its map has the name (the next may then be this
    // copy's), and whether it may be gone on with: never a link, nor the source.
    enum class PartThere { No, NotOurs, MapLess, Kept };
    // Asks whether to delete a part without a map; whether it is gone.
    bool mapLessPartDeleted(const QString &partPath, const QString &part);
    // Whether another copy (another window) holds the writer's lock on the
    // rescue at path: then says so, before any question, and nothing starts.
    bool writtenElsewhere(const QString &path, const QString &name);
    // Where a full medium kept the rescue's own map as the final one: says so.
    static QString keptMapText(const QString &keptAs);
    PartThere partThere(const QString &partPath);
    // Yes to going on with the earlier rescue under the name: GoOnFromMap for
    // the retry passes, GoOnKept when its copying passes are not through.
    Way goOnFromMap(Resumable earlier);
    // The replace question for a file under the name; false when not to replace.
    bool replaceAsked();
    // The copy's end while it is a rescue (action: what the event allows at
    // first): asks (Stop) or keeps at once (Exit, a source gone, a failed write).
    End endKept(const CopyEngine::Outcome &outcome, CopyEngine &engine, RescueAction action);
    // What a kept rescue's end left on the medium, in the user's words;
    // current: kept with a map saved just now.
    struct KeptWords {
        QString text;
        bool current;
    };
    // Keeps what the rescue has read with the last map saved after a
    // successful flush; deletes it only when no such map was ever saved.
    KeptWords keepRescue(const CopyEngine::Outcome &outcome, CopyEngine &engine);
    // "N MB of M MB were rescued"
    QString rescuedText(qint64 rescued, const CopyEngine &engine) const;
    QByteArray commandLine() const;
    // The open source's identity for its maps, and whether its medium keeps coarse times. On the worker.
    void identifySource();
    // How a copy gone on with is written: it gets the source's time.
    rt::Destination::Options goOnOptions() const;
    // Where a map names another source than this one: the same file (gone on
    // with), another copy of the same data whose samples agree and the user
    // said Yes (gone on with, no second question), or another version (not
    // gone on with, said so).
    enum class MapOrigin { ThisSource, AnotherCopyAgreed, AnotherVersion };
    MapOrigin mapOrigin(const Resumable &found, const QString &copyName);
    // Why: the engine's reason, or the medium gone; kept: what became of what was read.
    void tellSourceUnreadable(bool gone, const QString &reason, const QString &kept);
    // Reads again what an earlier rescue could not, into its copy.
    End retry();
    End finish(CopyEngine::Outcome outcome, CopyEngine &engine);
    // Ends the copy's files as the event allows (RescueFiles::end) and closes
    // the source; never throws.
    RescueFiles::Ended abandon(RescueEvent event, bool rescued = false);
    void announce(const CopyEngine::Outcome &outcome);
    // The final map's text, with the source's identity; on the worker.
    QByteArray finalMapText(const RescueMap &map);
    // The closing line of a rescue with a map: a retry reads only the damaged parts.
    static QString retryLaterText();
    void tellCannotOpen(const QString &which, const QString &path, const QString &reason);
    // after: what became of the copy, on a line of its own.
    void tellCannotWrite(const QString &reason, const QString &after = QString());
    End runStages();
    // Tells the progress how the copy ended; returns end.
    End ended(End end, const QString &words = QString());

    const Names m_names;
    CopyProgress &m_progress;
    rt::Dialogs &m_dialogs;
    rt::IoWorker m_io;
    rt::File m_source;
    RescueFiles m_files{m_names.destination, m_io}; // the copy's files, what goes and what stays
    std::optional<UnfinishedSource> m_unfinishedSource; // the source is a kept part with its map
    std::optional<SourceIdentity> m_identity;
    std::optional<timespec> m_sourceModified; // given to a copy gone on with
    bool m_coarseTimes = false; // the source's medium keeps times to 2 s (FAT, exFAT)
};
