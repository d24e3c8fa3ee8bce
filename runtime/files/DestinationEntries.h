#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace rt {

// What lies under a name, looked at without following it; of a link, what it
// points to.
struct EntryFacts {
    enum class Kind { Missing, File, LinkToFile, LinkToOther, DanglingLink, Link, Other }; // Link: not followed
    Kind kind = Kind::Missing;
    mode_t mode = 0;   // the entry's; a link's target's
    dev_t device = 0;  // File, LinkToFile: the file's
    ino_t inode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    int writeError = 0; // why this process may not write it (0: it may), through a link
    bool ours = false;  // this process owns it
};

// The entries a copy to a drive-letter path meets in its folder: what is under
// the name, and the entry that differs from it only in letter case, if one was
// named. Of a link to a file, the file it points to (folder and name are then
// that file's). Throws RtError for what cannot be looked at (68: drive not ready).
struct DestinationEntries {
    QByteArray folder; // host paths
    QByteArray name;
    EntryFacts entry;
    QByteArray twinName;
    EntryFacts twin;   // Missing when none was named or it is gone
};
DestinationEntries lookAtDestination(const QString &drivePath, const QString &caseTwin);

} // namespace rt
