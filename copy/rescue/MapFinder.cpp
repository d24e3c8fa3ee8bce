#include "copy/rescue/MapFinder.h"

#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "runtime/media/NameRules.h"
#include "runtime/text/RtError.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>
#include <tuple>

using Status = RescueMap::Status;

namespace {

// No map of a real medium comes near this; a bigger file is something else.
constexpr qint64 kMapLimit = 64 * 1048576;
// A map's comment lines and status line come within its first bytes; its
// last area's line within its last ones.
constexpr qint64 kHeadBytes = 65536;
constexpr qint64 kTailBytes = 4096;
// Room for one area's line, with blanks and a comment of ddrescue's or a user's.
constexpr qint64 kAreaLineBytes = 128;

// NAME.map, NAME.1.map ..., as mapNameFor makes them.
bool isOwnMapName(const QString &name, const QString &copyName)
{
    static const QRegularExpression tail(QStringLiteral("(\\.[1-9][0-9]*)?\\.map$"));
    const QRegularExpressionMatch m = tail.match(name);
    return m.hasMatch() && name == rt::nameWithin(copyName, m.captured(0));
}

bool isDdrescueMapName(const QString &name)
{
    const QString lower = name.toLower();
    return lower.endsWith(QStringLiteral(".map")) || lower.endsWith(QStringLiteral(".log"))
        || lower.endsWith(QStringLiteral(".mapfile")) || lower == QStringLiteral("mapfile")
        || lower == QStringLiteral("logfile");
}

// The finished blocks to compare: up to kSampleBlocks, spread evenly over the
// finished bytes (the first and the last among them), each within its area.
QList<std::pair<qint64, qint64>> sampleBlocks(const RescueMap &map, qint64 block)
{
    const qint64 finished = map.bytes(Status::Finished);
    QList<std::pair<qint64, qint64>> blocks;
    if (finished == 0)
        return blocks;
    const qint64 last = finished - 1;
    const int points = int(std::min<qint64>(kSampleBlocks, finished));
    const RescueMap::Area *area = map.findFrom(0, Status::Finished);
    qint64 before = 0; // finished bytes in the areas before `area`
    for (int i = 0; i < points; ++i) {
        // The i-th point of `points` from 0 to last, without overflowing.
        const qint64 t = points == 1 ? 0 : last / (points - 1) * i + last % (points - 1) * i / (points - 1);
        while (t >= before + area->size) {
            before += area->size;
            area = map.findFrom(area->end(), Status::Finished);
        }
        const qint64 at = area->pos + (t - before);
        const qint64 from = std::max(area->pos, at / block * block);
        const qint64 to = std::min(area->end(), at / block * block + block);
        if (blocks.isEmpty() || blocks.last().first != from)
            blocks.append({from, to - from});
    }
    return blocks;
}

std::optional<Resumable> findNow(const rt::CopyFolder &files, const rt::File &source)
{
    const qint64 length = source.length();
    std::optional<MapFile> mapFile = newestMap(files, length);
    if (!mapFile)
        return std::nullopt;
    const RescueMap &map = mapFile->map;
    rt::PatchedFile copy = files.openCopy();
    if (!lengthsFit(map, length, copy.length()))
        return std::nullopt;

    const qint64 block = source.blockSize();
    QByteArray fromSource(block, Qt::Uninitialized);
    QByteArray fromCopy(block, Qt::Uninitialized);
    const QList<std::pair<qint64, qint64>> samples = sampleBlocks(map, block);
    int compared = 0;
    for (const auto &[offset, size] : samples) {
        const rt::PieceResult a = rt::readAt(source, offset, fromSource.data(), size);
        if (a.failure != rt::PieceResult::Failure::None || a.bytes < size)
            continue; // what no longer reads proves nothing either way
        const rt::PieceResult b = copy.readAt(offset, fromCopy.data(), size);
        if (b.bytes < size || std::memcmp(fromSource.constData(), fromCopy.constData(), size_t(size)) != 0)
            return std::nullopt;
        ++compared;
    }
    if (!samples.isEmpty() && compared == 0)
        return std::nullopt;
    const qint64 unfinished = map.end() - map.bytes(Status::Finished);
    return Resumable{files, *std::move(mapFile), unfinished, compared, {}};
}

} // namespace

