#include "copy/job/DestinationChecks.h"

#include "runtime/media/OnMedium.h"
#include "runtime/Dialogs.h"
#include "runtime/media/Drives.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/IoWorker.h"
#include "runtime/text/NumberText.h"
#include "runtime/text/RtError.h"
#include "runtime/files/SourceFacts.h"
#include "runtime/media/Volumes.h"

#include <QFileInfo>

namespace {

// Everything the decisions need, read from the media in one go.
struct Facts {
    rt::Volume volume;
    rt::SourceFacts source;
    rt::FileSpace replaced;       // the file the copy replaces (or its case twin)
    std::optional<QString> twin;
    rt::NameRuleBreak nameBreak;
    bool driverTakesName = true;
};

// Runs on a thread that a silent share may keep: it takes nothing by reference.
Facts gather(const QString &hostPath, bool replaces)
{
    Facts f;
    const QString folder = QFileInfo(hostPath).path();
    const QString name = QFileInfo(hostPath).fileName();
    if (const std::optional<rt::Volume> v = rt::volumeOf(folder))
        f.volume = *v;
    if (f.volume.windowsNames) {
        f.twin = rt::caseTwin(folder, name);
        f.nameBreak = rt::windowsNameRuleBreak(name);
        if (f.nameBreak.rule != rt::NameRuleBreak::Rule::None)
            f.driverTakesName = rt::driverTakesName(folder, f.nameBreak);
    }
    if (replaces)
        f.replaced = rt::fileSpace(hostPath);
    else if (f.twin)
        f.replaced = rt::fileSpace(folder + u'/' + *f.twin);
    return f;
}

QString bytesText(qint64 bytes)
{
    return rt::exactSizeText(bytes);
}

qint64 roundUp(qint64 bytes, qint64 unit) { return unit > 0 ? (bytes + unit - 1) / unit * unit : bytes; }

void refuse(DestinationPlan &plan, rt::Dialogs &dialogs, const QString &text)
{
    dialogs.msgBox(text, rt::MsgStyle::Critical, rt::kTitleTalmo);
    plan.refused = true;
}

} // namespace

QString driveText(const QString &drivePath)
{
    QString text = rt::Drives::instance().displayName(drivePath.at(0));
    text[0] = text[0].toUpper();
    return text;
}

