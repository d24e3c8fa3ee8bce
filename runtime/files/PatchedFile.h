#pragma once

#include "runtime/files/FileAccess.h"
#include "runtime/files/Transfer.h"

#include <QtGlobal>

#include <time.h>

namespace rt {

// Reads up to count bytes at offset, with as many calls as it takes; fewer
// only at the end of the file or on a failure (Failure::Read, with the errno).
PieceResult readAt(const File &file, qint64 offset, char *buffer, qint64 count);

// Opens an existing file at a host path for writing in place (flags: O_RDWR or
// O_WRONLY), never creating it. A read-only file (a rescued copy of a read-only
// source) is opened for its owner all the same: its write bit is lifted for the
// open only, so its mode stays as it was. The descriptor, or -1 with errno.
int openToPatch(const QByteArray &hostPath, int flags);

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
    int descriptor() const { return m_fd; }
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
    friend class CopyFolder;
    explicit PatchedFile(int fd, const timespec &modified);
    void restoreTime();

    int m_fd = -1;
    timespec m_modified{};
    bool m_written = false; // since the time was last given back
};

} // namespace rt
