#include "copy/rescue/RescueLife.h"
#include "runtime/files/HiddenLeftovers.h"
#include "runtime/media/Volume.h"

#include <QTest>

// The rescue's files as states and the events that end a copy: what each
// event may remove, without a medium. The end-to-end cases (tst_kept,
// tst_kept_ends, tst_rescue) show the same rules on the suite's media.

Q_DECLARE_METATYPE(RescueState)
Q_DECLARE_METATYPE(RescueEvent)
Q_DECLARE_METATYPE(RescueAction)

namespace {

using S = RescueState;
using E = RescueEvent;
using A = RescueAction;

constexpr S kStates[] = {S::Nothing, S::Private, S::KeptAsPart, S::GoneOnInPlace, S::Retrying, S::KeptAside, S::Settled, S::Deleted};
constexpr E kEvents[] = {E::Refused, E::StopAsked, E::KeepAgreed, E::KeepRefused, E::Leaving,
                         E::SourceGone, E::WriteFailed, E::Thrown, E::Saved};

// Where an event leads, as the copy job follows it: a question answered as
// given, a save that goes as facts.mapSaved says.
S resolve(S state, E event, RescueFacts facts, E answer = E::KeepAgreed)
{
    for (int step = 0; step < 4; ++step) {
        const A action = whatMayGo(state, event, facts);
        if (action == A::Ask)
            event = answer;
        else if (action == A::SaveThenKeep)
            event = E::Saved;
        else
            return afterAction(state, action);
    }
    return S::Nothing; // a loop: never a state of the rule
}

} // namespace

class TestRescueLife : public QObject {
    Q_OBJECT
private slots:
    // What each event does first, and where the copy's files end.
    void eachEventEndsWhereItMay_data()
    {
        QTest::addColumn<RescueState>("state");
        QTest::addColumn<RescueEvent>("event");
        QTest::addColumn<bool>("mapSaved");
        QTest::addColumn<bool>("rescued");
        QTest::addColumn<RescueAction>("first");
        QTest::addColumn<RescueState>("end"); // a question answered Yes

        QTest::newRow("healthy copy: Stop removes its file") << S::Private << E::StopAsked << false << false << A::Delete << S::Deleted;
        QTest::newRow("healthy copy: Exit removes its file") << S::Private << E::Leaving << false << false << A::Delete << S::Deleted;
        QTest::newRow("healthy copy: a failed write removes it") << S::Private << E::WriteFailed << false << true << A::Delete << S::Deleted;
        QTest::newRow("healthy copy: refused before a byte") << S::Private << E::Refused << false << false << A::Delete << S::Deleted;
        QTest::newRow("source gone after reads: kept as a rescue") << S::Private << E::SourceGone << false << true << A::SaveThenKeep << S::Deleted;
        QTest::newRow("source gone before any read: removed") << S::Private << E::SourceGone << false << false << A::Delete << S::Deleted;
        QTest::newRow("kept part: Stop asks, Yes keeps") << S::KeptAsPart << E::StopAsked << true << true << A::Ask << S::KeptAside;
        QTest::newRow("kept part: No deletes") << S::KeptAsPart << E::KeepRefused << true << true << A::Delete << S::Deleted;
        QTest::newRow("kept part: Exit keeps") << S::KeptAsPart << E::Leaving << true << true << A::SaveThenKeep << S::KeptAside;
        QTest::newRow("kept part: source gone keeps") << S::KeptAsPart << E::SourceGone << true << true << A::SaveThenKeep << S::KeptAside;
        QTest::newRow("kept part: a failed flush keeps it") << S::KeptAsPart << E::WriteFailed << true << true << A::SaveThenKeep << S::KeptAside;
        QTest::newRow("kept part: thrown, kept as it stands") << S::KeptAsPart << E::Thrown << true << true << A::Keep << S::KeptAside;
        QTest::newRow("kept part: no map ever saved, nothing to keep") << S::KeptAsPart << E::WriteFailed << false << true << A::SaveThenKeep << S::Deleted;
        QTest::newRow("kept part: thrown without a map") << S::KeptAsPart << E::Thrown << false << true << A::Delete << S::Deleted;
        QTest::newRow("earlier copy in place: Stop keeps, never asks") << S::GoneOnInPlace << E::StopAsked << true << true << A::SaveThenKeep << S::KeptAside;
        QTest::newRow("earlier copy in place: thrown") << S::GoneOnInPlace << E::Thrown << true << false << A::Keep << S::KeptAside;
        QTest::newRow("retry: Stop keeps") << S::Retrying << E::StopAsked << true << true << A::Keep << S::KeptAside;
        QTest::newRow("settled: nothing goes") << S::Settled << E::Thrown << true << true << A::Nothing << S::Settled;
        QTest::newRow("kept aside: nothing goes") << S::KeptAside << E::KeepRefused << true << true << A::Nothing << S::KeptAside;
        QTest::newRow("nothing opened") << S::Nothing << E::Refused << false << false << A::Nothing << S::Nothing;
    }
    void eachEventEndsWhereItMay()
    {
        QFETCH(RescueState, state);
        QFETCH(RescueEvent, event);
        QFETCH(bool, mapSaved);
        QFETCH(bool, rescued);
        QFETCH(RescueAction, first);
        QFETCH(RescueState, end);
        const RescueFacts facts{mapSaved, rescued};
        QCOMPARE(whatMayGo(state, event, facts), first);
        QCOMPARE(stateName(resolve(state, event, facts)), stateName(end));
    }