DestinationPlan checkDestination(const QString &sourceFile, const QString &destFile, const rt::File &source,
                                 bool replaces, rt::Dialogs &dialogs, rt::IoWorker &io)
{
    DestinationPlan plan;
    Facts f;
    try {
        const QString hostPath = rt::Drives::instance().toHost(destFile);
        const auto look = [hostPath, replaces] { return gather(hostPath, replaces); };
        const rt::SourceFacts sourceFacts = io.run([&] { return rt::sourceFacts(source); });
        if (rt::Drives::instance().isNetwork(destFile.at(0))) {
            std::optional<Facts> answered = rt::answerOf(rt::Drives::instance().root(destFile.at(0)), look, rt::kMediumAnswerLimit);
            if (!answered) {
                refuse(plan, dialogs,
                       QStringLiteral("The destination file %1 could not be opened.").arg(rt::displayPath(destFile))
                           + rt::kCrLf
                           + QStringLiteral("Drive %1 gave no answer within %2 seconds.")
                                 .arg(driveText(destFile))
                                 .arg(rt::kMediumAnswerLimit.count() / 1000));
                return plan;
            }
            f = std::move(*answered);
        } else {
            f = io.run(look);
        }
        f.source = sourceFacts;
    } catch (const rt::RtError &) {
        // The opening of the destination meets the same trouble and says why.
        return plan;
    }
    plan.options.modified = f.source.modified;
    const rt::Volume &v = f.volume;
    const QString name = QFileInfo(rt::displayPath(destFile).replace(u'\\', u'/')).fileName();
    const QString where = QStringLiteral("drive %1 (%2)").arg(driveText(destFile), v.type);

    // Names first: nothing else matters for a name that cannot be written.
    if (f.nameBreak.rule != rt::NameRuleBreak::Rule::None) {
        if (!f.driverTakesName) {
            refuse(plan, dialogs,
                   QStringLiteral("The file name '%1' cannot be written on %2.").arg(name, where) + rt::kCrLf
                       + QStringLiteral("Its file system takes no names with %1.").arg(f.nameBreak.text()));
            return plan;
        }
        const int answer = dialogs.msgBox(
            QStringLiteral("The file name '%1' has %2, which Windows does not allow.").arg(name, f.nameBreak.text())
                + rt::kCrLf
                + QStringLiteral("%1 takes it, but on Windows the file could not be opened.").arg(where.at(0).toUpper() + where.mid(1))
                + rt::kCrLf + QStringLiteral("Do you want to copy under this name anyway?"),
            rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo, rt::kTitleTalmo);
        if (answer != rt::AnswerYes) {
            plan.refused = true;
            return plan;
        }
    }

    if (v.maxFileSize >= 0 && f.source.size > v.maxFileSize) {
        refuse(plan, dialogs,
               QStringLiteral("The file %1 is too large for %2.").arg(rt::displayPath(sourceFile), where) + rt::kCrLf
                   + QStringLiteral("It has %1; the largest file that file system takes has %2.")
                         .arg(bytesText(f.source.size), bytesText(v.maxFileSize)));
        return plan;
    }

    // Where the typed name already finds that file (a medium that ignores
    // case), the rename onto it replaces it: nothing else is to be removed.
    if (f.twin && !replaces)
        plan.caseTwin = plan.options.caseTwin = *f.twin;

    // Room. A sparse source needs only its data where the file system has
    // holes; FAT and exFAT write every byte.
    if (v.freeBytes < 0)
        return plan;
    const qint64 need = roundUp(v.hasHoles ? f.source.dataBytes : f.source.size, v.blockSize);
    // Within one btrfs or xfs volume the copy shares the source's extents.
    const bool sharesExtents = v.mayShareOrCompress && f.source.fsDevice == v.fsDevice;
    if (need <= v.freeBytes || sharesExtents) {
        if (!v.mayShareOrCompress && (!v.hasHoles || f.source.dataBytes >= f.source.size))
            plan.options.reserve = need;
        return plan;
    }
    // What the old file frees once it is written over.
    const qint64 freedInPlace = (replaces || f.twin) && f.replaced.allocated > 0 ? f.replaced.allocated : 0;
    if (freedInPlace > 0 && need <= v.freeBytes + freedInPlace) {
        plan.roomOnlyInPlace = true;
        return plan;
    }
    // btrfs's free space is an estimate, and it may compress any file: try.
    if (v.type == u"btrfs")
        return plan;
    refuse(plan, dialogs,
           QStringLiteral("The file %1 does not fit on %2.").arg(rt::displayPath(sourceFile), where) + rt::kCrLf
               + QStringLiteral("The copy needs %1 there; the drive has %2 free").arg(bytesText(need), bytesText(v.freeBytes))
               + (freedInPlace > 0 ? QStringLiteral(", and %1 more in place of the old file.").arg(bytesText(freedInPlace))
                                   : QStringLiteral(".")));
    return plan;
}

bool confirmInPlace(DestinationPlan &plan, const QString &destFile, rt::Dialogs &dialogs)
{
    if (!plan.roomOnlyInPlace)
        return true;
    const int answer = dialogs.msgBox(
        QStringLiteral("Drive %1 has room for the new file %2 only in place of the old one.")
                .arg(driveText(destFile), rt::displayPath(destFile))
            + rt::kCrLf
            + QStringLiteral("Written in place, the old file is lost if the copy is stopped or fails.") + rt::kCrLf
            + QStringLiteral("Do you want to replace it in place?"),
        rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo, rt::kTitleTalmo);
    if (answer != rt::AnswerYes)
        return false;
    plan.options.inPlace = true;
    return true;
}
