#pragma once

#include "runtime/files/FileAccess.h"

#include <QtGlobal>

#include <functional>
#include <utility>

// Moving a copy's bytes: the code that runs on the I/O worker.
namespace rt {

// The outcome of moving one piece: the bytes that reached the destination
// before any failure, and which side failed.
struct PieceResult {
    enum class Failure { None, Read, Write };
    qint64 bytes = 0;
    Failure failure = Failure::None;
    int osError = 0;
};

// Moves pieces between two open files at explicit offsets. The kernel copies
// when it can (copy_file_range); where the file systems refuse that, the piece
// goes through a page-aligned buffer. Runs of a sparse source that were never
// written (holes) are skipped rather than written, so the destination, emptied
// before the copy, stays as sparse as the source.
class Transfer {
public:
    static constexpr qint64 kBufferSize = 1048576;

    Transfer();
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // Copies up to count bytes; fewer only when the source ends or a side
    // fails, and then result.bytes says how many arrived.
    PieceResult copy(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset, qint64 count);
    // Writes all of data at offset, or says how much and why not.
    static PieceResult writeAll(int destFd, qint64 offset, const char *data, qint64 count);
    // Writes count zero bytes.
    static PieceResult writeZeros(int destFd, qint64 offset, qint64 count);
    // The destination holds older data where the copy writes nothing (an
    // earlier copy gone on with in place): the source's holes are written as
    // zeros there, never skipped.
    void setHolesWritten(bool written) { m_holesWritten = written; }

private:
    // The run of data at or after offset that the source reports: [first, second).
    std::pair<qint64, qint64> dataRun(const File &source, qint64 offset);
    PieceResult moveData(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset, qint64 count);
    PieceResult readWrite(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset, qint64 count);
    char *buffer();

    char *m_buffer = nullptr;
    bool m_kernelCopy = true;
    bool m_seekData = true;
    bool m_holesWritten = false;
    qint64 m_dataFrom = 0; // a run known to hold data, so most pieces ask nothing
    qint64 m_dataTo = 0;
};

// Test hooks: make chosen reads or writes fail as a damaged or full medium
// would. A copy consults them on its own thread once per read it makes, before
// any byte moves; each returns an errno for the range, or 0.
using FaultHook = std::function<int(qint64 offset, qint64 count)>;
void setReadFaultHook(FaultHook hook);
void setWriteFaultHook(FaultHook hook);
int readFault(qint64 offset, qint64 count);
int writeFault(qint64 offset, qint64 count);
// Whether either hook is set: a copy then asks them read by read.
bool faultHooked();
// A medium that fails part-way through a read: given the range one read
// system call asks for, how many bytes from its start can be read (count or
// more: all of it). The call then delivers those and the next one fails (EIO),
// as the kernel reports a failure after a partial transfer.
using ReadableHook = std::function<qint64(qint64 offset, qint64 count)>;
void setReadableHook(ReadableHook hook);
// The hook's answer for a read system call; count when no hook is set.
qint64 readableBytes(qint64 offset, qint64 count);

} // namespace rt
