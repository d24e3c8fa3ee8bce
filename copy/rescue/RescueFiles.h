#pragma once

#include "copy/rescue/KeptRescue.h"
#include "copy/rescue/MapFinder.h"
#include "copy/rescue/RescueLife.h"
#include "runtime/files/CopyFolder.h"
#include "runtime/files/Destination.h"

#include <QString>

#include <atomic>
#include <functional>
#include <optional>

namespace rt {
class IoWorker;
}

// The one owner of a copy's files on the destination's medium: the file it
// writes, the name a rescue takes, its map, the final map, and what goes or
// stays at the end. Every delete, keep and rename of them goes through here,
// in the states of RescueLife.h; what an event may remove is whatMayGo's word
// alone. A healthy copy's file is Private; from its first unreadable block a
// rescue is KeptAsPart (NAME.part with NAME.part.map, or NAME written in place
// with the first free of NAME.map, NAME.1.map ...); at the end it is Settled
// under NAME, or KeptAside, or Deleted. An earlier copy under NAME gone on
// with, or retried, is never deleted.
//
// The members called by the engine's saves (KeptRescue's) run on the I/O
// worker; the others are called on the job's thread and run their medium
// calls on the worker themselves.
class RescueFiles final : public KeptRescue {
public:
    // destination: the copy's final name, a drive-letter path.
    RescueFiles(const QString &destination, rt::IoWorker &io);
    // A copy that ended without end() (an early way out) ends as Thrown.
    ~RescueFiles() override;
    RescueFiles(const RescueFiles &) = delete;
    RescueFiles &operator=(const RescueFiles &) = delete;

    RescueState state() const { return m_state; }
    RescueFacts facts(bool rescued) const { return {mapSaved(), rescued}; }
    StopWould whatStopWould() const { return ::whatStopWould(m_state, facts(false)); }
    rt::Destination &destination() { return m_dest; }

    // Nothing → Private: the file a fresh copy writes, as open makes it on the worker. Throws.
    void writeAfresh(const std::function<rt::Destination()> &open);
    // Nothing → KeptAsPart: an earlier session's part (part, beside the
    // destination) and its map, gone on with. Throws, leaving both as they were.
    void goOnWithPart(const QString &part, const RescueMap &map, const rt::Destination::Options &options);
    // Nothing → GoneOnInPlace: the earlier copy under the name and its map. Throws, leaving both.
    void goOnInPlace(const Resumable &earlier, const rt::Destination::Options &options);
    // Nothing → Retrying: the retry passes take the earlier copy, opened here
    // with the writer's lock, and its map (retried()), and they alone write
    // them. Throws, leaving both: the copy cannot be opened, or another copy
    // (another window's retry) holds it (writtenElsewhereText()).
    void retry(Resumable earlier);
    Resumable &retried() { return *m_retried; }
    // The retry read everything and its copy is on the medium: the map goes.
    // Why it could not, or empty.
    QString settleRetried();
    // The map of the earlier rescue gone on with, for the engine.
    const std::optional<RescueMap> &earlierMap() const { return m_earlierMap; }
    // The command line its map names the copy by; empty when this copy's own.
    const QByteArray &earlierCommandLine() const { return m_earlierCommandLine; }

