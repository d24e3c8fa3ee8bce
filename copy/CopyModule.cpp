#include "copy/CopyModule.h"

#include "copy/job/CopyJob.h"
#include "runtime/Dialogs.h"
#include "runtime/controls/YieldToEvents.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/OnMedium.h"
#include "runtime/media/Drives.h"
#include "runtime/text/NumberText.h"

#include <optional>
#include <system_error>

CopyModule::CopyModule(MyFormControls &form, rt::Dialogs &dialogs) : m_form(form), m_dialogs(dialogs) {}

QString CopyModule::GetSourcePath() const
{
    // Joined from the file list alone: a folder list out of step with it must
    // not glue a name onto the wrong folder ("C:\Dataa.txt").
    return rt::childPath(m_form.KorFile->path(), m_form.KorFile->fileName());
}

QString CopyModule::GetDestPath() const
{
    return rt::childPath(m_form.Dir2->path(), m_form.txtDest->text());
}

bool CopyModule::CheckSelection()
{
    if (!m_form.KorFile->fileName().isEmpty() && !DestFile.isEmpty())
        return true;
    m_dialogs.msgBox(QStringLiteral("Choose Source and Destination first."), rt::MsgStyle::Critical,
                     QStringLiteral("Source/Dest Error."));
    m_form.cmdCopy->setCaption(kCopyCaption);
    return false;
}

void CopyModule::showRunState()
{
    m_form.cmdCopy->setCaption(m_job && Copying ? kStopCaption : kCopyCaption);
}

void CopyModule::Stop()
{
    Copying = false;
    showRunState();
    if (m_job)
        m_job->stopAsked([this] { tellStalled(); });
}

bool CopyModule::isStalled() const
{
    return m_job && m_job->stalled();
}

QString CopyModule::silentDrive() const
{
    // The drive of the file the stuck call waits on, asked of the system: a
    // second call on a silent medium would only hang as well. The
    // destination's where the system does not tell (a close's flush).
    const QString waited = m_job->waitedOn();
    QChar letter = m_job->names().destination.at(0);
    qsizetype longest = -1;
    for (const QString &path : {m_job->names().destination, m_job->names().source}) {
        const QString root = rt::Drives::instance().root(path.at(0).toLower());
        if (!root.isEmpty() && root.size() > longest
            && (waited == root || waited.startsWith(root.endsWith(u'/') ? root : root + u'/'))) {
            letter = path.at(0);
            longest = root.size();
        }
    }
    const int item = m_form.drv2->findData(QVariant(QString(letter.toLower())));
    const QString shown = item >= 0 ? m_form.drv2->itemText(item) : QStringLiteral("%1:").arg(letter);
    return letter.toUpper() + shown.mid(1);
}

void CopyModule::tellStalled()
{
    // A rescue's partial file is not removed: it is asked about, or kept.
    const StopWould stop = m_job ? m_job->whatStopWould() : StopWould::Remove;
    const QString then = stop == StopWould::Remove
        ? QStringLiteral("its partial file will be removed when the drive answers.")
        : stop == StopWould::Ask && !m_leaving
        ? QStringLiteral("when the drive answers, you are asked whether to keep what was rescued.")
        : QStringLiteral("what was rescued stays on the medium with its map as last saved.");
    m_dialogs.msgBox(QStringLiteral("Drive %1 does not answer. The copy is stopped; ").arg(silentDrive()) + then,
                     rt::MsgStyle::Critical, rt::kTitleTalmo);
}

void CopyModule::Leave()
{
    m_leaving = true;
    Stop();
}

void CopyModule::StartCopy()
{
    SourceFile = GetSourcePath();
    DestFile = GetDestPath();
    // The job's I/O worker is a thread: without one, no copy.
    std::optional<CopyJob> started;
    try {
        started.emplace(CopyJob::Names{SourceFile, DestFile, m_form.txtDest->text()}, *this, m_dialogs);
    } catch (const std::system_error &e) {
        m_dialogs.msgBox(QStringLiteral("The copy could not be started.") + rt::kCrLf + QString::fromLocal8Bit(e.what()),
                         rt::MsgStyle::Critical, rt::kTitleTalmo);
        return;
    }
    CopyJob &job = *started;
    m_job = &job;
    m_lastEnding = {};
    showRunState();

    if (m_form.txtDest->text().isEmpty()) {
        m_dialogs.msgBox(QStringLiteral("No Destination file name is specified.") + rt::kCrLf
                             + QStringLiteral("Please give a file name to be created."),
                         rt::MsgStyle::Critical, rt::kTitleTalmo);
        m_form.txtDest->setFocus();
    } else if (CheckSelection()) {
        job.run();
    }
    m_job = nullptr;
    showRunState();
    m_form.KorBar->refresh();
}

void CopyModule::copyEnded(CopyEnd end, const QString &words)
{
    m_lastEnding = {end, m_job ? rt::displayPath(m_job->names().destination) : QString(), words};
    if (m_endingHook)
        m_endingHook(m_lastEnding);
}

void CopyModule::showProgress(int percent, qint64 rescued, qint64 readPosition)
{
    m_form.KorBar->setBarValue(static_cast<float>(percent));
    m_form.lblCopied->setCaption(rt::megabytesText(rescued));
    m_form.lblInputLoc->setCaption(QString::number(readPosition));
}

bool CopyModule::yieldAndGoOn()
{
    rt::yieldToEvents();
    return Copying;
}
