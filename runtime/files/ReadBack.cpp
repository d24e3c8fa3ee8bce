#include "runtime/files/ReadBack.h"

#include "runtime/files/MediumSectors.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <numeric>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <QFile>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace rt {

using posix::retryEintr;

namespace {

bool s_off = false;
bool s_directRefused = false;
constexpr std::size_t kMostSamples = 16384; // 512 KiB of samples, whatever the file's size

// The size of the disk under fd as it claims it (sysfs counts 512-byte
// sectors; a partition's disk is its parent), else the volume's; 0 when
// neither tells.
qint64 claimedSizeOf(int fd)
{
    struct stat st {};
    if (fstat(fd, &st) == 0 && major(st.st_dev) != 0) {
        const QByteArray device = "/sys/dev/block/" + QByteArray::number(major(st.st_dev)) + ':'
            + QByteArray::number(minor(st.st_dev));
        const bool partition = ::access((device + "/partition").constData(), F_OK) == 0;
        QFile sectors(QString::fromLatin1(device + (partition ? "/../size" : "/size")));
        if (sectors.open(QIODevice::ReadOnly))
            if (const qint64 n = sectors.readAll().trimmed().toLongLong(); n > 0)
                return n * 512;
    }
    struct statvfs vfs {};
    return fstatvfs(fd, &vfs) == 0 ? qint64(vfs.f_blocks) * qint64(vfs.f_frsize) : 0;
}

} // namespace

void ReadBack::setOff(bool off) { s_off = off; }
void ReadBack::setDirectRefused(bool refused) { s_directRefused = refused; }

ReadBack::ReadBack(int fd) : m_writeFd(fd)
{
    ReadBackFacts facts;
    struct statfs fs {};
    if (fstatfs(fd, &fs) == 0)
        facts.fsType = qint64(fs.f_type);
    m_claimed = claimedSizeOf(fd);
    if (s_off)
        return; // m_choice: None
    // The same file, not whatever its name may name by now (it may have none).
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    m_readFd = retryEintr([&] { return ::open(self.constData(), O_RDONLY | O_CLOEXEC); });
    facts.readable = m_readFd >= 0;
    if (facts.readable) {
        facts.dropsCache = posix_fadvise(m_readFd, 0, 0, POSIX_FADV_DONTNEED) == 0;
        // Only what is asked is read: read-ahead would cost a slow stick more.
        (void)posix_fadvise(m_readFd, 0, 0, POSIX_FADV_RANDOM);
        const MediumSectors sectors = mediumSectors(fd);
        m_unit = std::max({qint64(4096), sectors.directAlignment(), sectors.directMemory});
        if (!sectors.directRefused && !s_directRefused)
            m_directFd = retryEintr([&] { return ::open(self.constData(), O_RDONLY | O_DIRECT | O_CLOEXEC); });
        facts.directOpens = m_directFd >= 0;
    }
    m_choice = readBackChoice(facts);
    if (m_choice.way != ReadBackWay::None)
        m_buffer = static_cast<char *>(std::aligned_alloc(size_t(m_unit), size_t(2 * m_unit)));
    if (!m_buffer)
        m_choice = {ReadBackWay::None, NoReadBack::Refused};
    if (m_choice.way == ReadBackWay::None)
        close();
}

ReadBack::~ReadBack()
{
    close();
    std::free(m_buffer);
}

void ReadBack::close()
{
    posix::closeFd(std::exchange(m_readFd, -1));
    posix::closeFd(std::exchange(m_directFd, -1));
}

void ReadBack::written(qint64 offset, qint64 count)
{
    if (m_choice.way == ReadBackWay::None || count <= 0 || m_readFd < 0)
        return;
    m_written += count;
    if (!takesSample(m_sinceSample, count, kSampleEvery)) {
        m_sinceSample += count;
        return;
    }
    m_sinceSample = 0;
    const ReadBackSpan span = sampleOf(offset, count, m_unit);
    // The pages are dirty, so this reads what was written, not the medium.
    const ssize_t n = retryEintr([&] { return pread(m_readFd, m_buffer, size_t(span.to - span.from), span.from); });
    if (n <= 0)
        return;
    m_samples.push_back({span.from, span.from + n, XXH3_64bits(m_buffer, size_t(n)), m_written, false});
}

void ReadBack::checkDue()
{
    while (m_firstUnread < m_samples.size() && !m_wrongAt
           && sampleDue(m_samples[m_firstUnread].writtenThen, m_written, kLag)) {
        check(m_samples[m_firstUnread]);
        ++m_firstUnread;
    }
    if (m_samples.size() > kMostSamples)
        thin();
}

