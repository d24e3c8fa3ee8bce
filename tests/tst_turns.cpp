#include "support/CopyWatch.h"
#include "support/FormFixture.h"

#include "runtime/files/Transfer.h"

#include <QTest>

#include <QTimer>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

using namespace copytest;

// How the window and the copy's worker take turns: while the window shows a
// piece, the worker moves the next one (never more than one ahead), the
// window still shows every piece in order, a Stop starts no piece after it,
// and a copy that has had a failed read never reads ahead.
class TestTurns : public QObject {
    Q_OBJECT

    // The order of two events per piece: the worker begins to move its bytes
    // (W, on the worker's thread), and the window's copy meets it (T: a
    // piece read ahead as it is taken, any other before it is started).
    struct Recorder {
        std::mutex mutex;
        QList<QPair<char, qint64>> events;
        std::atomic<int> shown{0};
        void add(char what, qint64 offset)
        {
            const std::lock_guard lock(mutex);
            if (offset % kLargePiece == 0 && !events.contains(qMakePair(what, offset)))
                events.append({what, offset});
        }
        // Where the event stands in the order, or -1.
        qsizetype at(char what, qint64 offset) const { return events.indexOf(qMakePair(what, offset)); }
        QList<qint64> started() const
        {
            QList<qint64> out;
            for (const auto &e : events)
                if (e.first == 'W')
                    out.append(e.second);
            return out;
        }
    };

    // A window aimed at copying a source of the given size, its copy recorded.
    struct Turns {
        FormFixture f;
        Recorder r;
        std::optional<CopyWatch> watch;
        QByteArray data;
        [[nodiscard]] bool prepare(qint64 size)
        {
            data = content(size);
            if (!prepareCopy(f, data))
                return false;
            watch.emplace(f.c());
            QObject::connect(f.c().lblInputLoc, &rt::Label::captionSet, f.c().lblInputLoc, [this] { ++r.shown; });
            rt::setReadableHook([this](qint64 offset, qint64 count) { return r.add('W', offset), count; });
            watch->onRead = [this](qint64 offset, qint64) { r.add('T', offset); };
            return true;
        }
    };

