#pragma once

#include <QtGlobal>

#include <cstddef>
#include <vector>

namespace rt {

// What a copy's read-back decides, as pure functions of gathered facts: how
// the medium can be read past every cache, which bytes are sampled, and when
// a sample is read back. ReadBack gathers the facts and does the reads.

// How the data written is read again from the medium itself.
enum class ReadBackWay {
    Direct,    // O_DIRECT: every read reaches the device
    DropCache, // the file's clean pages dropped (POSIX_FADV_DONTNEED), then read
    None,      // nothing is read back (see NoReadBack)
};
// Why nothing is read back.
enum class NoReadBack {
    Checked,       // not so: it is read back
    Memory,        // tmpfs, ramfs: the medium is the memory itself
    CachedBeyond,  // FUSE and network file systems: a cache of their own answers, out of reach
    Refused,       // neither direct access nor dropping the cache, nor even reading the file
};
struct ReadBackFacts {
    qint64 fsType = 0;        // statfs' f_type
    bool directOpens = false; // the file opens again with O_DIRECT
    bool readable = false;    // the file opens again for reading
    bool dropsCache = false;  // posix_fadvise(POSIX_FADV_DONTNEED) is taken
};
struct ReadBackChoice {
    ReadBackWay way = ReadBackWay::None;
    NoReadBack why = NoReadBack::Checked;
};
ReadBackChoice readBackChoice(const ReadBackFacts &facts);

// A run of the file [from, to).
struct ReadBackSpan {
    qint64 from = 0;
    qint64 to = 0;
    bool operator==(const ReadBackSpan &) const = default;
};
// The sampled bytes of a piece written at [offset, offset + count): one
// block of unit bytes (a power of two), aligned, at a place that depends on
// the offset (never always the piece's start, which a medium that stores
// only some of each region would pass), within the piece; the whole piece
// when it is smaller than a block.
ReadBackSpan sampleOf(qint64 offset, qint64 count, qint64 unit);
// Whether a write of count bytes, sinceSample bytes after the last sample
// was taken, takes a sample: about one per every bytes written, a piece of
// every bytes or more always.
bool takesSample(qint64 sinceSample, qint64 count, qint64 every);
// Whether a sample taken when writtenThen bytes had been written is read
// back now that written have been: once lag more bytes have been written,
// it is on the medium and out of reach of a medium's own small cache.
bool sampleDue(qint64 writtenThen, qint64 written, qint64 lag);
// Which of count samples, in file order, the final sweep reads again: at
// most `most`, spread evenly, the first and the last always among them.
std::vector<std::size_t> sweepPicks(std::size_t count, std::size_t most);
// "about N MiB into the copy": the MiB in which offset lies, counting from 0.
qint64 mibInto(qint64 offset);

} // namespace rt
