#include "runtime/files/WriteBehind.h"

#include "runtime/posix/PosixIo.h"

#include <cerrno>
#include <fcntl.h>

namespace rt {

using posix::raiseErrno;
using posix::retryEintr;

void WriteBehind::written(int fd, qint64 offset, qint64 count)
{
    if (!m_works || count <= 0)
        return;
    // Small pieces (a file's tail, single blocks) are not started one by one:
    // each would send its page to the medium again. They go with the wait below
    // or the final flush.
    constexpr qint64 kStartAtOnce = 65536;
    int rc = 0;
    if (count >= kStartAtOnce) {
        rc = retryEintr([&] { return sync_file_range(fd, offset, count, SYNC_FILE_RANGE_WRITE); });
    }
    if (rc == 0) {
        // Small pieces next to each other go as one range, either way: trimming
        // and backward passes write single blocks downward.
        Range *last = m_pending.empty() || m_pending.back().count >= kStartAtOnce ? nullptr : &m_pending.back();
        if (last && last->offset + last->count == offset) {
            last->count += count;
        } else if (last && offset + count == last->offset) {
            last->offset = offset;
            last->count += count;
        } else {
            m_pending.push_back({offset, count});
        }
        m_pendingBytes += count;
    }
    while (rc == 0 && m_pendingBytes > kLimit) {
        const Range r = m_pending.front();
        m_pending.pop_front();
        m_pendingBytes -= r.count;
        rc = retryEintr([&] {
            return sync_file_range(fd, r.offset, r.count,
                                   SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        });
    }
    if (rc == 0)
        return;
    if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP) {
        // A file system that cannot: the final flush does it all.
        m_works = false;
        clear();
        return;
    }
    raiseErrno();
}

void WriteBehind::clear()
{
    m_pending.clear();
    m_pendingBytes = 0;
}

} // namespace rt
