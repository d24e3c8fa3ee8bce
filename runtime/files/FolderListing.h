#pragma once

#include <QString>
#include <QStringList>

// Reading a folder's names for the lists, in drive-letter paths.
namespace rt {

enum class EntryKind { Folders, Files };
// The names of a folder's visible subfolders or files, in the user's order
// (NameOrder: by language, case ignored, numbers by value). Hidden names (starting with ".") and names that cannot be
// written in drive-letter form are left out. Throws when the folder cannot be read.
QStringList listFolder(const QString &drivePath, EntryKind kind);

// Both kinds of a folder's entries, read in one pass, as listFolder gives them.
struct FolderEntries {
    QStringList folders;
    QStringList files;
};
FolderEntries listFolderEntries(const QString &drivePath);

} // namespace rt
