#include "support/CutMedium.h"
#include "support/KeptKit.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <chrono>

using namespace copytest;
using namespace testkit;
using namespace keptkit;

// The kept rescue's life on a medium that loses power: whatever moment the
// cut comes, what survives on the medium is true (every block a map calls
// finished holds the source's bytes), and the next Copy onto the same name,
// with the user saying Yes to what it offers, goes on with it and ends as one
// uninterrupted rescue would, leaving no file of its own behind.

namespace {

// Two damaged zones: the first pass meets one in its second piece, the other in its third.
const BadMedium::Options kDamage{.bad = {{300 * kBlock, 304 * kBlock}, {600 * kBlock, 601 * kBlock}}};
// The same, and three blocks in the first piece that fail three times, more often than a rescue tries them: a retry reads them.
const BadMedium::Options kDamageToRetry{.bad = kDamage.bad, .marginal = {{100 * kBlock, 103 * kBlock, 5}}};

// What is on the medium before the copy that is cut.
enum class Before {
    Nothing,
    KeptPart, // a rescue stopped halfway and kept as NAME.part with its map: the cut copy goes on with it
    Settled,  // a rescue settled as NAME with NAME.map: the cut copy retries what stayed unreadable
    InPlace,  // such a copy whose map lists a readable zone as never read, over an older file's bytes: gone on with in place
};

QByteArray rescued(const QByteArray &source)
{
    QByteArray bytes = source;
    for (const BadMedium::Range &r : kDamage.bad)
        bytes.replace(r.begin, r.end - r.begin, QByteArray(r.end - r.begin, '\0'));
    return bytes;
}

// The zone an earlier copy written in place over an older file never read: its map says so, and it holds the old bytes.
constexpr qint64 kUnreadFrom = 384 * kBlock, kUnreadTo = 576 * kBlock;
bool leaveUnread(const QString &folder)
{
    QFile mapFile(folder + QStringLiteral("/out.bin.map")), copy(folder + QStringLiteral("/out.bin"));
    if (!mapFile.open(QIODevice::ReadWrite) || !copy.open(QIODevice::ReadWrite))
        return false;
    std::optional<RescueMap> map = RescueMap::parse(mapFile.readAll());
    if (!map)
        return false;
    map->set(kUnreadFrom, kUnreadTo - kUnreadFrom, RescueMap::Status::NonTried);
    const QByteArray text = map->mapfile("duplon C:\\src.bin D:\\out.bin");
    return mapFile.resize(0) && mapFile.write(text) == text.size() && copy.seek(kUnreadFrom)
        && copy.write(QByteArray(kUnreadTo - kUnreadFrom, '\xee')) == kUnreadTo - kUnreadFrom;
}

// Copies C:\src.bin onto D:\out.bin outside the window, as a second window would.
void copyOnce(ScriptedDialogs &dialogs)
{
    PlainProgress progress;
    CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")}, progress, dialogs).run();
}

} // namespace

Q_DECLARE_METATYPE(Before)

