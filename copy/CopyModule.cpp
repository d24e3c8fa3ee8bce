#include "copy/CopyModule.h"

#include "copy/job/CopyJob.h"
#include "runtime/Dialogs.h"
#include "runtime/controls/YieldToEvents.h"
#include "runtime/media/Drives.h"
#include "runtime/text/NumberText.h"

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
}

void CopyModule::StartCopy()
{
    SourceFile = GetSourcePath();
    DestFile = GetDestPath();
    CopyJob job({SourceFile, DestFile, m_form.txtDest->text()}, *this, m_dialogs);
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

void CopyModule::copyEnded(CopyEnd end)
{
    using Kind = Ending::Kind;
    const Kind kind = end == CopyEnd::Completed ? Kind::Completed
        : end == CopyEnd::Stopped              ? Kind::Stopped
        : end == CopyEnd::Failed               ? Kind::Failed
                                               : Kind::None;
    m_lastEnding = {kind, m_job ? rt::displayPath(m_job->names().destination) : QString()};
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
