#pragma once

// A generated source for the rescue benches: every 8 bytes numbered by their
// place, so any block out of place shows; written and checked a MiB at a time.

#include "support/BadMedium.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <algorithm>
#include <cstring>

namespace generated_source {

constexpr qint64 kCheckBlock = 4096;
constexpr qint64 kMiB = 1048576;

inline void fill(qint64 at, char *out, qint64 size)
{
    for (qint64 i = 0; i < size; i += 8) {
        const quint64 word = quint64(at + i) * 0x9E3779B97F4A7C15ull;
        std::memcpy(out + i, &word, size_t(std::min<qint64>(8, size - i)));
    }
}

// Writes the source at `path` unless a file of that size is already there
// (the sources are large; a second run keeps them). False when it cannot.
inline bool ensure(const QString &path, qint64 size)
{
    if (QFileInfo(path).size() == size)
        return true;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray chunk(kMiB, Qt::Uninitialized);
    for (qint64 at = 0; at < size; at += kMiB) {
        const qint64 n = std::min(kMiB, size - at);
        fill(at, chunk.data(), n);
        if (f.write(chunk.constData(), n) != n)
            return false;
    }
    return true;
}

// The 4 KiB blocks of the copy that are not the source's, where the blocks
// in `bad` are expected as zeros; a copy of the wrong size is wrong whole.
inline qint64 wrongBlocks(const QString &copyPath, qint64 size, const QList<BadMedium::Range> &bad)
{
    QFile copy(copyPath);
    if (!copy.open(QIODevice::ReadOnly) || copy.size() != size)
        return size / kCheckBlock;
    QByteArray want(kMiB, Qt::Uninitialized);
    qint64 wrong = 0;
    for (qint64 at = 0; at < size; at += kMiB) {
        const qint64 n = std::min(kMiB, size - at);
        fill(at, want.data(), n);
        for (const BadMedium::Range &r : bad)
            if (r.begin < at + n && r.end > at)
                std::memset(want.data() + std::max(r.begin, at) - at, 0, size_t(std::min(r.end, at + n) - std::max(r.begin, at)));
        const QByteArray got = copy.read(n);
        for (qint64 b = 0; b < n; b += kCheckBlock)
            wrong += got.mid(b, kCheckBlock) != want.mid(b, std::min(kCheckBlock, n - b));
    }
    return wrong;
}

} // namespace generated_source
