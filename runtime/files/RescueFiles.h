#pragma once

#include "runtime/files/FileAccess.h"
#include "runtime/files/Transfer.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>
#include <time.h>

// The files of an earlier rescue, for going on with it: the copy, written in
// place at chosen offsets, and the maps beside it.
namespace rt {

// Reads up to count bytes at offset, with as many calls as it takes; fewer
// only at the end of the file or on a failure (Failure::Read, with the errno).
PieceResult readAt(const File &file, qint64 offset, char *buffer, qint64 count);

// An existing copy opened for reading and writing in place: never created,
// never truncated, and only the bytes written change. Its modification time is
// given back after every flush and at the close, and its mode is never
// touched, so the copy keeps what the first copy set. Closed when destroyed.
class PatchedFile {
public:
    PatchedFile() = default;
    PatchedFile(PatchedFile &&other) noexcept;
    PatchedFile &operator=(PatchedFile &&other) noexcept;
    PatchedFile(const PatchedFile &) = delete;
    PatchedFile &operator=(const PatchedFile &) = delete;
    ~PatchedFile();

    bool isOpen() const { return m_fd >= 0; }
    qint64 length() const;
    PieceResult readAt(qint64 offset, char *buffer, qint64 count) const;
    // Writes all count bytes at offset (Failure::Write, with the errno, when not).
    PieceResult writeAt(qint64 offset, const char *data, qint64 count);
    // Puts what was written on the medium (fdatasync) and gives the file back
    // its modification time. Throws with the OS's reason.
    void flush();
    // Gives back the modification time and closes; 0, or the errno of a close
    // that reported a late write failure.
    int close();

private:
    friend class RescueFiles;
    explicit PatchedFile(int fd, const timespec &modified);
    void restoreTime();

    int m_fd = -1;
    timespec m_modified{};
    bool m_written = false; // since the time was last given back
};

// A copy and its folder. Making one resolves the drive-letter path, which asks
// whether the drive is ready; that and every member may wait on the medium
// and belong on the I/O worker. Names are plain file names in the copy's folder.
class RescueFiles {
public:
    // Throws RtError 68 or 76 as Drives::toHost does.
    explicit RescueFiles(const QString &copyDrivePath);

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
    // Whether a host folder (an absolute path written in a map) is the copy's folder.
    bool isCopyFolder(const QByteArray &hostFolder) const;

    // Replaces (or creates) a file beside the copy in one step: written under
    // a hidden temporary name, flushed, renamed over the old one, and the
    // folder flushed, so the name always holds either the old or the new
    // content, whole. Throws with the OS's reason; the temporary then goes.
    void replace(const QString &name, const QByteArray &content) const;
    // Deletes a file beside the copy and flushes the folder. Throws.
    void remove(const QString &name) const;

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
