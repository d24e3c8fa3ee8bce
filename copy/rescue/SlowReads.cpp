#include "copy/rescue/SlowReads.h"

#include <algorithm>
#include <vector>

namespace slowreads {

bool isSlowRead(std::span<const PieceTime> known, PieceTime piece, Judging judging)
{
    if (known.size() < kKnownPieces || piece.bytes <= 0)
        return false;
    const double took = double(piece.took.count());
    const double floor = judging == Judging::First
        ? double(kFirstFloor.count())
        : double(kProbeFloor.count()) * double(piece.bytes) / 1048576.0;
    if (took < floor)
        return false;
    std::vector<double> perByte;
    perByte.reserve(known.size());
    for (const PieceTime &k : known)
        if (k.bytes > 0)
            perByte.push_back(double(k.took.count()) / double(k.bytes));
    if (perByte.size() < kKnownPieces)
        return false;
    const auto middle = perByte.begin() + std::ptrdiff_t(perByte.size() / 2);
    std::nth_element(perByte.begin(), middle, perByte.end());
    return took >= kSlowerBy * *middle * double(piece.bytes);
}

void Pace::add(PieceTime piece)
{
    if (piece.bytes < kPacedPiece)
        return;
    m_known.push_back(piece);
    if (m_known.size() > kKept)
        m_known.erase(m_known.begin());
}

bool Pace::isSlow(PieceTime piece, Judging judging) const
{
    return isSlowRead(m_known, piece, judging);
}

} // namespace slowreads