QString mapNameFor(const QString &copyName, int n)
{
    return rt::nameWithin(copyName, n == 0 ? QStringLiteral(".map") : QStringLiteral(".%1.map").arg(n));
}

bool lengthsFit(const RescueMap &map, qint64 sourceLength, qint64 copyLength)
{
    return map.end() == sourceLength && map.bytes(Status::Finished) < sourceLength && copyLength <= sourceLength;
}

bool commandLineNames(const QByteArray &commandLine, const QString &copyName, const QString &mapName,
                      const rt::CopyFolder &files)
{
    const QRegularExpression pair(QStringLiteral("(?:^|\\s)(\\S*/)?%1\\s+(\\S*/)?%2(?=\\s|$)")
                                      .arg(QRegularExpression::escape(copyName), QRegularExpression::escape(mapName)));
    for (auto it = pair.globalMatch(QFile::decodeName(commandLine)); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        bool here = true;
        for (int folder : {1, 2})
            if (m.captured(folder).startsWith(u'/'))
                here = here && files.isCopyFolder(QFile::encodeName(m.captured(folder)));
        if (here)
            return true;
    }
    return false;
}

std::optional<MapFile> newestMap(const rt::CopyFolder &files, qint64 sourceLength)
{
    // A map of this source has at most one area per 512-byte sector, and
    // each area's line takes a few dozen bytes: what is larger is another
    // source's, however large the file.
    const qint64 maxAreas = std::max<qint64>(1, sourceLength / 512 + (sourceLength % 512 != 0));
    const qint64 limit = std::min(kMapLimit, kHeadBytes + maxAreas * kAreaLineBytes);
    struct Candidate {
        QString name;
        QByteArray commandLine;
        QByteArray time;
        qint64 modified;
        bool thisSource; // its length and its last area's end may be this source's
        std::optional<SourceIdentity> identity;
    };
    std::vector<Candidate> candidates;
    for (const rt::CopyFolder::Entry &e : files.entries()) {
        const bool own = isOwnMapName(e.name, files.copyName());
        if (e.size > kMapLimit || (!own && !isDdrescueMapName(e.name)))
            continue;
        // Its comment lines first, from its first bytes alone.
        const std::optional<QByteArray> head = files.readPart(e.name, rt::CopyFolder::Part::First, kHeadBytes);
        if (!head)
            continue;
        const QByteArray commandLine = mapComment(*head, "Command line");
        if (!own && !commandLineNames(commandLine, files.copyName(), e.name, files))
            continue;
        bool thisSource = e.size <= limit;
        if (thisSource) {
            const std::optional<QByteArray> tail = files.readPart(e.name, rt::CopyFolder::Part::Last, kTailBytes);
            thisSource = tail && RescueMap::lastAreaEnd(*tail, e.size <= kTailBytes) == sourceLength;
        }
        candidates.push_back(
            {e.name, commandLine, mapComment(*head, "Current time"), e.modified, thisSource, sourceIdentityIn(*head)});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate &a, const Candidate &b) {
        return std::tie(a.time, a.modified) > std::tie(b.time, b.modified);
    });
    // Only the newest that reads as a map counts; it is read whole only when
    // it can be this source's.
    for (const Candidate &c : candidates) {
        if (!c.thisSource)
            return std::nullopt;
        const std::optional<QByteArray> text = files.read(c.name, limit);
        std::optional<RescueMap> map = text ? RescueMap::parse(*text, maxAreas) : std::nullopt;
        if (map)
            return MapFile{c.name, c.commandLine, c.time, *std::move(map), c.identity};
    }
    return std::nullopt;
}

std::optional<Resumable> findResumable(const QString &destination, const rt::File &source, rt::IoWorker &io)
{
    try {
        // Even resolving the drive letter asks whether the drive is ready.
        return io.run([&] { return findNow(rt::CopyFolder(destination), source); });
    } catch (const rt::RtError &) {
        return std::nullopt; // a folder, copy or source that cannot be read offers nothing
    }
}