void ReadBack::sweep(qint64 length)
{
    if (m_choice.way == ReadBackWay::None || m_samples.empty())
        return;
    for (; m_firstUnread < m_samples.size(); ++m_firstUnread)
        if (m_samples[m_firstUnread].to <= length)
            check(m_samples[m_firstUnread]);
    // Again over the whole file, in file order: a rescue writes backwards too.
    std::vector<std::size_t> order(m_samples.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return m_samples[a].from < m_samples[b].from; });
    for (const std::size_t pick : sweepPicks(order.size(), kSweepMost))
        if (Sample &s = m_samples[order[pick]]; s.to <= length)
            check(s);
}

void ReadBack::check(Sample &s)
{
    Read read = readBack(s);
    if (read == Read::Differs) {
        // Before the medium is called a liar, all of the file goes to it once
        // more (an extent the file system has not yet marked as written reads
        // as zeros) and the sample is read again.
        (void)retryEintr([&] { return fdatasync(m_writeFd); });
        read = readBack(s);
    }
    if (read == Read::Unknown)
        return; // the medium would not be read past its cache: nothing is claimed
    ++m_readsBack;
    s.read = true;
    if (read == Read::Same)
        return;
    m_wrongAt = s.from;
    throw RtError(ErrPathFileAccess,
                  QStringLiteral("The medium returned different data from about %1 MiB into the copy.").arg(mibInto(s.from)),
                  EIO);
}

ReadBack::Read ReadBack::readBack(const Sample &s)
{
    qint64 got = 0;
    bool failed = false;
    const char *data = readPastCache(s.from, s.to, got, failed);
    if (!data && !failed)
        return Read::Unknown;
    // A read that fails, or comes back short, did not give back what was written.
    return data && got == s.to - s.from && XXH3_64bits(data, size_t(got)) == s.hash ? Read::Same : Read::Differs;
}

const char *ReadBack::readPastCache(qint64 from, qint64 to, qint64 &got, bool &failed)
{
    const qint64 start = from / m_unit * m_unit;
    const qint64 end = (to + m_unit - 1) / m_unit * m_unit;
    const auto deliver = [&](ssize_t n) -> const char * {
        got = std::clamp<qint64>(qint64(n) - (from - start), 0, to - from);
        failed = n < 0;
        return n < 0 ? nullptr : m_buffer + (from - start);
    };
    if (m_choice.way == ReadBackWay::Direct) {
        const ssize_t n = retryEintr([&] { return pread(m_directFd, m_buffer, size_t(end - start), start); });
        if (n >= 0 || errno != EINVAL || m_readsBack > 0)
            return deliver(n);
        // The medium takes no direct reads after all: drop the cache instead.
        posix::closeFd(std::exchange(m_directFd, -1));
        m_choice = {ReadBackWay::DropCache, NoReadBack::Checked};
    }
    if (m_choice.way != ReadBackWay::DropCache)
        return nullptr;
    // Pages come in folios of up to 2 MiB, and only a whole folio is dropped.
    constexpr qint64 kFolio = 2 * 1048576;
    const qint64 dropFrom = start / kFolio * kFolio, dropTo = (end + kFolio - 1) / kFolio * kFolio;
    (void)retryEintr([&] {
        return sync_file_range(m_writeFd, dropFrom, dropTo - dropFrom,
                               SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    });
    (void)posix_fadvise(m_readFd, dropFrom, dropTo - dropFrom, POSIX_FADV_DONTNEED);
    // Whether the pages really went: a read that must not wait finds them
    // only in the cache. Where they stay, nothing of this sample is claimed.
    iovec v{m_buffer, size_t(end - start)};
    const ssize_t cached = preadv2(m_readFd, &v, 1, start, RWF_NOWAIT);
    if (cached > 0) {
        if (m_readsBack == 0) {
            close();
            m_choice = {ReadBackWay::None, NoReadBack::Refused};
        }
        return nullptr;
    }
    return deliver(retryEintr([&] { return pread(m_readFd, m_buffer, size_t(end - start), start); }));
}

void ReadBack::thin()
{
    // Every other sample already read back goes (never the first): the
    // sweep still finds them spread over the whole file.
    std::vector<Sample> kept;
    kept.reserve(m_samples.size());
    std::size_t firstUnread = 0;
    for (std::size_t i = 0; i < m_samples.size(); ++i) {
        if (i < m_firstUnread && i % 2 == 1)
            continue;
        if (i == m_firstUnread)
            firstUnread = kept.size();
        kept.push_back(m_samples[i]);
    }
    if (m_firstUnread >= m_samples.size())
        firstUnread = kept.size();
    m_samples = std::move(kept);
    m_firstUnread = firstUnread;
}

} // namespace rt
