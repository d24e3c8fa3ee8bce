#pragma once

#include "runtime/files/Destination.h"

#include <QString>

namespace rt {
class Dialogs;
class File;
class IoWorker;
}

// What is checked on the destination's medium before a byte is written:
//   names    - on media made for Windows (FAT, exFAT, NTFS) a name Windows
//              cannot open is refused where the medium's driver would refuse
//              it anyway, else asked about (style 52);
//   size     - a file larger than the file system takes (FAT: 4 GiB - 1) is
//              refused;
//   room     - a copy that cannot fit is refused, naming the drive and the
//              numbers; one that fits only in place of the file it replaces
//              is asked about after the replace question (confirmInPlace);
//   case     - on those media an entry that differs from the name only in
//              letter case counts as the file to replace.
// Where the file system may share extents or compress (btrfs, xfs) and so
// need less than the data, a tight copy is tried rather than refused.
struct DestinationPlan {
    bool refused = false;      // a message has been shown; nothing is to be written
    bool roomOnlyInPlace = false;
    QString caseTwin;          // the entry that differs in letter case, "" when none
    rt::Destination::Options options; // for Destination::prepare

    // Whether a file is replaced under another letter case.
    bool replacesCaseTwin() const { return !caseTwin.isEmpty(); }
};

// The facts are gathered on the I/O worker (on a network share: with a limit of
// kMediumAnswerLimit, after which the drive is not ready); the messages and
// questions come on the calling thread. `replaces`: a file of that name exists.
DestinationPlan checkDestination(const QString &sourceFile, const QString &destFile, const rt::File &source,
                                 bool replaces, rt::Dialogs &dialogs, rt::IoWorker &io);

// Once the user has agreed to replace the file: where there is room only in its
// place, asks whether to write it in place. False when the copy is not to go on.
bool confirmInPlace(DestinationPlan &plan, const QString &destFile, rt::Dialogs &dialogs);

// "E: [MYSTICK]": a path's drive as the drive list names it, with the letter
// as paths write it, for messages.
QString driveText(const QString &drivePath);
