#include "runtime/files/ReadBack.h"

#include "runtime/files/MediumSectors.h"
#include "runtime/posix/PosixIo.h"
#include "runtime/text/RtError.h"

#include <QFile>

#include <xxhash.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

// The samples, their hand-over to the reader and the sweep; the reads
// themselves are in ReadBackReads.cpp.

namespace rt {

using posix::retryEintr;

namespace {

bool s_off = false;
bool s_directRefused = false;
constexpr std::size_t kMostSamples = 16384; // 512 KiB of samples, whatever the file's size
constexpr std::size_t kSweepThreads = 16;   // a disk answers several reads at once

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
        m_buffer = newBuffer();
    if (!m_buffer)
        m_choice = {ReadBackWay::None, NoReadBack::Refused};
    if (m_choice.way == ReadBackWay::None) {
        close();
        return;
    }
    m_reader = std::thread([this] { readerLoop(); });
}

ReadBack::~ReadBack()
{
    close();
    std::free(m_buffer);
}

char *ReadBack::newBuffer() const { return static_cast<char *>(std::aligned_alloc(size_t(m_unit), size_t(2 * m_unit))); }

ReadBackChoice ReadBack::choice() const
{
    std::lock_guard lock(m_mutex);
    return m_choice;
}

std::optional<qint64> ReadBack::wrongAt() const
{
    std::lock_guard lock(m_mutex);
    return m_wrongAt;
}

void ReadBack::stopReader()
{
    if (!m_reader.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_reader.join();
}

void ReadBack::close()
{
    stopReader();
    posix::closeFd(std::exchange(m_readFd, -1));
    posix::closeFd(std::exchange(m_directFd, -1));
}

void ReadBack::written(qint64 offset, qint64 count)
{
    if (m_readFd < 0 || count <= 0 || choice().way == ReadBackWay::None)
        return;
    m_written += count;
    if (offset < m_highest) {
        // Written over: what a sample there was taken from is gone.
        std::lock_guard lock(m_mutex);
        for (auto it = m_live.lower_bound(offset - 2 * m_unit); it != m_live.end() && it->first < offset + count;)
            it = it->second.first > offset ? m_live.erase(it) : std::next(it);
    }
    m_highest = std::max(m_highest, offset + count);
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
    m_samples.push_back({span.from, span.from + n, XXH3_64bits(m_buffer, size_t(n)), m_written});
    std::lock_guard lock(m_mutex);
    m_live[span.from] = {span.from + n, m_written};
}

bool ReadBack::live(const Sample &s) const
{
    const auto it = m_live.find(s.from);
    return it != m_live.end() && it->second.second == s.writtenThen;
}

void ReadBack::throwIfWrong() const
{
    if (const std::optional<qint64> at = wrongAt())
        throw RtError(ErrPathFileAccess,
                      QStringLiteral("The medium returned different data from about %1 MB into the copy.").arg(mibInto(*at)),
                      EIO);
}

void ReadBack::checkDue()
{
    throwIfWrong();
    if (!m_reader.joinable())
        return;
    {
        std::unique_lock lock(m_mutex);
        while (m_firstUnread < m_samples.size() && sampleDue(m_samples[m_firstUnread].writtenThen, m_written, kLag))
            m_queue.push_back(m_samples[m_firstUnread++]);
        m_changed.notify_all();
        // A slow reader holds the copy back, so a lying medium is still caught early.
        m_changed.wait(lock, [this] { return m_queue.size() <= kMostQueued || m_wrongAt; });
    }
    if (m_samples.size() > kMostSamples)
        thin();
    throwIfWrong();
}

void ReadBack::readerLoop()
{
    // Buffers for a batch: the samples due are read together, so a disk that
    // answers each read in a millisecond still keeps up with a fast copy.
    char *const buffers = static_cast<char *>(std::aligned_alloc(size_t(m_unit), size_t(2 * m_unit) * kMostQueued));
    const unsigned long aio = newAio();
    std::vector<Sample> batch;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_stop || !buffers)
            break;
        batch.clear();
        while (!m_queue.empty() && batch.size() < kMostQueued) {
            batch.push_back(m_queue.front());
            m_queue.pop_front();
        }
        m_reading = true;
        lock.unlock();
        if (!wrongAt())
            checkBatch(batch, buffers, aio);
        lock.lock();
        m_reading = false;
        m_changed.notify_all();
    }
    lock.unlock();
    endAio(aio);
    std::free(buffers);
}

void ReadBack::sweep(qint64 length)
{
    if (m_samples.empty() || choice().way == ReadBackWay::None)
        return;
    // What the reader has not yet taken is read with the rest, several at once.
    std::vector<Sample> sweep;
    {
        std::unique_lock lock(m_mutex);
        sweep.assign(m_queue.begin(), m_queue.end());
        m_queue.clear();
        m_changed.wait(lock, [this] { return !m_reading || m_wrongAt; });
    }
    throwIfWrong();
    sweep.insert(sweep.end(), m_samples.begin() + qsizetype(m_firstUnread), m_samples.end());
    m_firstUnread = m_samples.size();
    // Again over the whole file, in file order: a rescue writes backwards too.
    std::vector<std::size_t> order(m_samples.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return m_samples[a].from < m_samples[b].from; });
    for (const std::size_t pick : sweepPicks(order.size(), kSweepMost))
        sweep.push_back(m_samples[order[pick]]);
    std::erase_if(sweep, [length](const Sample &s) { return s.to > length; });
    checkAll(sweep);
    throwIfWrong();
}

void ReadBack::checkAll(const std::vector<Sample> &samples)
{
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        char *const buffer = newBuffer();
        for (std::size_t i; buffer && (i = next++) < samples.size() && !wrongAt();)
            check(samples[i], buffer);
        std::free(buffer);
    };
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < std::min(kSweepThreads, samples.size()); ++t)
        threads.emplace_back(work);
    work();
    for (std::thread &t : threads)
        t.join();
}

void ReadBack::thin()
{
    std::vector<Sample> kept;
    kept.reserve(m_samples.size());
    std::size_t firstUnread = 0;
    for (std::size_t i = 0; i < m_samples.size(); ++i) {
        if (i < m_firstUnread && i % 2 == 1) {
            std::lock_guard lock(m_mutex);
            if (live(m_samples[i]))
                m_live.erase(m_samples[i].from);
            continue;
        }
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
