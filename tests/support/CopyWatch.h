#pragma once

#include "runtime/files/FileAccess.h"
#include "runtime/files/Transfer.h"
#include "support/FormFixture.h"

#include <QFile>
#include <QLocale>
#include <QMetaObject>
#include <QSet>
#include <QThreadPool>

#include <algorithm>
#include <dirent.h>
#include <functional>
#include <latch>
#include <memory>

// Helpers for driving whole copies through the window: what a copy is expected
// to do, worked out independently of the engine, and a recorder of what it did.
namespace copytest {

constexpr qint64 kLargePiece = 1048576;
constexpr qint64 kSmallPiece = 1024;

const QString kCompleted = QStringLiteral("File Copy Completed.");
const QString kTalmo = QStringLiteral("Talmo");
const QString kSelectionTitle = QStringLiteral("Source/Dest Error.");

// num / den rounded to the nearest whole number, a half going to the even one;
// exact, so it serves as a reference for the engine's double arithmetic.
inline qint64 divHalfEven(qint64 num, qint64 den)
{
    const qint64 q = num / den;
    const qint64 twice = 2 * (num % den);
    if (twice > den || (twice == den && (q & 1)))
        return q + 1;
    return q;
}

// The bar's value for a position: the quotient times 100 rounded to two
// decimals, then to a whole number, halves to even both times, at most 100.
inline int expectedPercent(qint64 position, qint64 length)
{
    const qint64 hundredths = divHalfEven(position * 10000, length);
    return int(std::min<qint64>(100, divHalfEven(hundredths, 100)));
}

// "1.18 MB": megabytes to two decimals, half to even, no trailing zeros.
inline QString expectedMegabytes(qint64 bytes)
{
    const qint64 hundredths = divHalfEven(bytes * 100, kLargePiece);
    QString text = QString::number(hundredths / 100);
    if (const qint64 fraction = hundredths % 100) {
        QString digits = QStringLiteral("%1").arg(fraction, 2, 10, QLatin1Char('0'));
        if (digits.endsWith(u'0'))
            digits.chop(1);
        text += QLocale().decimalPoint() + digits;
    }
    return text + QStringLiteral(" MB");
}

// One piece as the copy should run it: the range it reads and the position
// (the same in both files) once it is done.
struct Piece {
    qint64 offset;
    qint64 count;
    qint64 after;
};

// The pieces of a clean copy of a file of the given size: 1048576 bytes while
// that many remain, then 1024; a piece that ends short ends the copy.
inline QList<Piece> expectedPieces(qint64 size)
{
    QList<Piece> pieces;
    qint64 position = 0;
    bool small = false;
    for (;;) {
        small = small || size - position < kLargePiece;
        const qint64 count = small ? kSmallPiece : kLargePiece;
        const qint64 bytes = std::min(count, size - position);
        pieces.append({position, count, position + bytes});
        position += bytes;
        if (bytes < count)
            break;
    }
    return pieces;
}

// A value as it was set, with the number of the piece (from 1) that set it.
template <typename T>
struct Set {
    int piece;
    T value;
    bool operator==(const Set &o) const { return piece == o.piece && value == o.value; }
};

template <typename T>
inline char *toString(const Set<T> &s)
{
    return QTest::toString(QStringLiteral("piece %1: %2").arg(s.piece).arg(s.value));
}

// The values the window should be given over a whole copy, each only when it
// changes (the bar starts at 0, the captions empty).
struct Progress {
    QList<Set<int>> bar;
    QList<Set<QString>> copied;
    QList<Set<QString>> inputLoc;
};

inline Progress expectedProgress(const QList<Piece> &pieces, qint64 length)
{
    Progress d;
    int bar = 0;
    QString copied, inputLoc;
    for (int i = 0; i < pieces.size(); ++i) {
        const qint64 at = pieces[i].after;
        if (length > 0 && expectedPercent(at, length) != bar) {
            bar = expectedPercent(at, length);
            d.bar.append({i + 1, bar});
        }
        if (expectedMegabytes(at) != copied) {
            copied = expectedMegabytes(at);
            d.copied.append({i + 1, copied});
        }
        if (QString::number(at) != inputLoc) {
            inputLoc = QString::number(at);
            d.inputLoc.append({i + 1, inputLoc});
        }
    }
    return d;
}

// Records a running copy: every piece it reads (through the runtime's read
// hook, which can also make chosen reads fail) and every value the window
// shows, numbered by piece. onRead runs inside a piece, before its bytes move,
// so whatever it posts is handled in that piece's yield.
class CopyWatch {
public:
    struct Read {
        qint64 offset;
        qint64 count;
        bool operator==(const Read &o) const { return offset == o.offset && count == o.count; }
    };

