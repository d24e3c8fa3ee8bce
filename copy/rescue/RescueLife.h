#pragma once

#include <QString>

// The life of a copy's files on the destination's medium, as states and the
// events that end a copy, with the one rule of what each event may remove.
// Pure: no medium is touched here, so every rule is tested without one.

enum class RescueState {
    Nothing,       // no file of this copy's yet
    Private,       // a healthy copy's own file: unnamed, under a hidden temporary name, or the old file written in place
    KeptAsPart,    // a rescue under a name of its own (NAME.part; NAME when written in place) with its map, or an earlier session's part gone on with
    GoneOnInPlace, // an earlier copy under NAME itself, with its map, gone on with: never deleted
    Retrying,      // the retry passes over an earlier copy and its map: never deleted
    KeptAside,     // closed and left on the medium with its map as last saved after a good flush
    Settled,       // the copy took NAME (and NAME.map where blocks stayed unreadable)
    Deleted,       // removed: a private file, or a rescue the user said No to keeping (or one no map tells anything of)
};

enum class RescueEvent {
    Refused,     // the copy never started: a No to a question, a Stop while opening, a file that would not open
    StopAsked,   // Stop in the window
    KeepAgreed,  // Yes to keeping what was rescued
    KeepRefused, // No to keeping it
    Leaving,     // Exit or the close box
    SourceGone,  // the source's medium went away
    WriteFailed, // the copy could not be written or flushed
    Thrown,      // anything else that ends the copy early (out of memory ...)
    Saved,       // the last save of its map before closing is over: mapSaved says how it went
};

enum class RescueAction {
    Nothing,      // nothing of this copy's is open to decide about
    Delete,       // the file and the map this copy wrote go
    Ask,          // the user is asked whether to keep it (then KeepAgreed or KeepRefused)
    SaveThenKeep, // its map is brought up to date where the medium allows, then Saved decides
    Keep,         // closed and left as it stands, with its map as last saved
};

// What is known when the decision is taken.
struct RescueFacts {
    bool mapSaved = false; // a map of it was saved after a successful flush (by this copy or an earlier one)
    bool rescued = false;  // some of the source was read into it
};

// What an event may do to the copy's files in a state. Rescued data goes only
// on the user's No, or when no map saved after a good flush tells what in it
// is the source's: a failed flush, a failed write, Exit or a source gone keep it.
RescueAction whatMayGo(RescueState state, RescueEvent event, RescueFacts facts);

// The state an action leaves.
RescueState afterAction(RescueState state, RescueAction action);

// What a Stop would do now, for the words of a stalled Stop: the partial file
// goes, the user is asked, or it is kept as it stands.
enum class StopWould { Remove, Ask, Keep };
StopWould whatStopWould(RescueState state, RescueFacts facts);

// What deleting a rescue left, when not all of it went: each with why.
struct RescueLeft {
    QString part; // the reason the copy's file stays, empty when it went
    QString map;  // the reason its map stays, empty when it went (or there was none)
};
// What is left of the rescue partName with its map mapName, in the user's
// words: exactly what stays; empty when all went.
QString leftText(const QString &partName, const QString &mapName, const RescueLeft &left);

// A hidden file a healthy copy onto the same name left (a cut, a kill, a
// medium that refused its deletion), as found by the next Copy. A copy holds
// its writer's lock on it from its creation to its end.
struct LeftoverFacts {
    bool ours = false;      // it carries this program's mark for a copy onto the name, and no map stands beside it
    bool lockHeld = false;  // another copy (window or process) holds it: it is being written
    bool lockKnown = false; // the medium answered the look at the lock
    bool share = false;     // a network share: a copy on another machine holds no lock seen here
    qint64 ageSeconds = 0;  // since it last changed, by the medium's own clock
};
// Long enough that no copy still writing leaves its file untouched so long.
constexpr qint64 kLeftoverAgeOnShares = 24 * 3600;
// Whether the next Copy may delete it: never a file not proven ours (a name
// alone proves nothing: a kept ".disk.img.part" fits a copy onto "disk");
// when no lock is held and the lock tells, on a local medium; on a share, or where locks tell nothing, only
// once it has not been written for kLeftoverAgeOnShares.
bool leftoverMayGo(const LeftoverFacts &facts);

// For messages and test failures.
QString stateName(RescueState state);
