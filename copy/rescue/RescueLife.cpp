#include "copy/rescue/RescueLife.h"

RescueAction whatMayGo(RescueState state, RescueEvent event, RescueFacts facts)
{
    using E = RescueEvent;
    switch (state) {
    case RescueState::Nothing:
    case RescueState::KeptAside:
    case RescueState::Settled:
    case RescueState::Deleted:
        return RescueAction::Nothing;
    case RescueState::Private:
        // A healthy copy's file is the copy's own: it goes, unless the source
        // went while something was read, which is kept as a rescue (its first
        // save names it, and only a map saved after a good flush keeps it).
        if (event == E::SourceGone && facts.rescued)
            return RescueAction::SaveThenKeep;
        return RescueAction::Delete;
    case RescueState::KeptAsPart:
        switch (event) {
        case E::StopAsked: return RescueAction::Ask;
        case E::KeepRefused: return RescueAction::Delete;
        case E::KeepAgreed:
        case E::Leaving:
        case E::SourceGone:
        case E::WriteFailed: return RescueAction::SaveThenKeep;
        case E::Refused:
        case E::Thrown: // nothing left to save with: as it stands, if its map tells what it holds
        case E::Saved: return facts.mapSaved ? RescueAction::Keep : RescueAction::Delete;
        }
        break;
    case RescueState::GoneOnInPlace:
        // The user's own earlier copy: brought up to date, never asked about, never deleted.
        return event == E::Saved || event == E::Refused || event == E::Thrown ? RescueAction::Keep
                                                                               : RescueAction::SaveThenKeep;
    case RescueState::Retrying:
        return RescueAction::Keep; // the retry saves its own map as it goes
    }
    return RescueAction::Nothing;
}

RescueState afterAction(RescueState state, RescueAction action)
{
    switch (action) {
    case RescueAction::Delete: return RescueState::Deleted;
    case RescueAction::Keep: return RescueState::KeptAside;
    case RescueAction::Nothing:
    case RescueAction::Ask:
    case RescueAction::SaveThenKeep: break;
    }
    return state;
}

StopWould whatStopWould(RescueState state, RescueFacts facts)
{
    switch (whatMayGo(state, RescueEvent::StopAsked, facts)) {
    case RescueAction::Ask: return facts.mapSaved ? StopWould::Ask : StopWould::Remove;
    case RescueAction::SaveThenKeep:
    case RescueAction::Keep: return StopWould::Keep;
    case RescueAction::Nothing:
    case RescueAction::Delete: break;
    }
    return StopWould::Remove;
}

QString leftText(const QString &partName, const QString &mapName, const RescueLeft &left)
{
    if (left.part.isEmpty() && left.map.isEmpty())
        return QString();
    if (left.map.isEmpty())
        return QStringLiteral("'%1' could not be deleted and is left without its map: %2").arg(partName, left.part);
    if (left.part.isEmpty())
        return QStringLiteral("'%1' was deleted, but its map '%2' could not be and is left: %3").arg(partName, mapName, left.map);
    return QStringLiteral("Neither '%1' nor its map '%2' could be deleted; both are left: %3").arg(partName, mapName, left.part);
}

bool leftoverMayGo(const LeftoverFacts &facts)
{
    if (!facts.ours || facts.lockHeld)
        return false;
    if (facts.lockKnown && !facts.share)
        return true;
    return facts.ageSeconds >= kLeftoverAgeOnShares;
}

QString stateName(RescueState state)
{
    switch (state) {
    case RescueState::Nothing: return QStringLiteral("nothing");
    case RescueState::Private: return QStringLiteral("private");
    case RescueState::KeptAsPart: return QStringLiteral("kept as part");
    case RescueState::GoneOnInPlace: return QStringLiteral("gone on in place");
    case RescueState::Retrying: return QStringLiteral("retrying");
    case RescueState::KeptAside: return QStringLiteral("kept aside");
    case RescueState::Settled: return QStringLiteral("settled");
    case RescueState::Deleted: return QStringLiteral("deleted");
    }
    return QString();
}
