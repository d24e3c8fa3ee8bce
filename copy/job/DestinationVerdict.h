#pragma once

#include "runtime/files/Destination.h"
#include "runtime/files/ExistingFile.h"
#include "runtime/files/SourceFacts.h"
#include "runtime/media/Volume.h"

#include <QString>

#include <optional>

// What the checks before writing know of a copy's destination, gathered from
// the media in one go, and what they decide from it alone: no medium is
// touched here, so every decision can be tried from a table.
struct DestinationFacts {
    rt::Volume volume;             // the destination folder's
    rt::SourceFacts source;
    bool replaces = false;         // a file of the destination's name exists
    rt::ExistingFile replaced;     // the file the copy replaces (or its case twin)
    std::optional<QString> twin;   // an entry that differs from the name only in letter case
    QString name;                  // the destination's file name
    bool driverTakesName = true;   // for a name Windows does not allow: the medium's driver took one like it
    // How the messages name them: "C:\src.bin", "D:\out.bin", "E: [MYSTICK]".
    QString sourceText;
    QString destText;
    QString driveText;
};

// What the checks decided, in the order it is to be said: the name question
// (style 52, No ends the copy), then a refusal (style 16, the copy does not
// go on). Both empty: the copy goes on with options; roomOnlyInPlace: only
// once the user agrees to write in place of the old file.
struct DestinationVerdict {
    QString nameQuestion;
    QString refusal;
    bool roomOnlyInPlace = false;
    rt::DestinationOptions options;
    // Where the copy is written in place: the old file's own letter case,
    // when it differs from the typed name's.
    QString inPlaceTwin;
};

//   names    - on media made for Windows (FAT, exFAT, NTFS) a name Windows
//              cannot open is refused where the medium's driver would refuse
//              it anyway, else asked about;
//   owner    - a file the user may not write and does not own is refused
//              before they are asked to replace it;
//   size     - a file larger than the file system takes (FAT: 4 GiB - 1) is
//              refused;
//   room     - a copy that cannot fit is refused, naming the drive and the
//              numbers; one that fits only in place of the file it replaces
//              is to be asked about after the replace question;
//   case     - on those media an entry that differs from the name only in
//              letter case counts as the file to replace.
// Where the file system may share extents or compress (btrfs, xfs) and so
// need less than the data, a tight copy is tried rather than refused.
DestinationVerdict judgeDestination(const DestinationFacts &f);

// The question before a copy written in place of the old file.
QString inPlaceQuestion(const QString &driveText, const QString &destText);
