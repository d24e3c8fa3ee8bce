#include "runtime/files/Transfer.h"

#include "runtime/posix/PosixIo.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>
#include <utility>

namespace rt {

using posix::retryEintr;

namespace {

FaultHook s_readFault;
FaultHook s_writeFault;
ReadableHook s_readable;

} // namespace

void setReadFaultHook(FaultHook hook) { s_readFault = std::move(hook); }
void setWriteFaultHook(FaultHook hook) { s_writeFault = std::move(hook); }
void setReadableHook(ReadableHook hook) { s_readable = std::move(hook); }
qint64 readableBytes(qint64 offset, qint64 count) { return s_readable ? s_readable(offset, count) : count; }
int readFault(qint64 offset, qint64 count) { return s_readFault ? s_readFault(offset, count) : 0; }
int writeFault(qint64 offset, qint64 count) { return s_writeFault ? s_writeFault(offset, count) : 0; }
bool faultHooked() { return s_readFault || s_writeFault; }

Transfer::Transfer() = default;

Transfer::~Transfer() { std::free(m_buffer); }

char *Transfer::buffer()
{
    // Page-aligned: an unaligned buffer makes read/write about 1.4 times slower.
    // Untouched pages cost no memory, so kernel copies never grow the process.
    if (!m_buffer)
        m_buffer = static_cast<char *>(std::aligned_alloc(4096, kBufferSize));
    if (!m_buffer)
        throw RtError(7, QStringLiteral("Out of memory"));
    return m_buffer;
}

PieceResult Transfer::copy(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset,
                           qint64 count)
{
    qint64 done = 0;
    while (done < count) {
        const qint64 at = sourceOffset + done;
        const auto [dataStart, dataEnd] = dataRun(source, at);
        if (dataStart > at) {
            // A hole reads as zeros; a fresh destination already holds zeros there.
            const qint64 hole = std::min(dataStart, sourceOffset + count) - at;
            if (m_holesWritten) {
                const PieceResult w = writeZeros(destFd, destOffset + done, hole);
                if (w.failure != PieceResult::Failure::None)
                    return {done + w.bytes, w.failure, w.osError};
            }
            done += hole;
            continue;
        }
        const qint64 want = std::min(dataEnd, sourceOffset + count) - at;
        const PieceResult r = moveData(source, at, destFd, destOffset + done, want);
        done += r.bytes;
        if (r.failure != PieceResult::Failure::None)
            return {done, r.failure, r.osError};
        if (r.bytes < want)
            break; // the source has ended
    }
    return {done, PieceResult::Failure::None, 0};
}

std::pair<qint64, qint64> Transfer::dataRun(const File &source, qint64 offset)
{
    constexpr qint64 kAll = std::numeric_limits<qint64>::max();
    if (offset >= m_dataFrom && offset < m_dataTo)
        return {offset, m_dataTo};
    if (!m_seekData)
        return {offset, kAll};
    const off_t data = lseek(source.descriptor(), offset, SEEK_DATA);
    if (data < 0) {
        if (errno != ENXIO) {
            m_seekData = false; // this file system cannot tell: all of it is data
            return {offset, kAll};
        }
        // No data from here on: a hole up to the end, or the end itself, where
        // a read must say so (some files report a size of 0 and still read).
        qint64 length = 0;
        try {
            length = source.length();
        } catch (const RtError &) {
        }
        return offset < length ? std::pair{length, length} : std::pair{offset, kAll};
    }
    const off_t hole = lseek(source.descriptor(), data, SEEK_HOLE);
    m_dataFrom = data;
    m_dataTo = hole > data ? hole : kAll;
    return {data, m_dataTo};
}

PieceResult Transfer::moveData(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset,
                               qint64 count)
{
    qint64 done = 0;
    while (m_kernelCopy && done < count) {
        loff_t in = sourceOffset + done;
        loff_t out = destOffset + done;
        qint64 ask = count - done;
        if (s_readable) {
            const qint64 readable = s_readable(in, ask);
            if (readable <= 0)
                return {done, PieceResult::Failure::Read, EIO};
            ask = std::min(ask, readable);
        }
        const ssize_t n = retryEintr([&] {
            return copy_file_range(source.descriptor(), &in, destFd, &out, static_cast<size_t>(ask), 0);
        });
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0)
            break; // the end, or a file system that reports no data (as /proc does)
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP
            || errno == EBADF) {
            m_kernelCopy = false; // these file systems cannot; stay with read/write
            break;
        }
        // The kernel does not say which side failed. Reading the same bytes
        // again to find out would cost a damaged medium another slow failure,
        // so only errors that belong to writing count as the destination's.
        const int e = errno;
        const bool writeSide = e == ENOSPC || e == EDQUOT || e == EFBIG || e == EROFS;
        return {done, writeSide ? PieceResult::Failure::Write : PieceResult::Failure::Read, e};
    }
    if (done == count)
        return {done, PieceResult::Failure::None, 0};
    PieceResult rest = readWrite(source, sourceOffset + done, destFd, destOffset + done, count - done);
    rest.bytes += done;
    return rest;
}

PieceResult Transfer::readWrite(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset,
                                qint64 count)
{
    char *const buf = buffer();
    qint64 done = 0;
    while (done < count) {
        qint64 want = std::min(count - done, kBufferSize);
        if (s_readable) {
            const qint64 readable = s_readable(sourceOffset + done, want);
            if (readable <= 0)
                return {done, PieceResult::Failure::Read, EIO};
            want = std::min(want, readable);
        }
        const ssize_t n = retryEintr([&] {
            return pread(source.descriptor(), buf, static_cast<size_t>(want), sourceOffset + done);
        });
        if (n < 0)
            return {done, PieceResult::Failure::Read, errno};
        if (n == 0)
            break;
        const PieceResult written = writeAll(destFd, destOffset + done, buf, n);
        done += written.bytes;
        if (written.failure != PieceResult::Failure::None)
            return {done, written.failure, written.osError};
    }
    return {done, PieceResult::Failure::None, 0};
}

PieceResult Transfer::writeAll(int destFd, qint64 offset, const char *data, qint64 count)
{
    int error = 0;
    const qint64 done = posix::pwriteAll(destFd, data, count, offset, error);
    return {done, error ? PieceResult::Failure::Write : PieceResult::Failure::None, error};
}

PieceResult Transfer::writeZeros(int destFd, qint64 offset, qint64 count)
{
    alignas(4096) static char zeros[kBufferSize]; // never written: zeros, at no cost
    qint64 done = 0;
    while (done < count) {
        PieceResult r = writeAll(destFd, offset + done, zeros, std::min(count - done, kBufferSize));
        done += r.bytes;
        if (r.failure != PieceResult::Failure::None)
            return {done, r.failure, r.osError};
    }
    return {done, PieceResult::Failure::None, 0};
}

} // namespace rt