    // Rescued data goes only on the user's No: from every state that holds
    // a rescue with a saved map, every event but that No ends with it kept;
    // an earlier copy gone on with, or retried, is never deleted at all.
    void aRescueWithItsMapGoesOnlyOnNo()
    {
        for (const S state : {S::KeptAsPart, S::GoneOnInPlace, S::Retrying}) {
            for (const E event : kEvents) {
                for (const E answer : {E::KeepAgreed, E::KeepRefused}) {
                    const S end = resolve(state, event, {true, true}, answer);
                    const bool userSaidNo = state == S::KeptAsPart
                        && (event == E::KeepRefused || (event == E::StopAsked && answer == E::KeepRefused));
                    QVERIFY2(end == (userSaidNo ? S::Deleted : S::KeptAside),
                             qPrintable(stateName(state) + QStringLiteral(", event %1: ").arg(int(event)) + stateName(end)));
                    for (const bool mapSaved : {false, true})
                        if (state != S::KeptAsPart)
                            QVERIFY(resolve(state, event, {mapSaved, false}, answer) != S::Deleted);
                }
            }
        }
    }

    // Every state answers every event, and a state that is over stays over.
    void everyEventHasAnEnd()
    {
        for (const S state : kStates)
            for (const E event : kEvents)
                for (const bool mapSaved : {false, true}) {
                    const S end = resolve(state, event, {mapSaved, true});
                    QVERIFY2(end != S::Nothing || state == S::Nothing, qPrintable(stateName(state)));
                    if (state == S::KeptAside || state == S::Settled || state == S::Deleted)
                        QCOMPARE(stateName(end), stateName(state));
                }
    }

    // What a stalled Stop says comes from the same rule.
    void aStalledStopSaysWhatTheStopWillDo_data()
    {
        QTest::addColumn<RescueState>("state");
        QTest::addColumn<bool>("mapSaved");
        QTest::addColumn<int>("would");
        QTest::newRow("healthy copy") << S::Private << false << int(StopWould::Remove);
        QTest::newRow("kept part with its map") << S::KeptAsPart << true << int(StopWould::Ask);
        QTest::newRow("kept part, no map yet") << S::KeptAsPart << false << int(StopWould::Remove);
        QTest::newRow("earlier copy in place") << S::GoneOnInPlace << true << int(StopWould::Keep);
        QTest::newRow("retry") << S::Retrying << true << int(StopWould::Keep);
    }
    void aStalledStopSaysWhatTheStopWillDo()
    {
        QFETCH(RescueState, state);
        QFETCH(bool, mapSaved);
        QFETCH(int, would);
        QCOMPARE(int(whatStopWould(state, {mapSaved, true})), would);
    }

    // A healthy copy's hidden file left by a cut or a kill: cleared by the next
    // Copy only when it is proven ours and no copy can still be writing it.
    void aLeftoverGoesOnlyWhenNoCopyWritesIt_data()
    {
        QTest::addColumn<bool>("ours");
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("known");
        QTest::addColumn<bool>("share");
        QTest::addColumn<qint64>("age");
        QTest::addColumn<bool>("goes");
        const qint64 old = kLeftoverAgeOnShares, fresh = 5;
        QTest::newRow("local, free: goes at once") << true << false << true << false << fresh << true;
        QTest::newRow("local, held by another copy: stays") << true << true << true << false << fresh << false;
        QTest::newRow("local, held however old") << true << true << true << false << 10 * old << false;
        QTest::newRow("share, free but fresh: a copy on another machine may write it") << true << false << true << true << fresh << false;
        QTest::newRow("share, free and old: goes") << true << false << true << true << old << true;
        QTest::newRow("share, held: stays") << true << true << true << true << old << false;
        QTest::newRow("no locks on the medium, fresh: stays") << true << false << false << false << old - 1 << false;
        QTest::newRow("no locks on the medium, old: goes") << true << false << false << false << old << true;
        // A name that merely fits ("disk" and a kept ".disk.img.part"), or a kept part with its map beside it.
        QTest::newRow("not proven ours, local and free: stays") << false << false << true << false << fresh << false;
        QTest::newRow("not proven ours, however old: stays") << false << false << false << true << 10 * old << false;
    }
    void aLeftoverGoesOnlyWhenNoCopyWritesIt()
    {
        QFETCH(bool, ours);
        QFETCH(bool, held);
        QFETCH(bool, known);
        QFETCH(bool, share);
        QFETCH(qint64, age);
        QFETCH(bool, goes);
        QCOMPARE(leftoverMayGo({.ours = ours, .lockHeld = held, .lockKnown = known, .share = share, .ageSeconds = age}), goes);
    }

    // Where locks may not reach another machine, only age tells: a network
    // share, and a medium that cannot be identified at all.
    void anUnknownMediumIsJudgedAsAShare_data()
    {
        QTest::addColumn<QString>("medium");
        QTest::addColumn<bool>("share");
        QTest::newRow("local ext4") << QStringLiteral("ext4") << false;
        QTest::newRow("NFS") << QStringLiteral("nfs") << true;
        QTest::newRow("not identified") << QString() << true;
    }
    void anUnknownMediumIsJudgedAsAShare()
    {
        QFETCH(QString, medium);
        QFETCH(bool, share);
        std::optional<rt::Volume> volume;
        if (!medium.isEmpty()) {
            volume = rt::Volume::ofType(medium);
            volume->network = medium == u"nfs";
        }
        QCOMPARE(rt::judgedAsShare(volume), share);
    }
};

QTEST_MAIN(TestRescueLife)
#include "tst_rescue_life.moc"
