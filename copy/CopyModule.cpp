#include "copy/CopyModule.h"

#include "copy/DestinationChecks.h"

#include "runtime/Destination.h"
#include "runtime/Dialogs.h"
#include "runtime/Drives.h"
#include "runtime/FileAccess.h"
#include "runtime/IoWorker.h"
#include "runtime/Numbers.h"
#include "runtime/RtError.h"

#include <algorithm>
#include <optional>

namespace {

const QString kSelectionTitle = QStringLiteral("Source/Dest Error.");

// Joins a folder and a name with one backslash, unless the folder (a drive's
// root) already ends with one.
QString joinPath(const QString &folder, const QString &name)
{
    return folder.endsWith(u'\\') ? folder + name : folder + u'\\' + name;
}

// Keeps the running flag true for exactly as long as StartCopy is on the stack.
class RunningScope {
public:
    explicit RunningScope(bool &flag) : m_flag(flag) { m_flag = true; }
    ~RunningScope() { m_flag = false; }
    RunningScope(const RunningScope &) = delete;
    RunningScope &operator=(const RunningScope &) = delete;

private:
    bool &m_flag;
};

} // namespace

CopyModule::CopyModule(FormControls &form, rt::Dialogs &dialogs) : m_form(form), m_dialogs(dialogs) {}

QString CopyModule::GetSourcePath() const
{
    // The folder list decides whether a backslash is needed; the parts come
    // from the file list, which the browsing handlers keep on the same folder.
    const QString folder = m_form.KorDir->path();
    if (!folder.endsWith(u'\\'))
        return m_form.KorFile->path() + u'\\' + m_form.KorFile->fileName();
    return m_form.KorFile->path() + m_form.KorFile->fileName();
}

QString CopyModule::GetDestPath() const
{
    return joinPath(m_form.Dir2->path(), m_form.txtDest->text());
}

bool CopyModule::CheckSelection()
{
    if (!m_form.KorFile->fileName().isEmpty() && !DestFile.isEmpty())
        return true;
    m_dialogs.msgBox(QStringLiteral("Choose Source and Destination first."), rt::MsgStyle::Critical,
                     kSelectionTitle);
    m_form.cmdCopy->setCaption(kCopyCaption);
    return false;
}

void CopyModule::refuse()
{
    m_form.cmdCopy->setCaption(kCopyCaption);
}

void CopyModule::reportFailure(const QString &what, const QString &path, const QString &reason)
{
    m_dialogs.msgBox(QStringLiteral("The %1 file %2 could not be opened.").arg(what, rt::displayPath(path))
                         + rt::kCrLf + reason,
                     rt::MsgStyle::Critical, rt::kTitleTalmo);
}

// One copy, in four stages:
//   checks   - an empty name, no source file, the same file, a source that
//              cannot be opened or a declined replacement refuses the copy:
//              caption back to "Copy", nothing created or left open;
//   opening  - the source read-only (never created), then the destination:
//              a new file of the copy's own beside the name (only ever a
//              regular file, or a link to one, is replaced); a failure reports
//              which file and why;
//   passes   - CopyEngine moves the bytes, with the bar, both captions and one
//              yield after every read; a Stop (Copying false) takes effect
//              after the read under way;
//   ending   - a completed copy is cut to length, flushed to the medium,
//              takes the destination's name in one step and is announced,
//              with the count of unreadable bytes and a map of them where
//              there are any; a stopped or failed one is removed and any old
//              file kept (a failed one then says why). The caption returns to
//              "Copy" in every case.
void CopyModule::StartCopy()
{
    const RunningScope running(m_running);
    m_lastEnding = {};

    SourceFile = GetSourcePath();
    DestFile = GetDestPath();

    rt::File source;
    rt::Destination dest;
    if (!openFiles(source, dest)) {
        refuse();
        return;
    }

    rt::IoWorker io;
    CopyEngine engine(source, dest, *this, io);
    CopyEngine::Outcome outcome = engine.run();
    using End = CopyEngine::Outcome::End;

    // The data goes to the medium before the name is taken, and the message
    // waits for both. The flush can take a while on a slow medium, so it runs
    // on the worker with the window live, and a Stop during it still keeps an
    // old file.
    rt::Destination::Committed committed;
    if (outcome.end == End::Completed) {
        try {
            io.run([&] { dest.flush(outcome.length); });
            if (!Copying)
                outcome.end = End::Stopped;
            else
                committed = io.run([&] { return dest.commit(outcome.length); });
        } catch (const rt::RtError &e) {
            outcome.end = End::WriteFailed;
            outcome.reason = e.reason();
        }
    }
    source.close();

    if (outcome.end == End::Completed && (committed.closeError || committed.folderFlushError)) {
        // The copy has its name, and any old file is gone: no failed write,
        // but no "completed" either.
        const QString name = rt::displayPath(DestFile);
        m_dialogs.msgBox(committed.closeError
                             ? QStringLiteral("The file %1 was copied, but the copy under its name may be incomplete.").arg(name)
                                 + rt::kCrLf + rt::reasonFromErrno(committed.closeError)
                             : QStringLiteral("The file %1 was copied, but its folder entry may not yet be on the medium.").arg(name)
                                 + rt::kCrLf + rt::reasonFromErrno(committed.folderFlushError),
                         rt::MsgStyle::Exclamation, rt::kTitleTalmo);
    } else if (outcome.end == End::Completed) {
        announce(engine, outcome);
    } else {
        // Stopped, or not all of it could be copied: what this copy wrote goes,
        // and a file it was to replace stays as it was.
        io.run([&] { dest.abandon(); });
        if (outcome.end == End::WriteFailed)
            m_dialogs.msgBox(QStringLiteral("The destination file %1 could not be written.").arg(rt::displayPath(DestFile))
                                 + rt::kCrLf + outcome.reason,
                             rt::MsgStyle::Critical, rt::kTitleTalmo);
        else if (outcome.end == End::ReadFailed)
            m_dialogs.msgBox(QStringLiteral("The source file %1 could not be read.").arg(rt::displayPath(SourceFile))
                                 + rt::kCrLf + outcome.reason,
                             rt::MsgStyle::Critical, rt::kTitleTalmo);
    }
    using Kind = Ending::Kind;
    m_lastEnding = {outcome.end == End::Completed ? Kind::Completed
                        : outcome.end == End::Stopped ? Kind::Stopped
                                                      : Kind::Failed,
                    rt::displayPath(DestFile)};
    m_form.cmdCopy->setCaption(kCopyCaption);
    m_form.KorBar->refresh();
}

