#include "runtime/files/DirectReads.h"

#include "runtime/files/FileAccess.h"
#include "runtime/files/MediumSectors.h"
#include "runtime/posix/PosixIo.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <limits>
#include <unistd.h>
#include <utility>

namespace rt {

using posix::retryEintr;

namespace {

constexpr qint64 kLargestRead = 1048576;
bool s_refused = false;

bool allZeros(const char *data, qint64 size)
{
    return size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size_t(size - 1)) == 0;
}

} // namespace

DirectReads::DirectReads(const File &file, qint64 unit)
    : m_unit(unit)
    , m_chunk(std::max(kLargestRead / unit, qint64(1)) * unit)
{
    const MediumSectors sectors = mediumSectors(file.descriptor());
    if (sectors.directRefused || s_refused)
        return;
    // The same file, not whatever its name may name by now.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(file.descriptor());
    m_fd = retryEintr([&] { return ::open(self.constData(), O_RDONLY | O_DIRECT | O_CLOEXEC | O_NONBLOCK); });
    if (m_fd < 0)
        return;
    const qint64 alignment = std::max({qint64(4096), sectors.directMemory, m_unit});
    m_buffer = static_cast<char *>(std::aligned_alloc(size_t(alignment), size_t(m_chunk)));
    if (!m_buffer || !posix::blockingAgain(m_fd)) {
        posix::closeFd(std::exchange(m_fd, -1));
        std::free(std::exchange(m_buffer, nullptr));
    }
}

void setDirectAccessRefused(bool refused) { s_refused = refused; }

DirectReads::~DirectReads()
{
    posix::closeFd(m_fd);
    std::free(m_buffer);
}

template <typename Deliver>
PieceResult DirectReads::readThrough(qint64 offset, qint64 count, Deliver deliver)
{
    qint64 done = 0;
    while (done < count) {
        const qint64 at = offset + done;
        if (at < m_keptFrom || at >= m_keptTo) {
            const qint64 from = at / m_unit * m_unit;
            qint64 to = std::min((offset + count + m_unit - 1) / m_unit * m_unit, from + m_chunk);
            m_keptFrom = m_keptTo = 0;
            if (const qint64 readable = readableBytes(from, to - from); readable < to - from) {
                // A test's damaged medium: the blocks before the bad spot arrive, then it fails.
                to = from + std::max<qint64>(0, readable) / m_unit * m_unit;
                if (to == from)
                    return {done, PieceResult::Failure::Read, EIO};
            }
            const ssize_t n = retryEintr([&] { return pread(m_fd, m_buffer, size_t(to - from), from); });
            if (n < 0) {
                // The first answer tells whether the medium takes these reads
                // at all; later an EINVAL is the medium's own failure.
                if (errno == EINVAL && !m_tried) {
                    posix::closeFd(std::exchange(m_fd, -1));
                    return {0, PieceResult::Failure::Read, EINVAL};
                }
                m_tried = true;
                return {done, PieceResult::Failure::Read, errno};
            }
            m_tried = true;
            if (n % m_unit != 0 && !endsThere(from + n)) {
                // A read at the device that stops inside a sector, short of
                // the source's end, is the medium failing: the buffered path
                // would read again and see the error.
                const qint64 whole = n / m_unit * m_unit;
                if (from + whole <= at)
                    return {done, PieceResult::Failure::Read, EIO};
                m_keptFrom = from;
                m_keptTo = from + whole;
            } else if (from + n <= at) {
                break; // the source's end
            } else {
                m_keptFrom = from;
                m_keptTo = from + n;
            }
        }
        const qint64 n = std::min(m_keptTo - at, count - done);
        if (const PieceResult r = deliver(m_buffer + (at - m_keptFrom), at, n); r.failure != PieceResult::Failure::None)
            return {done + r.bytes, r.failure, r.osError};
        done += n;
    }
    return {done, PieceResult::Failure::None, 0};
}

PieceResult DirectReads::copy(qint64 offset, qint64 count, int destFd)
{
    return readThrough(offset, count, [&](const char *data, qint64 at, qint64 n) {
        // Block by block, so the data around a run of zeros is still written.
        qint64 done = 0;
        while (done < n) {
            const qint64 piece = std::min(n - done, m_unit - (at + done) % m_unit);
            if (m_holesWritten || !allZeros(data + done, piece) || !inHole(at + done, piece)) {
                const PieceResult w = Transfer::writeAll(destFd, at + done, data + done, piece);
                if (w.failure != PieceResult::Failure::None)
                    return PieceResult{done + w.bytes, w.failure, w.osError};
            }
            done += piece;
        }
        return PieceResult{n, PieceResult::Failure::None, 0};
    });
}

bool DirectReads::endsThere(qint64 at) const
{
    struct stat st {};
    return fstat(m_fd, &st) != 0 || at >= qint64(st.st_size);
}

bool DirectReads::inHole(qint64 at, qint64 n)
{
    if (at < m_holeFrom || at + n > m_holeTo) {
        const off_t data = lseek(m_fd, at, SEEK_DATA);
        if (data < 0 && errno != ENXIO)
            return false; // this file system cannot tell: all of it is data
        m_holeFrom = at;
        m_holeTo = data < 0 ? std::numeric_limits<qint64>::max() : data; // ENXIO: no data from here on
    }
    return at >= m_holeFrom && at + n <= m_holeTo;
}

PieceResult DirectReads::read(qint64 offset, qint64 count, char *buffer)
{
    return readThrough(offset, count, [&](const char *data, qint64 at, qint64 n) {
        std::memcpy(buffer + (at - offset), data, size_t(n));
        return PieceResult{n, PieceResult::Failure::None, 0};
    });
}

} // namespace rt
