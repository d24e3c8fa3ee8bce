#include "copy/job/DestinationChecks.h"

#include "copy/job/DestinationVerdict.h"
#include "runtime/Dialogs.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "runtime/files/NameProbe.h"
#include "runtime/media/Drives.h"
#include "runtime/media/OnMedium.h"
#include "runtime/media/WindowsNames.h"
#include "runtime/text/RtError.h"

#include <QFileInfo>

namespace {

// Runs on a thread that a silent share may keep: it takes nothing by reference.
DestinationFacts gather(const QString &hostPath, bool replaces)
{
    DestinationFacts f;
    const QString folder = QFileInfo(hostPath).path();
    const QString name = QFileInfo(hostPath).fileName();
    f.replaces = replaces;
    if (const std::optional<rt::Volume> v = rt::volumeOf(folder))
        f.volume = *v;
    if (f.volume.windowsNames) {
        f.twin = rt::caseTwin(folder, name);
        const rt::NameRuleBreak nameBreak = rt::windowsNameRuleBreak(name);
        if (nameBreak.rule != rt::NameRuleBreak::Rule::None)
            f.driverTakesName = rt::driverTakesName(folder, nameBreak);
    }
    if (replaces)
        f.replaced = rt::existingFile(hostPath);
    else if (f.twin)
        f.replaced = rt::existingFile(folder + u'/' + *f.twin);
    return f;
}

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
    DestinationFacts f;
    try {
        const QString hostPath = rt::Drives::instance().toHost(destFile);
        const auto look = [hostPath, replaces] { return gather(hostPath, replaces); };
        const rt::SourceFacts sourceFacts = io.run([&] { return rt::sourceFacts(source); });
        if (rt::Drives::instance().isNetwork(destFile.at(0))) {
            std::optional<DestinationFacts> answered = rt::answerOf(rt::Drives::instance().root(destFile.at(0)), look, rt::kMediumAnswerLimit);
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
    f.name = QFileInfo(rt::displayPath(destFile).replace(u'\\', u'/')).fileName();
    f.sourceText = rt::displayPath(sourceFile);
    f.destText = rt::displayPath(destFile);
    f.driveText = driveText(destFile);
    const DestinationVerdict verdict = judgeDestination(f);
    plan.options = verdict.options;
    plan.roomOnlyInPlace = verdict.roomOnlyInPlace;
    plan.inPlaceTwin = verdict.inPlaceTwin;
    if (!verdict.nameQuestion.isEmpty()
        && dialogs.msgBox(verdict.nameQuestion, rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo, rt::kTitleTalmo)
            != rt::AnswerYes)
        plan.refused = true;
    else if (!verdict.refusal.isEmpty())
        refuse(plan, dialogs, verdict.refusal);
    return plan;
}

bool confirmInPlace(DestinationPlan &plan, const QString &destFile, rt::Dialogs &dialogs)
{
    if (!plan.roomOnlyInPlace)
        return true;
    const int answer = dialogs.msgBox(inPlaceQuestion(driveText(destFile), rt::displayPath(destFile)),
                                      rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo, rt::kTitleTalmo);
    if (answer != rt::AnswerYes)
        return false;
    plan.options.inPlace = true;
    plan.options.caseTwin = plan.inPlaceTwin;
    return true;
}
