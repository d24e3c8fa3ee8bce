#include "copy/CopyModule.h"

#include "runtime/Dialogs.h"
#include "runtime/Drives.h"
#include "runtime/FileAccess.h"
#include "runtime/Numbers.h"
#include "runtime/RtError.h"

#include <algorithm>
#include <optional>

namespace {

const QString kCopyCaption = QStringLiteral("Copy");
const QString kTalmo = QStringLiteral("Talmo");
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
                     rt::MsgStyle::Critical, kTalmo);
}

// One copy, in four stages:
//   checks   - an empty name, no source file, the same file, a source that
//              cannot be opened or a declined replacement refuses the copy:
//              caption back to "Copy", nothing created or left open;
//   opening  - the source read-only (never created), then the destination
//              (created with the source's permissions if missing); a failure
//              reports which file and why;
//   pieces   - 1048576 bytes while that many remain, then 1024; after each the
//              bar and both captions are set and the window gets one yield; a
//              Stop (Copying false) takes effect at the loop test after the
//              piece. A piece whose read fails becomes zeros, so every source
//              byte keeps its offset; a failed write ends the loop;
//   ending   - a completed copy is cut to length and announced; a stopped or
//              failed one is deleted (a failed one then says why). The caption
//              returns to "Copy" in every case.
void CopyModule::StartCopy()
{
    const RunningScope running(m_running);

    SourceFile = GetSourcePath();
    DestFile = GetDestPath();

    rt::File source;
    rt::File dest;
    if (!openFiles(source, dest)) {
        refuse();
        return;
    }

    rt::Transfer transfer;
    Outcome outcome = copyPieces(source, dest, transfer);

    if (Copying && !outcome.writeError) {
        try {
            dest.setLength(outcome.length);
        } catch (const rt::RtError &e) {
            outcome.writeError = e.reason();
        }
    }
    source.close();
    if (const int closeError = dest.close(); closeError != 0 && !outcome.writeError)
        outcome.writeError = rt::reasonFromErrno(closeError);

    if (Copying && !outcome.writeError) {
        if (outcome.unreadBytes > 0)
            m_dialogs.msgBox(QStringLiteral("File Copy Completed.") + rt::kCrLf
                                 + QStringLiteral("%1 bytes could not be read and were written as zeros.")
                                       .arg(outcome.unreadBytes),
                             rt::MsgStyle::Exclamation);
        else
            m_dialogs.msgBox(QStringLiteral("File Copy Completed."), rt::MsgStyle::Information);
    } else {
        // Stopped, or not all of it could be written: no partial file stays
        // behind. The file written is deleted, not a link that led to it.
        try {
            dest.deleteFromDisk();
        } catch (const rt::RtError &) {
            // Nothing more can be done about a file that cannot be deleted.
        }
        if (outcome.writeError)
            m_dialogs.msgBox(QStringLiteral("The destination file could not be written.") + rt::kCrLf
                                 + *outcome.writeError,
                             rt::MsgStyle::Critical, kTalmo);
    }
    m_form.cmdCopy->setCaption(kCopyCaption);
    m_form.KorBar->refresh();
}

bool CopyModule::openFiles(rt::File &source, rt::File &dest)
{
    if (m_form.txtDest->text().isEmpty()) {
        m_dialogs.msgBox(QStringLiteral("No Destination file name is specified.") + rt::kCrLf
                             + QStringLiteral("Please give a file name to be created."),
                         rt::MsgStyle::Critical, kTalmo);
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
    // Any file the copy would replace is asked about, whatever letter case or
    // folder part the typed name has.
    if (destExists) {
        const int answer = m_dialogs.msgBox(
            QStringLiteral("A file naming '") + m_form.txtDest->text() + QStringLiteral("' already exists.")
                + rt::kCrLf + QStringLiteral("Do You Want to OverWrite the File."),
            rt::MsgStyle::Critical + rt::MsgStyle::YesNo, kTalmo);
        if (answer != rt::AnswerYes) {
            source.close();
            return false;
        }
    }
    try {
        dest = rt::File::open(DestFile, rt::File::Access::Write, source.permissions());
    } catch (const rt::RtError &e) {
        source.close();
        reportFailure(QStringLiteral("destination"), DestFile, e.reason());
        return false;
    }
    return true;
}

CopyModule::Outcome CopyModule::copyPieces(const rt::File &source, const rt::File &dest, rt::Transfer &transfer)
{
    Outcome outcome;
    qint64 &position = outcome.length; // the same in both files: source byte k lands at destination byte k
    qint64 length = 0;
    int percent = 0;
    bool smallPieces = false;
    bool atEnd = false;

    while (!atEnd && Copying) {
        // The open source's own length: picking another file in the list
        // during the copy must not change the pieces or the percentage.
        try {
            length = source.length();
        } catch (const rt::RtError &) {
            // Keep the last length; the read below reports the real trouble.
        }
        if (!smallPieces && length - position < kLargePiece)
            smallPieces = true;
        const qint64 piece = smallPieces ? kSmallPiece : kLargePiece;

        const rt::PieceResult result = transfer.copy(source, position, dest, position, piece);
        if (result.failure == rt::PieceResult::Failure::Read) {
            // Unreadable: the whole region of a large piece becomes zeros and
            // the copy goes on right after it, at the same offset in both files.
            const qint64 region = std::max<qint64>(0, std::min(position + kLargePiece, length) - position);
            const rt::PieceResult zeros = transfer.writeZeros(dest, position, region);
            if (zeros.failure != rt::PieceResult::Failure::None)
                outcome.writeError = rt::reasonFromErrno(zeros.osError);
            outcome.unreadBytes += region;
            position += region;
            if (region == 0)
                atEnd = true;
        } else {
            position += result.bytes;
            if (result.failure == rt::PieceResult::Failure::Write)
                outcome.writeError = rt::reasonFromErrno(result.osError);
            else if (result.bytes < piece)
                atEnd = true;
        }

        if (length > 0)
            percent = static_cast<int>(std::min<qint64>(
                100, rt::toWholeHalfEven(rt::roundHalfEven(double(position) / double(length) * 100, 2))));
        m_form.KorBar->setBarValue(static_cast<float>(percent));
        m_form.lblCopied->setCaption(rt::megabytesText(position));
        m_form.lblInputLoc->setCaption(QString::number(position));
        rt::yieldToEvents();

        if (outcome.writeError)
            break;
    }
    return outcome;
}
