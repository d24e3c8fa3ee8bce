#include "runtime/files/ReadBack.h"

#include "runtime/posix/PosixIo.h"

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

// The reads past every cache: direct access, or the file's clean pages
// dropped first and the drop verified.

namespace rt {

using posix::retryEintr;

namespace {

// A direct read beside the copy's writes goes through Linux AIO: the file
// system holds the file's lock only while the read is submitted, where a
// plain pread holds it until the medium answers, and every write of the copy
// would wait for it (ext4, xfs).
ssize_t aioRead(unsigned long aio, int fd, char *buffer, size_t count, off_t at)
{
    iocb cb{};
    cb.aio_fildes = quint32(fd);
    cb.aio_lio_opcode = IOCB_CMD_PREAD;
    cb.aio_buf = quint64(quintptr(buffer));
    cb.aio_nbytes = count;
    cb.aio_offset = at;
    iocb *list[1] = {&cb};
    if (retryEintr([&] { return syscall(SYS_io_submit, aio, 1L, list); }) != 1)
        return pread(fd, buffer, count, at);
    io_event event{};
    if (retryEintr([&] { return syscall(SYS_io_getevents, aio, 1L, 1L, &event, nullptr); }) != 1)
        return -1;
    if (event.res < 0) {
        errno = int(-event.res);
        return -1;
    }
    return ssize_t(event.res);
}

} // namespace

unsigned long ReadBack::newAio()
{
    aio_context_t aio = 0;
    return syscall(SYS_io_setup, long(kMostQueued), &aio) == 0 ? aio : 0;
}

void ReadBack::endAio(unsigned long aio)
{
    if (aio)
        (void)syscall(SYS_io_destroy, aio);
}

void ReadBack::checkBatch(const std::vector<Sample> &batch, char *buffers, unsigned long aio)
{
    const qint64 room = 2 * m_unit;
    std::vector<iocb> blocks(batch.size());
    std::vector<iocb *> list;
    if (aio && choice().way == ReadBackWay::Direct && m_anyRead) {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const qint64 start = batch[i].from / m_unit * m_unit;
            const qint64 end = (batch[i].to + m_unit - 1) / m_unit * m_unit;
            iocb &cb = blocks[i];
            cb.aio_data = i;
            cb.aio_fildes = quint32(m_directFd);
            cb.aio_lio_opcode = IOCB_CMD_PREAD;
            cb.aio_buf = quint64(quintptr(buffers + qint64(i) * room));
            cb.aio_nbytes = quint64(end - start);
            cb.aio_offset = start;
            list.push_back(&cb);
        }
    }
    long submitted = list.empty() ? 0 : retryEintr([&] { return syscall(SYS_io_submit, aio, long(list.size()), list.data()); });
    std::vector<io_event> events(std::size_t(std::max(submitted, 0L)));
    for (long got = 0; got < submitted;) {
        const long n = syscall(SYS_io_getevents, aio, 1L, submitted - got, events.data() + got, nullptr);
        if (n < 0 && errno != EINTR)
            break; // the rest are read again one by one
        got += std::max(n, 0L);
    }
    std::vector<bool> same(batch.size(), false);
    for (const io_event &e : events) {
        const std::size_t i = std::size_t(e.data);
        if (i < batch.size() && e.res >= 0)
            same[i] = compare(batch[i], buffers + qint64(i) * room, ssize_t(e.res)) == Read::Same;
    }
    // What did not read back the same in the batch goes the whole way, once more.
    for (std::size_t i = 0; i < batch.size() && !wrongAt(); ++i)
        if (!same[i])
            check(batch[i], buffers + qint64(i) * room, aio);
}

ReadBack::Read ReadBack::compare(const Sample &s, const char *buffer, ssize_t n) const
{
    // A read that fails, or comes back short, did not give back what was written.
    const qint64 start = s.from / m_unit * m_unit;
    const qint64 got = std::clamp<qint64>(qint64(n) - (s.from - start), 0, s.to - s.from);
    return n >= 0 && got == s.to - s.from && XXH3_64bits(buffer + (s.from - start), size_t(got)) == s.hash
        ? Read::Same
        : Read::Differs;
}

void ReadBack::check(const Sample &s, char *buffer, unsigned long aio)
{
    if (std::lock_guard lock(m_mutex); !live(s))
        return;
    Read read = readBack(s, buffer, aio);
    if (read == Read::Differs) {
        // Before the medium is called a liar, all of the file goes to it once
        // more (an extent the file system has not yet marked as written reads
        // as zeros) and the sample is read again.
        (void)retryEintr([&] { return fdatasync(m_writeFd); });
        read = readBack(s, buffer, aio);
    }
    if (read == Read::Unknown)
        return; // the medium would not be read past its cache: nothing is claimed
    m_anyRead = true;
    if (read == Read::Same)
        return;
    // Written over since (a rescue writes some places twice), and not yet
    // told: the file's own pages, where they are still in memory, say so
    // (read directly, the medium never put them there).
    iovec v{buffer, size_t(s.to - s.from)};
    if (choice().way == ReadBackWay::Direct)
        if (const ssize_t n = preadv2(m_readFd, &v, 1, s.from, RWF_NOWAIT);
            n == s.to - s.from && XXH3_64bits(buffer, size_t(n)) != s.hash)
            return;
    std::lock_guard lock(m_mutex);
    if (!live(s))
        return; // written over while it was read
    if (!m_wrongAt || s.from < *m_wrongAt)
        m_wrongAt = s.from;
    m_changed.notify_all();
}

ReadBack::Read ReadBack::readBack(const Sample &s, char *buffer, unsigned long aio)
{
    const qint64 start = s.from / m_unit * m_unit;
    const qint64 end = (s.to + m_unit - 1) / m_unit * m_unit;
    const auto compare = [&](ssize_t n) { return this->compare(s, buffer, n); };
    const ReadBackWay way = choice().way;
    if (way == ReadBackWay::Direct) {
        const ssize_t n = aio ? aioRead(aio, m_directFd, buffer, size_t(end - start), start)
                              : retryEintr([&] { return pread(m_directFd, buffer, size_t(end - start), start); });
        if (n >= 0 || errno != EINVAL || m_anyRead)
            return compare(n);
        // The medium takes no direct reads after all: its cache is dropped instead.
        std::lock_guard lock(m_mutex);
        m_choice = {ReadBackWay::DropCache, NoReadBack::Checked};
    } else if (way != ReadBackWay::DropCache) {
        return Read::Unknown;
    }
    // Pages come in folios of up to 2 MiB, and only a whole folio is dropped.
    constexpr qint64 kFolio = 2 * 1048576;
    const qint64 dropFrom = start / kFolio * kFolio, dropTo = (end + kFolio - 1) / kFolio * kFolio;
    (void)retryEintr([&] {
        return sync_file_range(m_writeFd, dropFrom, dropTo - dropFrom,
                               SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    });
    (void)posix_fadvise(m_readFd, dropFrom, dropTo - dropFrom, POSIX_FADV_DONTNEED);
    // Whether the pages really went: a read that must not wait finds them
    // only in the cache. Where they stay, nothing of this sample is claimed,
    // and a medium where that is so from the first is not read back at all.
    iovec v{buffer, size_t(end - start)};
    if (preadv2(m_readFd, &v, 1, start, RWF_NOWAIT) > 0) {
        std::lock_guard lock(m_mutex);
        if (!m_anyRead)
            m_choice = {ReadBackWay::None, NoReadBack::Refused};
        return Read::Unknown;
    }
    return compare(retryEintr([&] { return pread(m_readFd, buffer, size_t(end - start), start); }));
}

} // namespace rt
