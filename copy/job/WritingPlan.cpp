#include "copy/job/WritingPlan.h"

#include <cerrno>
#include <sys/stat.h>

namespace {

using Kind = rt::EntryFacts::Kind;

bool isPermissionError(int osError) { return osError == EACCES || osError == EPERM; }

rt::WritePlan notRegular(rt::WritePlan plan, mode_t mode, bool throughLink)
{
    plan.notRegularMode = mode;
    plan.throughLink = throughLink;
    return plan;
}

} // namespace

rt::WritePlan planWriting(const rt::DestinationEntries &found, mode_t newMode, const rt::DestinationOptions &options)
{
    rt::WritePlan plan;
    plan.folder = found.folder;
    plan.name = found.name;
    plan.modified = options.modified;
    plan.reserve = options.reserve;
    const rt::EntryFacts &entry = found.entry;
    const rt::EntryFacts *old = nullptr; // the file replaced
    switch (entry.kind) {
    case Kind::Other:
        return notRegular(plan, entry.mode, false);
    case Kind::LinkToOther:
        return notRegular(plan, entry.mode, true);
    case Kind::File:
    case Kind::LinkToFile:
        old = &entry;
        break;
    case Kind::Missing:
    case Kind::DanglingLink: // a new file replaces the link itself
    case Kind::Link:
        break;
    }

    // The entry that differs only in letter case is what the copy replaces:
    // its mode goes to the copy, and it goes once the copy has its name. Where
    // the name itself finds that entry (a medium that ignores case), the
    // rename replaces it and nothing more is to go.
    const rt::EntryFacts &twin = found.twin;
    const bool twinIsTheFile = old && twin.device == old->device && twin.inode == old->inode;
    if (twin.kind != Kind::Missing && !twinIsTheFile) {
        if (twin.kind == Kind::Other)
            return notRegular(plan, twin.mode, false);
        plan.twinName = found.twinName;
        plan.twinDevice = twin.device;
        plan.twinInode = twin.inode;
        if (!old && twin.kind == Kind::File)
            old = &twin;
    }
    plan.replaces = old != nullptr;
    if (!plan.replaces) {
        plan.createMode = newMode;
        return plan;
    }
    // A read-only file of the user's own is replaced, as file managers do:
    // the copy takes its name by a rename, which needs no right to write it.
    const rt::EntryFacts &replaced = plan.twinName.isEmpty() ? entry : twin;
    if (replaced.writeError && !(replaced.ours && isPermissionError(replaced.writeError))) {
        plan.refusalError = replaced.writeError;
        return plan;
    }
    plan.oldMode = old->mode;
    plan.oldOwner = old->owner;
    plan.oldGroup = old->group;
    plan.inPlaceFirst = options.inPlace;
    if (plan.inPlaceFirst && twin.kind == Kind::File) {
        // The old file is the case twin (or the name finds it, on a medium
        // that ignores case): written where it is, it takes the typed name.
        plan.inPlaceName = found.twinName;
        plan.twinName.clear();
    }
    return plan;
}

rt::Destination prepareDestination(const QString &drivePath, mode_t newMode, const rt::DestinationOptions &options)
{
    return rt::Destination::open(planWriting(rt::lookAtDestination(drivePath, options.caseTwin), newMode, options));
}
