#pragma once

#include <QtGlobal>

#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

// When a read counts as slow: far below the pace the same copy has already
// shown. A dying disk's weak area reads, but with every sector retried inside
// the drive; the copy leaves it for last instead of crawling through it.
//
// A read is slow once at least kKnownPieces pieces have been timed at the
// copy's own pace, and it took at least kSlowerBy times what the median of
// their pace gives for its size, and at least:
//   First - a second (kFirstFloor): a read that turns a copy into a rescue;
//   Probe - a second per MiB it read (kProbeFloor): the small reads that
//           follow a slow one, as long as they stay slow.
// A medium slow everywhere (a 20 MB/s stick, a share) sets its own median and
// never falls eight times below it; neither does one whose pace varies within
// a few times (a disk's inner tracks, a stick tidying its blocks). A copy that
// starts inside a weak area has no pace to compare it with, and reads it as is.
namespace slowreads {

using Nanoseconds = std::chrono::nanoseconds;

struct PieceTime {
    qint64 bytes = 0;
    Nanoseconds took{0};
};

enum class Judging { First, Probe };

constexpr std::size_t kKnownPieces = 4;
constexpr int kSlowerBy = 8;
constexpr Nanoseconds kFirstFloor = std::chrono::seconds(1);
constexpr Nanoseconds kProbeFloor = std::chrono::seconds(1); // per 1048576 bytes
// Pieces smaller than this say more about the medium's latency than its pace.
constexpr qint64 kPacedPiece = 524288;

// Whether piece is slow against the pieces timed so far at the copy's pace.
bool isSlowRead(std::span<const PieceTime> known, PieceTime piece, Judging judging);

// The pace the copy has shown: the last pieces of at least kPacedPiece bytes
// that were not slow.
class Pace {
public:
    static constexpr std::size_t kKept = 64;
    void add(PieceTime piece);
    bool isSlow(PieceTime piece, Judging judging) const;

private:
    std::vector<PieceTime> m_known;
};

} // namespace slowreads
