#pragma once

#include "runtime/files/OurFiles.h"
#include "runtime/files/PatchedFile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <optional>
#include <time.h>

namespace rt {

// A copy and its folder: the files of an earlier rescue, for going on with
// it (the copy, written in place, and the maps beside it). Making one resolves the drive-letter path, which asks
// whether the drive is ready; that and every member may wait on the medium
// and belong on the I/O worker. Names are plain file names in the copy's folder.
class CopyFolder {
public:
    // Throws RtError 68 or 76 as Drives::toHost does.
    explicit CopyFolder(const QString &copyDrivePath);

    QString copyName() const { return m_copyName; }
    // A file beside the copy, in drive-letter form, for messages.
    QString drivePath(const QString &name) const;

    // The regular files beside the copy that a user sees (hidden names and
    // names with no drive-letter form left out), with their modification times.
    struct Entry {
        QString name;
        qint64 modified; // nanoseconds since the epoch
        qint64 size;
    };
    QList<Entry> entries() const;
    // The whole content of a file beside the copy; nullopt when it is no
    // regular file, is longer than limit or cannot be read.
    std::optional<QByteArray> read(const QString &name, qint64 limit) const;
    // Up to count bytes of a file beside the copy: its first ones, or with
    // Part::Last its last ones; nullopt when it is no regular file or cannot
    // be read. A look at a large file that costs no more than the look.
    enum class Part { First, Last };
    std::optional<QByteArray> readPart(const QString &name, Part part, qint64 count) const;
    // Whether the name is taken beside the copy, by anything (hidden names too).
    bool has(const QString &name) const;
    // Whether a host folder (an absolute path written in a map) is the copy's folder.
    bool isCopyFolder(const QByteArray &hostFolder) const;

    // Replaces (or creates) a file beside the copy in one step: written under
    // a hidden temporary name, flushed, renamed over the old one, and the
    // folder flushed, so the name always holds either the old or the new
    // content, whole. Throws with the OS's reason; the temporary then goes.
    // named, when given, is set once the name holds the new content (the
    // folder's flush may fail after it).
    void replace(const QString &name, const QByteArray &content, bool *named = nullptr) const;
    // Opens a file beside the copy and takes the writer's lock on it, held
    // while the HeldFile lives (nothing held when it cannot be opened).
    HeldFile hold(const QString &name) const;
    // Renames a file beside the copy to a name that is free, and flushes the
    // folder; false, with nothing changed, when that name is taken. Throws.
    bool renameToFree(const QString &from, const QString &to) const;
    // Deletes a file beside the copy and flushes the folder. Throws.
    void remove(const QString &name) const;
    // Deletes what a cut left of replace(name): its temporary files, each
    // only once its lock is taken (never one a save writes now). Never throws.
    void removeTemporaries(const QString &name) const;
    // Deletes a file beside the copy when it is a regular file of at most
    // limit bytes whose content ours() calls this program's, and no copy
    // holds its lock; the lock is taken for the look and the deletion, and
    // the name checked again to hold that file. Whether it went. Throws.
    bool removeOursIfFree(const QString &name, qint64 limit, const std::function<bool(const QByteArray &)> &ours) const;

    // The copy, for writing in place; throws when it is gone or no regular file.
    PatchedFile openCopy() const;

private:
    QByteArray host(const QString &name) const;
    void flushFolder() const;

    QByteArray m_folder; // host path of the copy's folder
    QString m_driveFolder;
    QString m_copyName;
};

} // namespace rt
