#pragma once

#include "runtime/files/ReadBackPlan.h"

#include <QtGlobal>

#include <optional>
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
// stick's own cache. After the final flush, sweep() reads back what is left
// and samples spread over the whole file again (a wrapping medium overwrites
// the copy's start only as its end is written). The first sample that reads
// back wrong ends the copy: wrongAt() says where.
//
// Runs on the I/O worker; every member may wait on the medium.
class ReadBack {
public:
    static constexpr qint64 kSampleEvery = 1048576;
    static constexpr qint64 kLag = 32 * 1048576;
    static constexpr std::size_t kSweepMost = 64;

    // Looks at the medium under fd (the destination, open for writing) and
    // opens it again to read where it can be read back.
    explicit ReadBack(int fd);
    ~ReadBack();
    ReadBack(const ReadBack &) = delete;
    ReadBack &operator=(const ReadBack &) = delete;

    const ReadBackChoice &choice() const { return m_choice; }
    // After count bytes were written at offset, before they start on their
    // way to the medium: takes the piece's sample.
    void written(qint64 offset, qint64 count);
    // Reads back the samples now due. Throws RtError (EIO) when one differs.
    void checkDue();
    // After the final flush of a file of length bytes: reads back every
    // sample not yet read and samples spread over the file. Throws as checkDue.
    void sweep(qint64 length);
    // Where the medium first returned different data (the sample's start).
    std::optional<qint64> wrongAt() const { return m_wrongAt; }
    // The size of the volume, as the medium claims it.
    qint64 claimedSize() const { return m_claimed; }
    // How many samples were read back (for tests and the bench).
    qint64 readsBack() const { return m_readsBack; }
    // Closes its own descriptors; what it found stays.
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
        bool read;
    };
    // What reading the sample back gave: a failed or short read Differs;
    // Unknown when the medium would not be read past its cache.
    enum class Read { Same, Differs, Unknown };
    Read readBack(const Sample &s);
    // Reads [from, to) past the caches: where its bytes are, and how many
    // came; null when none (failed: the read itself failed).
    const char *readPastCache(qint64 from, qint64 to, qint64 &got, bool &failed);
    void check(Sample &s);
    // Keeps the list small on a huge file: every other sample already read goes.
    void thin();

    ReadBackChoice m_choice;
    int m_writeFd;
    int m_readFd = -1;   // buffered: the hashes, and the DropCache way's reads
    int m_directFd = -1; // Direct
    qint64 m_unit = 4096;
    char *m_buffer = nullptr; // aligned, 2 units
    qint64 m_claimed = 0;
    qint64 m_written = 0;
    qint64 m_sinceSample = 0;
    std::size_t m_firstUnread = 0; // samples before it have been read back
    std::vector<Sample> m_samples;
    std::optional<qint64> m_wrongAt;
    qint64 m_readsBack = 0;
};

} // namespace rt
