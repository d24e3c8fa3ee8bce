#include "browse/Browsing.h"

#include "copy/CopyModule.h"
#include "runtime/media/OnMedium.h"
#include "runtime/Dialogs.h"
#include "runtime/controls/InputEvents.h"
#include "runtime/controls/PopupMenu.h"
#include "runtime/media/Drives.h"
#include "runtime/media/NameRules.h"
#include "runtime/files/FileAccess.h"
#include "runtime/text/NumberText.h"
#include "runtime/text/RtError.h"

Browsing::Browsing(MyFormControls &form, CopyModule &copy, rt::Dialogs &dialogs)
    : m_form(form), m_copy(copy), m_dialogs(dialogs)
{
}

void Browsing::follow(const std::function<void()> &assign, int unavailableStyle)
{
    try {
        assign();
    } catch (const rt::RtError &e) {
        // Only a drive that is not ready is worth a word; the target list keeps
        // its folder either way.
        if (e.number() == rt::ErrDeviceUnavailable)
            m_dialogs.msgBox(rt::kDeviceUnavailable, unavailableStyle);
    }
}

void Browsing::drv2_Change()
{
    follow([this] { m_form.Dir2->setPath(m_form.drv2->drive()); }, rt::MsgStyle::Information);
}

void Browsing::KorDrv_Change()
{
    follow([this] { m_form.KorDir->setPath(m_form.KorDrv->drive()); }, rt::MsgStyle::Information);
}

void Browsing::KorDir_Change()
{
    // A folder the folder list has just read comes with its files, so a slow
    // medium lists it once.
    follow([this] {
        if (std::optional<QStringList> files = m_form.KorDir->takeFiles())
            m_form.KorFile->showFolder(m_form.KorDir->path(), *files);
        else
            m_form.KorFile->setPath(m_form.KorDir->path());
    }, rt::MsgStyle::Ok);
}

void Browsing::KorFile_Click()
{
    // The size is read off the window's thread; a later click meanwhile wins.
    const int click = ++m_clicks;
    m_form.txtDest->setText(m_form.KorFile->fileName());
    m_copy.SourceFile = m_form.KorFile->path() + u'\\' + m_form.KorFile->fileName();
    try {
        const qint64 length = rt::onMedium(m_copy.SourceFile, [path = m_copy.SourceFile] { return rt::fileLength(path); });
        if (click == m_clicks)
            m_form.lblBytes->setCaption(QStringLiteral("Source File Size: ") + rt::megabytesText(length));
    } catch (const rt::RtError &e) {
        if (click != m_clicks)
            return;
        m_dialogs.msgBox(QStringLiteral("The size of %1 could not be read.").arg(rt::displayPath(m_copy.SourceFile))
                             + rt::kCrLf + e.reason(),
                         rt::MsgStyle::Critical, rt::kTitleTalmo);
    }
}

void Browsing::Dir2_MouseDown(int button, int, float, float)
{
    if (button == rt::MouseButton::Right)
        rt::popupMenu(m_form.Talmo);
}

void Browsing::KorFile_MouseDown(int button, int, float, float)
{
    if (button == rt::MouseButton::Right)
        rt::popupMenu(m_form.KorSrc);
}

void Browsing::MD_Click()
{
    const QString answer = m_dialogs.inputBox(QStringLiteral("Enter the Desired Folder's Name: "),
                                              QStringLiteral("Folder Name"), QStringLiteral("KorFolder"));
    if (answer.isEmpty())
        return; // Cancel
    if (rt::leadsOutsideFolder(answer)) {
        m_dialogs.msgBox(rt::outsideFolderText(QStringLiteral("folder"), answer), rt::MsgStyle::Critical, rt::kTitleTalmo);
        return;
    }
    const QString folder = m_form.Dir2->path() + u'\\' + answer;
    try {
        rt::onMedium(folder, [folder] { rt::makeDir(folder); });
    } catch (const rt::RtError &e) {
        m_dialogs.msgBox(QStringLiteral("The folder %1 could not be created.").arg(rt::displayPath(folder))
                             + rt::kCrLf + e.reason(),
                         rt::MsgStyle::Critical, rt::kTitleTalmo);
    }
}

void Browsing::Del_Click()
{
    // The question names the folder it acts on, the open one, on a line of its own.
    const QString folder = m_form.Dir2->path();
    const int answer = m_dialogs.msgBox(QStringLiteral("Do You Really Want To Delete The Selected Folder.") + rt::kCrLf
                                            + rt::displayPath(folder),
                                        rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo);
    if (answer == rt::AnswerYes) {
        try {
            rt::onMedium(folder, [folder] { rt::removeDir(folder); });
        } catch (const rt::RtError &e) {
            m_dialogs.msgBox(QStringLiteral("The folder %1 could not be removed.").arg(rt::displayPath(folder)) + rt::kCrLf
                                 + e.reason(),
                             rt::MsgStyle::Critical, rt::kTitleTalmo);
        }
    }
    // Re-reading a folder that is gone moves the list to its parent.
    m_form.Dir2->refresh();
}

void Browsing::DelFile_Click()
{
    try {
        // A file on a drive that does not answer is not deleted either.
        rt::onMedium(m_copy.GetSourcePath(), [file = m_copy.GetSourcePath()] { rt::killFile(file); });
        m_form.KorFile->refresh();
    } catch (const rt::RtError &) {
        m_dialogs.msgBox(QStringLiteral("First Choose The File To Be Deleted."), rt::MsgStyle::Critical, rt::kTitleTalmo);
    }
}

void Browsing::folderNotOpened(const QString &folder, const QString &reason)
{
    m_dialogs.msgBox(QStringLiteral("The folder %1 could not be opened.").arg(rt::displayPath(folder)) + rt::kCrLf
                         + reason,
                     rt::MsgStyle::Critical, rt::kTitleTalmo);
}