    explicit CopyWatch(MyFormControls &c)
    {
        rt::setReadFaultHook([this](qint64 offset, qint64 count) {
            reads.append({offset, count});
            // What was posted during the last piece must have been handled by now.
            if (yields != reads.size() - 1)
                yieldedAfterEveryPiece = false;
            QMetaObject::invokeMethod(&m_context, [this] { ++yields; }, Qt::QueuedConnection);
            if (onRead)
                onRead(offset, count);
            return unreadable.contains(offset) ? readError : 0;
        });
        m_connections.append(QObject::connect(c.KorBar, &rt::ProgressBar::barValueSet, c.KorBar,
                                              [this](int v) { shown.bar.append({int(reads.size()), v}); }));
        m_connections.append(QObject::connect(c.lblCopied, &rt::Label::captionSet, c.lblCopied,
                                              [this](const QString &s) { shown.copied.append({int(reads.size()), s}); }));
        m_connections.append(QObject::connect(c.lblInputLoc, &rt::Label::captionSet, c.lblInputLoc,
                                              [this](const QString &s) { shown.inputLoc.append({int(reads.size()), s}); }));
    }
    ~CopyWatch()
    {
        rt::setReadFaultHook(nullptr);
        for (const QMetaObject::Connection &c : m_connections)
            QObject::disconnect(c);
    }
    CopyWatch(const CopyWatch &) = delete;
    CopyWatch &operator=(const CopyWatch &) = delete;

    static QList<Read> readsOf(const QList<Piece> &pieces)
    {
        QList<Read> out;
        for (const Piece &p : pieces)
            out.append({p.offset, p.count});
        return out;
    }

    QList<Read> reads;
    Progress shown;
    QSet<qint64> unreadable; // reads that start here fail
    int readError = 5; // EIO
    std::function<void(qint64 offset, qint64 count)> onRead;
    // Yields to the event loop seen: one per piece, each before the next piece.
    qsizetype yields = 0;
    bool yieldedAfterEveryPiece = true;

private:
    QObject m_context;
    QList<QMetaObject::Connection> m_connections;
};

inline char *toString(const CopyWatch::Read &r)
{
    return QTest::toString(QStringLiteral("%1+%2").arg(r.offset).arg(r.count));
}

// Runs f in the next yield to the event loop.
template <typename F>
void inNextYield(QObject *context, F f)
{
    QMetaObject::invokeMethod(context, std::move(f), Qt::QueuedConnection);
}

// Clicks a button in the next yield, as a click that arrives during a piece.
inline void clickInNextYield(QAbstractButton *button)
{
    QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

// What the process holds open, by descriptor: a copy must leave none open.
inline QStringList openDescriptorTargets()
{
    QStringList targets;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(dir))
            if (e->d_name[0] != '.')
                targets += QString::fromLocal8Bit(e->d_name) + u' '
                           + QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + QString::fromLocal8Bit(e->d_name));
        closedir(dir);
    }
    return targets;
}
inline int openDescriptors() { return int(openDescriptorTargets().size()); }

// Counts the open descriptors when made and again when it goes, at the end of
// the test's scope: what a copy opened, it must have closed. Checks nothing
// after a failure, which may leave a copy half done; names what is left open.
class DescriptorGuard {
public:
    DescriptorGuard() : m_before((keepQtPoolThreads(), openDescriptorTargets())) {}
    ~DescriptorGuard()
    {
        // A descriptor that a thread of the program's (a mount table read, a
        // listing) holds for a moment goes by itself; a leaked one stays.
        if (QTest::currentTestFailed())
            return;
        (void)QTest::qWaitFor([&] { return openDescriptors() == m_before.size(); }, 3000);
        QStringList added = openDescriptorTargets();
        added.removeIf([&](const QString &t) { return m_before.contains(t) || t.endsWith(u"/fd"); });
        QVERIFY2(openDescriptors() == m_before.size(), qPrintable(QStringLiteral("left open: ") + added.join(u", ")));
    }
    DescriptorGuard(const DescriptorGuard &) = delete;
    DescriptorGuard &operator=(const DescriptorGuard &) = delete;
    int before() const { return int(m_before.size()); }

private:
    // Qt converts and scales large images on its global pool, whose threads
    // each hold an event descriptor and come and go by timing. Started all at
    // once and kept, they are counted before as after.
    static int keepQtPoolThreads()
    {
        static const int kept = [] {
            QThreadPool *pool = QThreadPool::globalInstance();
            pool->setExpiryTimeout(-1);
            const int count = pool->maxThreadCount();
            const auto together = std::make_shared<std::latch>(count);
            for (int i = 0; i < count; ++i)
                pool->start([together] { together->arrive_and_wait(); });
            together->wait();
            return count;
        }();
        return kept;
    }

    QStringList m_before;
};

// In a started window, picks a source file in the open source folder and aims the copy at a
// name in D:\.
inline void aimCopy(FormFixture &f, const QString &sourceName, const QString &destName = QStringLiteral("out.bin"))
{
    QVERIFY(f.c().KorFile->selectFile(sourceName));
    f.c().Dir2->setPath(QStringLiteral("D:\\"));
    f.c().txtDest->setText(destName);
}

// Starts the window and aims the copy from a file in the open source folder at
// a name in D:\; whether all went well.
[[nodiscard]] inline bool startAimed(FormFixture &f, const QString &sourceName,
                                     const QString &destName = QStringLiteral("out.bin"))
{
    f.start();
    aimCopy(f, sourceName, destName);
    return !QTest::currentTestFailed();
}

// Lays out a source file on C:, starts the window, selects the file and aims
// the copy at the destination name in D:\ (which the test may lay out first);
// whether all went well: QVERIFY(prepareCopy(f, content)).
[[nodiscard]] inline bool prepareCopy(FormFixture &f, const QByteArray &content,
                                      const QString &destName = QStringLiteral("out.bin"),
                                      const QString &sourceName = QStringLiteral("src.bin"))
{
    f.drives.makeFile(u'c', sourceName, content);
    return startAimed(f, sourceName, destName);
}

} // namespace copytest
