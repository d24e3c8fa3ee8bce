#pragma once

#include "runtime/files/Destination.h"

#include <QString>

namespace rt {
class Dialogs;
class File;
class IoWorker;
}

// What is checked on the destination's medium before a byte is written (the
// decisions: judgeDestination), with its messages and questions.
struct DestinationPlan {
    bool refused = false;      // a message has been shown; nothing is to be written
    bool roomOnlyInPlace = false;
    QString inPlaceTwin; // see DestinationVerdict
    rt::Destination::Options options; // for prepareDestination

    // Whether a file is replaced under another letter case.
    bool replacesCaseTwin() const { return !options.caseTwin.isEmpty(); }
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
