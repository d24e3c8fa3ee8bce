#pragma once

#include "runtime/files/Destination.h"
#include "runtime/files/DestinationEntries.h"

#include <QString>

// How a copy is written, decided from what lies under its name alone.
//
// Anything under that name that is neither a regular file, a link to one, nor
// a link to nothing is refused (75) before anything is written or deleted. A
// link to a file is replaced at its target; a link to nothing is replaced
// itself, and nothing is ever created where it points. A file the user may not
// write is not replaced behind their back, as a plain copier would not either,
// unless it is their own (a read-only copy of a read-only source).
// A new file gets newMode under the umask; a replaced file is private (0600)
// until its mode, owner and group go to the copy at the commit. A case twin
// (options.caseTwin: the entry that differs in letter case) is replaced by the
// copy unless it is the very file under the name; writing in place
// (options.inPlace) goes into the old file itself, a case twin included, which
// then takes the name as typed.
rt::WritePlan planWriting(const rt::DestinationEntries &found, mode_t newMode, const rt::DestinationOptions &options);

// Looks at drivePath (drive-letter form; 68 for a drive not ready), plans and
// opens the file to write: a Destination ready for the copy, or an RtError with
// the reason.
rt::Destination prepareDestination(const QString &drivePath, mode_t newMode,
                                   const rt::DestinationOptions &options = rt::DestinationOptions());