    // Sets the length and flushes the copy's data; one that fails leaves the
    // map as last saved, for good. Throws.
    void flush(qint64 length);
    // The map of a completed rescue: words are its name, or why it could not be written.
    struct FinalMap {
        QString words;
        bool written = false;
        // Where it could not be written (a full medium): the rescue's own map
        // as last saved, which took NAME.map (NAME.1.map ...) instead.
        QString keptAs;
    };
    // The copy takes its name (→ Settled): the final map first when mapText
    // is given (in place over its own, else NAME.map, NAME.1.map ... never over
    // a file), then the copy's name, then the rescue's own map goes (a map
    // written in place stays while something could not be read). The final
    // map holds this copy's lock until the copy has its name, so no other
    // window takes it for a cut's. Where it cannot be written (a full
    // medium), the rescue's own map as last saved takes its name instead (a
    // rename needs no room); where that fails too, the copy stays NAME.part
    // with its map: thrown, with why. What fails before the name is taken is
    // thrown, and a final map made for it goes (or the moved map goes back).
    [[nodiscard]] rt::Destination::Committed commit(qint64 length, const std::optional<QByteArray> &mapText, bool allRead);
    const FinalMap &finalMap() const { return m_finalMap; }
    // For tests: called on the job's thread between the final map and the
    // moment the copy takes its name (first with finalMap false, just before
    // the final map is written).
    static void setBeforeNaming(std::function<void(bool finalMap)> step);

    // What was done at an event, and what a deletion left.
    struct Ended {
        RescueAction action;
        RescueLeft left; // what a deletion left
    };
    // Carries out what whatMayGo allows at the event (Delete or Keep; Ask and
    // SaveThenKeep are the caller's), with alongside on the worker in the same
    // call. Never throws.
    Ended end(RescueEvent event, bool rescued, const std::function<void()> &alongside = {});
    // What a deletion left, in the user's words; empty when all went.
    QString leftText(const RescueLeft &left) const { return ::leftText(m_part.isEmpty() ? m_leftName : m_part, m_map, left); }
    // Why a healthy copy's old file, written in place, could not be deleted (0: it was).
    int leftInPlace() const { return m_leftInPlace; }

    // What a cut left of an earlier rescue: a map of ours whose copy at
    // copyPath is gone (a part that took NAME or never had a name, or a NAME
    // whose final map was written before the part took NAME) is cleared with
    // its temporary files, never used; each only once its lock is taken, so
    // never the final map of a rescue that is finishing in another window,
    // nor a temporary file a save writes now. On the worker; throws.
    static void clearStaleMap(const QString &copyPath);
    // What a healthy copy onto copyPath left under its hidden name (a cut or
    // a kill where the medium takes no unnamed file) goes, as leftoverMayGo
    // allows: only a file marked as that copy's, with no map beside it, and
    // never one another copy is writing. On the worker; throws what the
    // folder's listing throws.
    static void clearLeftovers(const QString &copyPath);
    // A part without its map (a cut before its first map), on the user's Yes:
    // whether it was deleted.
    bool deleteMapLessPart(const QString &partPath);

    // The rescue's own name and its map's, once it has them.
    QString partName() const { return m_part; }
    QString mapName() const { return m_map; }

    // KeptRescue's, on the worker.
    bool kept() const override;
    void keep() override;
    void flushCopy() override;
    void replaceMap(const QByteArray &content) override;

private:
    // The transition of an event's action, on the worker.
    RescueLeft carryOut(RescueAction action);
    FinalMap writeFinalMap(const QByteArray &text);
    void keepPartMapAsFinal();
    void unwriteFinalMap();
    void releaseFinalMap();
    void settleMap(bool allRead);

    rt::IoWorker &m_io;
    const QString m_destination;
    rt::Destination m_dest;
    std::atomic<RescueState> m_state{RescueState::Nothing};
    QString m_part;
    QString m_map;
    std::optional<rt::CopyFolder> m_folder; // the copy's folder, once it has a name of its own
    std::optional<RescueMap> m_earlierMap;
    std::optional<Resumable> m_retried;
    QByteArray m_earlierCommandLine;
    FinalMap m_finalMap;
    QString m_finalMapMade; // a final map this copy created (drive-letter path), until the copy has its name
    QString m_partMapMoved; // the name the rescue's own map took as the final map's, until the copy has its name
    rt::HeldFile m_finalMapHeld; // the final map, open with this copy's lock, until the copy has its name
    int m_leftInPlace = 0;
    QString m_leftName; // a file of this copy's that could not be deleted before it was named as a rescue
    bool m_mapNamed = false; // a map of this rescue's may be under m_map
};
