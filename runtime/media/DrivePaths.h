#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>

namespace rt {

// Drive-letter paths as text (C:\Data\a.txt): joining, cutting and tidying
// them, without asking which folder stands behind a letter.

// Whether a host file name can be shown and typed back in drive-letter form:
// no backslash, and valid in the locale's encoding.
bool isRepresentableName(const QByteArray &hostName);

// Whether a text starts with a drive letter and a colon ("c:", "D:\x").
bool hasDriveLetter(const QString &text);

// The parent of a drive-letter path ("C:\Data\a" -> "C:\Data", "C:\Data" ->
// "C:\"); a root is its own parent.
QString parentPath(const QString &normalizedPath);
bool isRootPath(const QString &normalizedPath);
// A file's drive-letter path whose typed name may hold a folder part, with
// either separator ("D:\a\sub/x.bin"): the file's own name ("x.bin"), and
// the folder it stands in ("D:\a\sub").
QString namePart(const QString &drivePath);
QString folderPart(const QString &drivePath);
// A name inside a folder: one backslash between them, none added where the
// folder (a drive's root) already ends with one. Every path of the window's
// lists and of a copy is joined here.
QString childPath(const QString &folder, const QString &name);

// The names of a path's text, split at either kind of separator; empty names
// where separators repeat or lead.
QStringList splitNames(QStringView text);
// The canonical form of names on a drive: "." and ".." resolved without
// climbing above the root, an upper-case letter, single backslashes, a
// trailing backslash only at the root.
QString canonicalPath(QChar letter, const QStringList &names);

// A path's text tidied as far as it can be without its drive: single
// backslashes, none at the end but a root's, an upper-case letter.
QString tidyPath(const QString &drivePath);

// A path as messages show it: the canonical form where it has one, else
// tidied (a drive that is not ready has no current folder to resolve against).
QString displayPath(const QString &drivePath);

// The host path behind a drive-letter path, as the OS takes it.
QByteArray hostName(const QString &drivePath);

} // namespace rt
