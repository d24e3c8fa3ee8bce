#pragma once

#include "runtime/files/Transfer.h"

#include <QtGlobal>

namespace rt {

class File;

// Reads of an open file with direct access (O_DIRECT, pread into an aligned
// buffer): each read reaches the device as asked, with no read-ahead and no
// page cache, so a bad sector costs one failing read and a failure never
// takes readable neighbours with it. Any piece is read as whole aligned
// blocks of the unit, and only its own bytes are delivered; the last block
// read is kept, so the small pieces of a file's tail cost one read per block.
// Every member may wait on the medium.
class DirectReads {
public:
    // Opens the file again with direct access; refused() where the medium
    // takes none (statx says so, or the open fails).
    DirectReads(const File &file, qint64 unit);
    ~DirectReads();
    DirectReads(const DirectReads &) = delete;
    DirectReads &operator=(const DirectReads &) = delete;

    // Whether the medium refuses direct access: reads then belong to the
    // buffered path. Also set by a first read answered EINVAL (an alignment
    // the medium does not take), which then delivered nothing.
    bool refused() const { return m_fd < 0; }
    // As Transfer::copy: up to count bytes at offset to the same offset of
    // destFd; a block in a hole of the source is not written (the destination
    // holds zeros there, and a hole stays a hole).
    PieceResult copy(qint64 offset, qint64 count, int destFd);
    // The destination holds older data where nothing is written: every
    // block is written, holes of the source too (as Transfer's).
    void setHolesWritten(bool written) { m_holesWritten = written; }
    // Up to count bytes at offset into buffer.
    PieceResult read(qint64 offset, qint64 count, char *buffer);

private:
    template <typename Deliver>
    PieceResult readThrough(qint64 offset, qint64 count, Deliver deliver);
    // Whether [at, at + n) lies in a hole of the source; asked only of blocks
    // that read as zeros.
    bool inHole(qint64 at, qint64 n);
    // Whether the source ends at or before at (a short read there is its end).
    bool endsThere(qint64 at) const;

    int m_fd = -1;
    qint64 m_unit;
    qint64 m_chunk;
    char *m_buffer = nullptr;
    bool m_holesWritten = false;
    bool m_tried = false;  // a read has been answered by the medium
    qint64 m_keptFrom = 0; // the bytes of the last read, still in the buffer
    qint64 m_keptTo = 0;
    qint64 m_holeFrom = 0; // the last hole found
    qint64 m_holeTo = 0;
};

// Test hook: every medium refuses direct access (as iso9660 and some FUSE
// drivers do), so the buffered way is taken on a disk that would allow it.
void setDirectAccessRefused(bool refused);

} // namespace rt