    static QByteArray content(qint64 size)
    {
        QByteArray data(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            data[i] = char(i * 7 + i / 4096);
        return data;
    }

private slots:
    void cleanup() { rt::setReadableHook(nullptr); }

    // A healthy copy: every piece after the first starts before the window
    // shows the one before it, and only then; the values come in order.
    void healthyCopyReadsOneAhead()
    {
        Turns t;
        QVERIFY(t.prepare(8 * kLargePiece + 5000));
        auto &[f, r, watch, data] = t;
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QCOMPARE(r.started().size(), 9); // 8 large pieces, then the tail's first 1024 bytes at 8 MiB
        for (qint64 k = 1; k <= 8; ++k) {
            const qint64 piece = k * kLargePiece;
            QVERIFY2(r.at('W', piece) < r.at('T', piece), qPrintable(QString::number(k))); // moved ahead
            QVERIFY2(r.at('T', piece - kLargePiece) < r.at('W', piece), qPrintable(QString::number(k))); // one ahead at most
        }
        const Progress expected = expectedProgress(expectedPieces(data.size()), data.size());
        QCOMPARE(watch->shown.bar, expected.bar);
        QCOMPARE(watch->shown.copied, expected.copied);
        QCOMPARE(watch->shown.inputLoc, expected.inputLoc);
        QFile out(f.drives.host(u'd', QStringLiteral("out.bin")));
        QVERIFY(out.open(QIODevice::ReadOnly));
        QVERIFY(out.readAll() == data);
    }

    // A window slow to show each piece (3 ms a caption) over a 100 MiB copy:
    // the worker moves the next pieces meanwhile, without waiting for it, but
    // never more than 3 % of the source beyond what the window has shown, so
    // the bar stays that close to what was read; every piece is still shown,
    // in order, and the copy is whole. A read that fails on the worker keeps
    // the pieces queued behind it from moving until the window has taken it.
    void workerRunsAheadOfASlowWindow_data()
    {
        QTest::addColumn<qint64>("unreadable"); // a piece whose read fails on the worker, or -1
        QTest::newRow("healthy") << qint64(-1);
        QTest::newRow("a read fails at 40 MiB") << 40 * kLargePiece;
    }
    void workerRunsAheadOfASlowWindow()
    {
        QFETCH(qint64, unreadable);
        constexpr qint64 size = 100 * kLargePiece;
        Turns t;
        QVERIFY(t.prepare(size));
        auto &[f, r, watch, data] = t;
        f.dialogs.answers = {rt::AnswerNo}; // a rescue is not kept
        rt::setReadableHook([&](qint64 offset, qint64 count) -> qint64 {
            r.add('W', offset);
            return offset == unreadable && count == kLargePiece ? 0 : count;
        });
        qint64 furthest = 0; // beyond what the window showed, what the worker had begun to move
        int mostInOneTurn = 0; // pieces the worker began while the window showed one
        connect(f.c().lblInputLoc, &rt::Label::captionSet, this, [&](const QString &caption) {
            const auto begun = [&] {
                const std::lock_guard lock(r.mutex);
                qint64 end = 0;
                for (const auto &e : r.events)
                    end = e.first == 'W' ? std::max(end, e.second + kLargePiece) : end;
                return std::pair{r.started().size(), end};
            };
            const auto [before, end] = begun();
            if (unreadable < 0 || caption.toLongLong() < unreadable) // a rescue reads where it must
                furthest = std::max(furthest, end - caption.toLongLong());
            QThread::msleep(3);
            mostInOneTurn = std::max(mostInOneTurn, int(begun().first - before));
        });
        f.c().cmdCopy->click();
        QVERIFY2(furthest <= size * 3 / 100, qPrintable(QString::number(furthest)));
        if (unreadable < 0) {
            QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
            QVERIFY2(mostInOneTurn >= 2, qPrintable(QString::number(mostInOneTurn)));
            const Progress expected = expectedProgress(expectedPieces(data.size()), data.size());
            QCOMPARE(watch->shown.inputLoc, expected.inputLoc);
            QCOMPARE(watch->shown.bar, expected.bar);
            QFile out(f.drives.host(u'd', QStringLiteral("out.bin")));
            QVERIFY(out.open(QIODevice::ReadOnly));
            QVERIFY(out.readAll() == data);
            return;
        }
        QVERIFY(r.at('T', unreadable) > r.at('W', unreadable));
        for (qint64 piece = unreadable + kLargePiece; piece < size; piece += kLargePiece)
            if (const qsizetype w = r.at('W', piece); w > r.at('W', unreadable))
                QVERIFY2(w > r.at('T', unreadable), qPrintable(QString::number(piece / kLargePiece)));
    }

    // A Stop taken as a piece shows: the piece in flight is the last that
    // moves, nothing is shown after it, and the file goes.
    void stopStartsNoPiece()
    {
        Turns t;
        QVERIFY(t.prepare(16 * kLargePiece));
        auto &[f, r, watch, data] = t;
        connect(f.c().lblInputLoc, &rt::Label::captionSet, this, [&](const QString &caption) {
            if (caption == QString::number(3 * kLargePiece))
                f.form->cmdCopy_Click();
        });
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList());
        QCOMPARE(r.shown.load(), 3);
        QCOMPARE(r.started(), (QList<qint64>{0, kLargePiece, 2 * kLargePiece, 3 * kLargePiece}));
        QCOMPARE(QDir(f.drives.host(u'd')).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // After a failed read the copy is a rescue: each piece starts only once
    // the window has shown every piece before it.
    void noLookAheadAfterFailedRead()
    {
        Turns t;
        QVERIFY(t.prepare(12 * kLargePiece));
        auto &[f, r, watch, data] = t;
        watch->unreadable = {2 * kLargePiece};
        f.c().cmdCopy->click();
        QVERIFY(!f.dialogs.messages().isEmpty());
        int checked = 0;
        for (const qint64 piece : r.started()) {
            if (piece <= 2 * kLargePiece)
                continue;
            QVERIFY2(r.at('T', piece) >= 0 && r.at('T', piece) < r.at('W', piece), qPrintable(QString::number(piece)));
            ++checked;
        }
        QVERIFY(checked >= 8);
    }

    // Scraping 254 blocks, every other one unreadable, each read held 2 ms on
    // the worker (a medium's test hook, so the blocks go several to a job):
    // the window shows the rescue at least every job's time and one read, and
    // a Stop clicked while a job runs ends it after the read under way.
    void blocksGoSeveralToAJob()
    {
        constexpr qint64 B = 4096;
        FormFixture f;
        f.dialogs.answers = {rt::AnswerNo}; // not kept
        QVERIFY(prepareCopy(f, content(2 * kLargePiece)));
        // Blocks 256 to 511 lie in the second MiB: the even ones and the last fail.
        const auto bad = [](qint64 k) { return k >= 256 && k < 512 && (k % 2 == 0 || k == 511); };
        std::atomic<int> blockReads{0}, afterStop{0};
        std::atomic<bool> stopped{false};
        rt::setReadableHook([&](qint64 offset, qint64 count) -> qint64 {
            if (count <= B && offset > kLargePiece) {
                ++blockReads;
                afterStop += stopped.load() ? 1 : 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            for (qint64 at = offset; at < offset + count; at += B)
                if (bad(at / B))
                    return at - offset;
            return count;
        });
        QList<int> shownAt; // blocks read when the window showed the rescue, while scraping
        bool armed = false;
        connect(f.c().lblInputLoc, &rt::Label::captionSet, this, [&] {
            if (blockReads.load() < 2) // the scraping begins after the trimming's read of block 511
                return;
            shownAt.append(blockReads.load());
            if (shownAt.size() == 3 && !std::exchange(armed, true))
                QTimer::singleShot(30, f.c().cmdCopy, [&] {
                    stopped = true;
                    f.c().cmdCopy->click();
                });
        });
        f.c().cmdCopy->click();

        QVERIFY2(armed, "the scraping was never shown three times");
        QVERIFY2(stopped.load(), "the copy ended before the Stop");
        QVERIFY2(afterStop.load() <= 1, qPrintable(QStringLiteral("%1 reads began after the Stop").arg(afterStop.load())));
        // Each job ends once it has run 50 ms: at most some 26 reads of 2 ms.
        for (qsizetype i = 1; i < shownAt.size(); ++i)
            QVERIFY2(shownAt[i] - shownAt[i - 1] <= 30, qPrintable(QStringLiteral("%1 reads between two reports").arg(shownAt[i] - shownAt[i - 1])));
        QVERIFY(blockReads.load() < 200); // stopped well before the scraping's end
        QCOMPARE(f.dialogs.messages().size(), qsizetype(1)); // keep the rescue? No
        QCOMPARE(QDir(f.drives.host(u'd')).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_MAIN(TestTurns)
#include "tst_turns.moc"
