#pragma once

#include "copy/rescue/RescueMap.h"
#include "copy/rescue/SourceIdentity.h"
#include "runtime/files/CopyFolder.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace rt {
class File;
class IoWorker;
}

// Finding the map of an earlier rescue beside a copy, and whether the copy can
// be continued from it.
//
// Which files beside the copy count as its maps:
//   - this program's own, by their names: NAME.map, NAME.1.map, NAME.2.map ...
//     (NAME being the copy's file name), as a rescue names them;
//   - one that GNU ddrescue wrote for the same pair, by what it says: a file
//     named *.map, *.log, *.mapfile, "mapfile" or "logfile" whose
//     "# Command line:" gives the copy's name and then the map's own name as
//     two arguments in a row (ddrescue's "infile outfile mapfile"; options
//     may stand anywhere). An argument with a folder part is taken when that
//     folder is relative (ddrescue was run somewhere the program cannot know)
//     or is the copy's folder.
// Of those that can be read as maps, the newest counts, by its
// "# Current time:" line (a map without one is older than any with one; a tie
// goes to the file changed last). Drive letters and a command line do not
// identify a source reliably: whether the map fits the source is decided by
// the bytes, in findResumable().

// A map read from a file beside the copy.
struct MapFile {
    QString name;            // the file's name beside the copy
    QByteArray commandLine;  // what its "# Command line:" says, written back when it is saved
    QByteArray currentTime;  // what its "# Current time:" says; empty when none
    RescueMap map;
    std::optional<SourceIdentity> source; // its "# Source:" line; none in ddrescue's
};

// The n-th name a map of copyName may take beside it: NAME.map, then
// NAME.1.map, NAME.2.map ..., with NAME cut to leave room for the ending.
QString mapNameFor(const QString &copyName, int n);

// What a file's comment line "# KEY: value" says; empty when there is none.
QByteArray mapComment(const QByteArray &mapfile, const QByteArray &key);
// Whether a ddrescue command line names the copy and then the map, as above.
// May look at the file system (a folder written in it): call on the worker.
bool commandLineNames(const QByteArray &commandLine, const QString &copyName, const QString &mapName,
                      const rt::CopyFolder &files);
// The newest of the maps beside the copy, as above, when it can be a map of a
// source of that length: nullopt when the newest is another source's (another
// length, or more areas than the source has 512-byte sectors). Only a map
// that can be the source's is read whole, so the time and memory this takes
// are bounded by the source's length, not by the files beside the copy.
// Blocking: call on the worker.
std::optional<MapFile> newestMap(const rt::CopyFolder &files, qint64 sourceLength);

// A copy that can be continued from its map.
struct Resumable {
    rt::CopyFolder files; // the copy and its folder
    MapFile mapFile;
    qint64 unfinished = 0; // bytes the map does not list as finished
    int samplesAgreed = 0; // finished blocks read the same from the source and the copy
    rt::PatchedFile copy;  // the copy, opened with the writer's lock by its owner before anything is cleared
    QString mapPath() const { return files.drivePath(mapFile.name); }
};

// The copy at destination (a drive-letter path) can be continued when the
// newest map beside it describes a file of the source's length with areas
// not finished, the copy is no longer than the source, can be written in
// place, and matches the source at up to kSampleBlocks finished blocks spread
// over the file, read from both (a finished block that no longer reads from
// the source is passed over; when the map lists any finished bytes, at least
// one block must have been compared). Everything that can wait on a medium
// runs on io. nullopt when anything fails or does not match: then no retry
// is offered.
// The lengths' part of that: the map describes a file of the source's length
// with areas not finished, and the copy is no longer than the source.
bool lengthsFit(const RescueMap &map, qint64 sourceLength, qint64 copyLength);
std::optional<Resumable> findResumable(const QString &destination, const rt::File &source, rt::IoWorker &io);

constexpr int kSampleBlocks = 64;
