#pragma once

#include "runtime/files/ReadBackPlan.h"

#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace rt {

// A copy's read-back: the data written is read again from the medium itself,
// past the page cache, and compared with what was written. Some media take
// data and lose it (counterfeit sticks past their real size drop it or store
// it again from their start; a dying one in places), while the page cache
// keeps handing back what was written.
//
// As each piece is written, an xxHash (XXH3) of its sample is taken from the
// file's pages while they are still dirty, so the hash is of what was
// written. A sample is read back once kLag more bytes have been written: it
// is then on the medium (the write-behind waits a few MiB back) and beyond a
// stick's own cache. The reads run on a thread of their own, beside the
// copy's writes, so a disk's latency is not added to every piece; the copy
// waits only when they fall kMostQueued behind. After the final flush,
// sweep() reads back what is left and samples spread over the whole file
// again (a wrapping medium overwrites the copy's start only as its end is
// written), several at once. The first sample that reads back wrong ends the
// copy: wrongAt() says where.
//
// Called on the I/O worker; every member may wait on the medium.
class ReadBack {
public:
    static constexpr qint64 kSampleEvery = 1048576;
    static constexpr qint64 kLag = 32 * 1048576;
    static constexpr std::size_t kSweepMost = 64;
    static constexpr std::size_t kMostQueued = 16;

    // Looks at the medium under fd (the destination, open for writing) and
    // opens it again to read where it can be read back.
    explicit ReadBack(int fd);
    ~ReadBack();
    ReadBack(const ReadBack &) = delete;
    ReadBack &operator=(const ReadBack &) = delete;

    ReadBackChoice choice() const;
    // After count bytes were written at offset, before they start on their
    // way to the medium: takes the piece's sample.
    void written(qint64 offset, qint64 count);
    // Hands the samples now due to the reader. Throws RtError (EIO) once one
    // has read back wrong.
    void checkDue();
    // After the final flush of a file of length bytes: reads back every
    // sample not yet read and samples spread over the file. Throws as checkDue.
    void sweep(qint64 length);
    // Where the medium first returned different data (the sample's start).
    std::optional<qint64> wrongAt() const;
    // The size of the disk (or else the volume) as the medium claims it.
    qint64 claimedSize() const { return m_claimed; }
    // Closes its own descriptors, once the reader has stopped; what it found stays.
    void close();

    // Bench hook: nothing is read back (the bench's "before").
    static void setOff(bool off);
    // Test hook: direct access refused, so the cache is dropped instead.
    static void setDirectRefused(bool refused);

private:
    struct Sample {
        qint64 from;
        qint64 to;
        quint64 hash;
        qint64 writtenThen; // bytes written by the copy when it was taken
    };
    enum class Read { Same, Differs, Unknown };
    // Reads the sample back past every cache, into buffer (2 units, aligned);
    // a failed or short read Differs; Unknown when the medium would not be
    // read past its cache. Any thread; aio: a Linux AIO context of the
    // thread's own, or 0 (see ReadBackReads.cpp).
    Read readBack(const Sample &s, char *buffer, unsigned long aio);
    // What a read of n bytes into buffer, from the sample's first unit on, gave.
    Read compare(const Sample &s, const char *buffer, ssize_t n) const;
    // readBack, and once more after all of the file is flushed before the
    // medium is called a liar; files a difference. Any thread.
    void check(const Sample &s, char *buffer, unsigned long aio = 0);
    // Reads a batch of samples (at most kMostQueued) at once where the
    // medium is read directly through AIO, else one after another; buffers:
    // 2 units for each.
    void checkBatch(const std::vector<Sample> &batch, char *buffers, unsigned long aio);
    void readerLoop();
    // A Linux AIO context for kMostQueued reads, 0 where there is none.
    static unsigned long newAio();
    static void endAio(unsigned long aio);
    void stopReader();
    // Reads samples several at once, each on one of a few threads.
    void checkAll(const std::vector<Sample> &samples);
    void throwIfWrong() const;
    char *newBuffer() const;
    // Whether the sample still stands for what is in the file: no later
    // write has covered it (a rescue writes some places twice). Under m_mutex.
    bool live(const Sample &s) const;
    // Keeps the list small on a huge file: every other sample already handed
    // to the reader goes (never the first).
    void thin();

    ReadBackChoice m_choice;
    int m_writeFd;
    int m_readFd = -1;   // buffered: the hashes, and the DropCache way's reads
    int m_directFd = -1; // Direct
    qint64 m_unit = 4096;
    char *m_buffer = nullptr; // the worker's
    qint64 m_claimed = 0;
    qint64 m_written = 0;
    qint64 m_sinceSample = 0;
    qint64 m_highest = 0; // the end of the furthest write
    std::size_t m_firstUnread = 0; // samples before it have gone to the reader
    std::vector<Sample> m_samples;
    std::atomic<bool> m_anyRead{false};

    mutable std::mutex m_mutex; // guards what follows, and m_choice once the reader runs
    std::condition_variable m_changed;
    std::deque<Sample> m_queue;
    bool m_reading = false; // the reader holds a sample
    bool m_stop = false;
    std::optional<qint64> m_wrongAt;
    std::map<qint64, std::pair<qint64, qint64>> m_live; // from -> to, writtenThen of the sample there
    std::thread m_reader;
};

} // namespace rt