namespace {

// A copy outside the window that is stopped once it has rescued stopAt bytes, answered Yes to keeping them.
QStringList copyStoppedAt(qint64 stopAt)
{
    struct StopAt : PlainProgress {
        qint64 stopAt = 0;
        bool stopped = false;
        void showProgress(int, qint64 rescued, qint64) override { stopped = stopped || rescued >= stopAt; }
        bool yieldAndGoOn() override { return !stopped; }
        bool goingOn() const override { return !stopped; }
    } progress;
    progress.stopAt = stopAt;
    ScriptedDialogs dialogs;
    dialogs.answers = {rt::AnswerYes};
    CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")}, progress, dialogs).run();
    return dialogs.messages();
}

// The names in a folder, as they are on the medium.
QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

class TestPowerCut : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        CopyEngine::setSaveIntervalOfNewEngines(std::chrono::milliseconds(0));
        resetTestSwitches();
    }

    // A cut after each step of the kept rescue's life (from nothing, going on
    // with a kept part, retrying a settled copy), and at moments picked at
    // random (the seed is printed: DUPLON_CUT_SEED=S runs them again), on a
    // medium that holds folder changes until a folder flush and on one that
    // makes them at once. After it, the medium comes back as the cut left it.
    void aCutLeavesWhatTheNextCopyGoesOn_data()
    {
        QTest::addColumn<QString>("cutAt"); // see cutfs.cpp; empty: a random call
        QTest::addColumn<bool>("holdNames");
        QTest::addColumn<quint64>("seed");
        QTest::addColumn<Before>("before");
        QTest::addColumn<QString>("told"); // what the cut copy must say
        struct Step {
            const char *step, *cutAt;
            Before before = Before::Nothing;
            const char *told = "";
        };
        const QList<Step> steps = {
            {"a copy without a name yet", "write:.out.bin.*.part:3"},
            {"the copy named NAME.part", "rename:out.bin.part:1"},
            // Its first map cannot be saved, nor the part deleted: it is said to stay.
            {"the copy named NAME.part, its folder flushed", "rename:out.bin.part:1+1", Before::Nothing,
             "'out.bin.part' could not be deleted and is left without its map: "},
            {"the first map named", "rename:out.bin.part.map:1"},
            {"the first map's folder flushed", "rename:out.bin.part.map:1+1"},
            {"a save's data flushed", "flush:out.bin.part:2"},
            {"the second map named", "rename:out.bin.part.map:2"},
            {"the third map's folder flushed", "rename:out.bin.part.map:3+1"},
            {"the final map flushed, before it is named", "flush:.out.bin.map.*.tmp:1"},
            {"the final map named NAME.map", "rename:out.bin.map:1"},
            {"the part renamed to NAME", "rename:out.bin:1"},
            {"the part renamed to NAME, its folder flushed", "rename:out.bin:1+1"},
            {"the part's map removed", "unlink:out.bin.part.map:1"},
            {"the part's map removed, its folder flushed", "unlink:out.bin.part.map:1+1"},
            {"going on: a block written", "write:out.bin.part:1", Before::KeptPart},
            {"going on: its first map's temporary file flushed", "flush:.out.bin.part.map.*.tmp:1", Before::KeptPart},
            {"going on: its first map named", "rename:out.bin.part.map:1", Before::KeptPart},
            {"going on: a save's data flushed", "flush:out.bin.part:2", Before::KeptPart},
            {"going on: the part renamed to NAME", "rename:out.bin:1", Before::KeptPart},
            {"retrying: a block written", "write:out.bin:1", Before::Settled},
            {"retrying: the copy's data flushed", "flush:out.bin:1", Before::Settled},
            {"retrying: its map's temporary file flushed", "flush:.out.bin.map.*.tmp:1", Before::Settled},
            {"retrying: its map named", "rename:out.bin.map:1", Before::Settled},
            {"retrying: its map's folder flushed", "rename:out.bin.map:1+1", Before::Settled},
            {"going on in place: a block written", "write:out.bin:1", Before::InPlace},
            {"going on in place: its map's temporary file flushed", "flush:.out.bin.map.*.tmp:1", Before::InPlace},
            {"going on in place: its map named", "rename:out.bin.map:1", Before::InPlace},
            {"going on in place: a save's data flushed", "flush:out.bin:2", Before::InPlace},
        };
        const quint64 seed = qEnvironmentVariableIsSet("DUPLON_CUT_SEED") ? qEnvironmentVariable("DUPLON_CUT_SEED").toULongLong()
                                                                         : QRandomGenerator::system()->generate();
        qInfo("the random cuts' seed: %llu (DUPLON_CUT_SEED=%llu to cut at the same moments)", seed, seed);
        for (const bool hold : {true, false}) {
            const char *names = hold ? "names held" : "names at once";
            for (const Step &s : steps)
                QTest::addRow("%s: %s", names, s.step) << QString::fromLatin1(s.cutAt) << hold << quint64(0) << s.before
                                                       << QString::fromLatin1(s.told);
            for (quint64 n = 0; n < 4; ++n)
                QTest::addRow("%s: random %llu", names, n + 1) << QString() << hold << seed + n + (hold ? 4 : 0) << Before::Nothing
                                                              << QString();
        }
    }
    void aCutLeavesWhatTheNextCopyGoesOn()
    {
        QFETCH(QString, cutAt);
        QFETCH(bool, holdNames);
        QFETCH(quint64, seed);
        QFETCH(Before, before);
        QFETCH(QString, told);
        FormFixture f;
        const QByteArray source = sourceOnC(f, 33);
        const QByteArray expected = rescued(source);
        BadMedium damaged(f.drives.host(u'c'), before == Before::Settled ? kDamageToRetry : kDamage);
        SKIP_UNLESS_MOUNTED(damaged);
        // A random cut comes after any call of the whole rescue, writes included,
        // and about one unflushed page in two reaches the medium all the same.
        // The rescue then saves its map only where it must (its first
        // unreadable block, its end), so that it makes the same calls each
        // time; at the steps, a save follows (nearly) every read.
        const qint64 calls = cutAt.isEmpty() ? callsOfARescue(damaged.path()) : 0;
        if (QTest::currentTestFailed())
            return;
        const qint64 cutAfter = cutAt.isEmpty() ? qint64(1 + QRandomGenerator64(seed).bounded(quint64(calls))) : -1;
        if (cutAt.isEmpty())
            qInfo("cut after call %lld of %lld", cutAfter, calls);
        const QString folder = f.drives.host(u'd');
        CutMedium medium(folder, {.holdNames = holdNames});
        SKIP_UNLESS_MOUNTED(medium);
        rt::Drives::instance().setFixedMap({{u'c', damaged.path()}, {u'd', medium.path()}});
        ScriptedDialogs first;
        if (before == Before::Settled || before == Before::InPlace)
            copyOnce(first);
        if (before == Before::InPlace)
            QVERIFY(leaveUnread(medium.path()));
        const QStringList firstSaid = before == Before::KeptPart ? copyStoppedAt(3 * kLargePiece / 2) // past the damaged zones, before trimming
                                                                 : first.messages();
        QVERIFY2((before != Before::Settled && before != Before::InPlace) || entriesOf(folder).contains(QStringLiteral("out.bin.map")), qPrintable(firstSaid.join(u'|')));
        QVERIFY2(before != Before::KeptPart || entriesOf(folder).contains(kPartMap), qPrintable(firstSaid.join(u'|')));
        if (!cutAt.isEmpty())
            CopyEngine::setSaveIntervalOfNewEngines(std::chrono::milliseconds(1));
        QVERIFY(medium.remount({.holdNames = holdNames, .cutAfter = cutAfter, .cutAt = cutAt, .keepOneIn = cutAt.isEmpty() ? 2 : 0, .seed = seed}));

        ScriptedDialogs cutShort; // No to its questions (it ends as the medium lets it), but Yes to going on or retrying
        if (before != Before::Nothing)
            cutShort.answers.assign(8, rt::AnswerYes);
        copyOnce(cutShort);
        qint64 cutCame = -1;
        const QList<CutMedium::Call> log = medium.calls(&cutCame);
        QVERIFY2(cutCame > 0, qPrintable(QStringLiteral("no cut came at %1, after %2 calls").arg(cutAt).arg(log.size())));
        QVERIFY(medium.remount());

        // What survived is true: every map (any there is) beside its copy lists as finished only the source's
        // bytes. A map whose copy is gone is stale: the next Copy must clear it.
        const QStringList left = entriesOf(folder);
        const QString survived = left.join(u' ');
        for (const QString &name : left) {
            if (!name.endsWith(QStringLiteral(".map")) || name.startsWith(u'.') || !left.contains(name.chopped(4)))
                continue;
            const QByteArray map = f.drives.read(u'd', name), copy = f.drives.read(u'd', name.chopped(4));
            QVERIFY2(finishedBlocksHold(map, copy, source), qPrintable(name + QStringLiteral(" lies; left: ") + survived));
        }
        // The cut copy's words are true of what the medium holds: a part it calls deleted is not there, and one
        // whose deletion the dead medium refused is said to stay.
        const QString cutWords = cutShort.messages().join(u'|');
        QVERIFY2(before != Before::InPlace || cutWords.startsWith(QStringLiteral("An earlier copy of 'out.bin' is there: ")), qPrintable(cutWords));
        if (cutWords.contains(QStringLiteral("could not be kept and was deleted")) || cutWords.contains(QStringLiteral("'out.bin.part' was deleted")))
            QVERIFY2(!left.contains(kPart), qPrintable(survived + QStringLiteral(" | ") + cutWords));
        QVERIFY2(cutWords.contains(told), qPrintable(cutWords));
        const QByteArray partMap = f.drives.read(u'd', kPartMap);
        const bool partKept = left.contains(kPart) && left.contains(kPartMap) && finishedIn(partMap) >= 0;
        const bool settled = !partKept && left.contains(QStringLiteral("out.bin")) && left.contains(QStringLiteral("out.bin.map"));

        // Copy again, as a user would: Yes to going on, to reading the damage again, to deleting a part no map speaks for.
        ScriptedDialogs again;
        again.answers.assign(8, rt::AnswerYes);
        copyOnce(again);
        const QStringList said = again.messages();
        const QString question = said.value(0);
        if (partKept) {
            // Gone on with from all that its map holds.
            QVERIFY2(question.startsWith(QStringLiteral("An unfinished copy of 'out.bin' is kept as 'out.bin.part': %1 bytes rescued")
                                             .arg(finishedIn(partMap))),
                     qPrintable(survived + QStringLiteral(" | ") + said.join(u'|')));
        } else if (settled) {
            QVERIFY2(question.startsWith(QStringLiteral("An earlier copy of 'out.bin' is there: ")),
                     qPrintable(survived + QStringLiteral(" | ") + said.join(u'|')));
        } else if (left.contains(kPart)) { // no map says what in it is the source's: asked about, never gone on with
            QVERIFY2(question.startsWith(QStringLiteral("'out.bin.part' holds an unfinished copy of 'out.bin' without its map")),
                     qPrintable(survived + QStringLiteral(" | ") + said.join(u'|')));
        }
        QVERIFY2(!said.join(u'|').contains(QStringLiteral("already exists")), qPrintable(survived + QStringLiteral(" | ") + said.join(u'|')));

        // It ends as one rescue: the copy under its name, its one map beside it, nothing else of ours.
        QVERIFY2(f.drives.read(u'd', QStringLiteral("out.bin")) == expected, qPrintable(survived + QStringLiteral(" | ") + said.join(u'|')));
        const QByteArray map = f.drives.read(u'd', QStringLiteral("out.bin.map"));
        QVERIFY2(finishedBlocksHold(map, expected, source), qPrintable(survived + QStringLiteral(" | ") + said.join(u'|') + u'\n' + QString::fromUtf8(map)));
        QCOMPARE(finishedIn(map), source.size() - 5 * kBlock);
        const QStringList ours = entriesOf(folder).filter(QStringLiteral("out.bin"));
        QCOMPARE(ours.filter(QRegularExpression(QStringLiteral("^[^.]|\\.map\\..*\\.tmp$"))).join(u' '), QStringLiteral("out.bin out.bin.map"));
        // Where the medium takes no unnamed file (O_TMPFILE), a copy cut before it had a name left a hidden one:
        // the next Copy clears it.
        const QStringList hidden = ours.filter(QRegularExpression(QStringLiteral("^\\.out\\.bin\\..*\\.part$")));
        QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(u' ')));
    }

private:
    // How many calls an uncut rescue makes on the medium, counted once.
    qint64 callsOfARescue(const QString &damagedPath)
    {
        static qint64 counted = 0;
        if (counted > 0)
            return counted;
        QTemporaryDir folder;
        CutMedium medium(folder.path(), {});
        if (!medium.mounted()) {
            QTest::qFail(qPrintable(medium.whyNot()), __FILE__, __LINE__);
            return 0;
        }
        rt::Drives::instance().setFixedMap({{u'c', damagedPath}, {u'd', medium.path()}});
        ScriptedDialogs dialogs;
        copyOnce(dialogs);
        counted = medium.calls().size();
        qInfo("an uncut rescue makes %lld calls on the medium", counted);
        return counted;
    }
};

QTEST_MAIN(TestPowerCut)
#include "tst_powercut.moc"
