#pragma once

#include "runtime/files/FolderListing.h"

#include <QString>

namespace rt {

// Where the folder and file lists start: the process's current folder and its
// entries, read once for all three lists.
struct StartFolder {
    QString path;
    FolderEntries entries;
};
StartFolder readStartFolder();

} // namespace rt
