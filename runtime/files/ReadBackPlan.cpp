#include "runtime/files/ReadBackPlan.h"

#include <algorithm>

namespace rt {

namespace {

// statfs(2) magic numbers.
constexpr qint64 kTmpfs = 0x01021994;
constexpr qint64 kRamfs = 0x858458f6;
constexpr qint64 kFuse = 0x65735546;
constexpr qint64 kCachedBeyond[] = {
    kFuse,
    0x6969,                  // NFS
    0x517b,                  // SMB
    qint64(0xff534d42),      // CIFS
    qint64(0xfe534d42),      // SMB2
    0x01021997,              // 9p
    0x00c36400,              // Ceph
    0x5346414f,              // AFS
    0x73757245,              // Coda
};

} // namespace

ReadBackChoice readBackChoice(const ReadBackFacts &facts)
{
    if (facts.fsType == kTmpfs || facts.fsType == kRamfs)
        return {ReadBackWay::None, NoReadBack::Memory};
    if (std::find(std::begin(kCachedBeyond), std::end(kCachedBeyond), facts.fsType) != std::end(kCachedBeyond))
        return {ReadBackWay::None, NoReadBack::CachedBeyond};
    if (facts.directOpens)
        return {ReadBackWay::Direct, NoReadBack::Checked};
    if (facts.readable && facts.dropsCache)
        return {ReadBackWay::DropCache, NoReadBack::Checked};
    return {ReadBackWay::None, NoReadBack::Refused};
}

ReadBackSpan sampleOf(qint64 offset, qint64 count, qint64 unit)
{
    if (count <= 0)
        return {offset, offset};
    const qint64 firstBlock = (offset + unit - 1) / unit;
    const qint64 endBlock = (offset + count) / unit;
    if (endBlock <= firstBlock) // no whole block inside: the piece itself
        return {offset, offset + std::min(count, unit)};
    // A mix of the offset (splitmix64's), so neighbouring pieces sample apart.
    quint64 z = quint64(offset) + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    const qint64 block = firstBlock + qint64(z % quint64(endBlock - firstBlock));
    return {block * unit, (block + 1) * unit};
}

bool takesSample(qint64 sinceSample, qint64 count, qint64 every)
{
    return count > 0 && (count >= every || sinceSample + count >= every);
}

bool sampleDue(qint64 writtenThen, qint64 written, qint64 lag) { return written - writtenThen >= lag; }

std::vector<std::size_t> sweepPicks(std::size_t count, std::size_t most)
{
    std::vector<std::size_t> picks;
    if (count == 0 || most == 0)
        return picks;
    if (count <= most || most == 1) {
        for (std::size_t i = 0; i < std::min(count, most); ++i)
            picks.push_back(i);
        return picks;
    }
    for (std::size_t k = 0; k < most; ++k)
        picks.push_back(k * (count - 1) / (most - 1));
    return picks;
}

qint64 mibInto(qint64 offset) { return offset / 1048576; }

} // namespace rt