void CopyModule::announce(const CopyEngine &engine, const CopyEngine::Outcome &outcome)
{
    const QString completed = QStringLiteral("File Copy Completed.");
    if (outcome.unreadable == 0) {
        m_dialogs.msgBox(completed, rt::MsgStyle::Information);
        return;
    }
    QString text = completed + rt::kCrLf
        + QStringLiteral("%1 bytes could not be read and were written as zeros.").arg(outcome.unreadable);
    if (outcome.rescued == 0)
        text += rt::kCrLf + QStringLiteral("None of its bytes could be read.");
    bool written = false;
    const QString map = writeMap(engine.map(), written);
    text += rt::kCrLf
        + (written ? QStringLiteral("A map of the unreadable parts was written to %1.").arg(map)
                   : QStringLiteral("The map of the unreadable parts could not be written: %1").arg(map));
    m_dialogs.msgBox(text, rt::MsgStyle::Exclamation);
}

QString CopyModule::writeMap(const RescueMap &map, bool &written)
{
    const QByteArray contents = map.mapfile(
        (QStringLiteral("duplon ") + rt::displayPath(SourceFile) + u' ' + rt::displayPath(DestFile)).toUtf8());
    // Never over an existing file: "name.map", then "name.1.map", "name.2.map" ...
    for (int n = 0; n < 1000; ++n) {
        const QString name = n == 0 ? DestFile + QStringLiteral(".map")
                                    : DestFile + QStringLiteral(".%1.map").arg(n);
        try {
            if (rt::createNewFile(name, contents)) {
                written = true;
                return rt::displayPath(name);
            }
        } catch (const rt::RtError &e) {
            return e.reason();
        }
    }
    return QStringLiteral("no free name beside the copy");
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

bool CopyModule::openFiles(rt::File &source, rt::Destination &dest)
{
    if (m_form.txtDest->text().isEmpty()) {
        m_dialogs.msgBox(QStringLiteral("No Destination file name is specified.") + rt::kCrLf
                             + QStringLiteral("Please give a file name to be created."),
                         rt::MsgStyle::Critical, rt::kTitleTalmo);
        m_form.txtDest->setFocus();
        return false;
    }
    if (!CheckSelection())
        return false;

    bool destExists = false;
    try {
        if (rt::sameFile(SourceFile, DestFile)) {
            m_dialogs.msgBox(QStringLiteral("Source and destination are the same file."),
                             rt::MsgStyle::Critical, kSelectionTitle);
            return false;
        }
        destExists = !rt::findFile(DestFile).isEmpty();
    } catch (const rt::RtError &e) {
        reportFailure(QStringLiteral("destination"), DestFile, e.reason());
        return false;
    }
    // A source that cannot be read is reported before anyone is asked to give
    // up the file it would replace.
    try {
        source = rt::File::open(SourceFile, rt::File::Access::Read);
    } catch (const rt::RtError &e) {
        reportFailure(QStringLiteral("source"), SourceFile, e.reason());
        return false;
    }
    // The medium's limits, room and name rules, before anything is asked or written.
    rt::IoWorker io;
    DestinationPlan plan = checkDestination(SourceFile, DestFile, source, destExists, m_dialogs, io);
    if (plan.refused) {
        source.close();
        return false;
    }
    // Any file the copy would replace is asked about, whatever letter case or
    // folder part the typed name has.
    if (destExists || plan.replacesCaseTwin()) {
        const int answer = m_dialogs.msgBox(
            QStringLiteral("A file naming '") + m_form.txtDest->text() + QStringLiteral("' already exists.")
                + rt::kCrLf + QStringLiteral("Do You Want to OverWrite the File."),
            rt::MsgStyle::Critical + rt::MsgStyle::YesNo, rt::kTitleTalmo);
        if (answer != rt::AnswerYes || !confirmInPlace(plan, DestFile, m_dialogs)) {
            source.close();
            return false;
        }
    }
    try {
        dest = rt::Destination::prepare(DestFile, source.permissions(), plan.options);
    } catch (const rt::RtError &e) {
        source.close();
        reportFailure(QStringLiteral("destination"), DestFile, e.reason());
        return false;
    }
    return true;
}
