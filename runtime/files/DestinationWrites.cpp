#include "runtime/files/Destination.h"

#include "runtime/posix/PosixIo.h"

#include <cerrno>
#include <memory>

// A copy's way to the medium: the write-behind after each piece, the final
// flush, and the read-back of both (ReadBack).

namespace rt {

using posix::raise;

void Destination::writeBehind(qint64 offset, qint64 count)
{
    m_flushed = false;
    if (m_fd < 0)
        return;
    if (!m_readBack)
        m_readBack = std::make_unique<ReadBack>(m_fd);
    m_readBack->written(offset, count); // while the piece's pages are still dirty
    m_writeBehind.written(m_fd, offset, count);
    m_readBack->checkDue();
}

void Destination::flush(qint64 length)
{
    if (m_fd < 0 || m_kind == Kind::None)
        raise(EBADF);
    if (m_flushed && m_flushedLength == length)
        return;
    truncateTo(m_fd, length);
    syncData();
    if (m_readBack) // before the name is taken: an old file under it stays
        m_readBack->sweep(length);
    m_flushed = true;
    m_flushedLength = length;
}

} // namespace rt
