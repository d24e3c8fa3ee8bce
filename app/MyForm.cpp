#include "app/MyForm.h"

#include "runtime/controls/Accessibility.h"
#include "runtime/controls/FixedSizeWindow.h"
#include "runtime/media/Drives.h"
#include "runtime/media/MediumWaits.h"
#include "runtime/text/RtError.h"

#include <QAction>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QStringDecoder>
#include <QTimer>

#include <chrono>

MyForm::MyForm(rt::Dialogs *dialogs, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_ownDialogs(dialogs ? nullptr : std::make_unique<rt::QtDialogs>(this))
    , m_dialogs(dialogs ? *dialogs : *m_ownDialogs)
    , m_copy(m_controls, m_dialogs)
    , m_browsing(m_controls, m_copy, m_dialogs)
    , m_desktop(new rt::DesktopNotices(this, [this] { return isActiveWindow(); }))
{
    rt::setEnding(false);
    rt::installAccessibility();
    setObjectName(QStringLiteral("MyForm"));
    setWindowTitle(QStringLiteral("Talmo's File Copy Program"));
    setWindowIcon(makeAppIcon());
    dressWindow(this);
    buildControls(this, m_controls);
    m_announcer = new rt::Announcer(this);
    buildMenus();
    wireEvents();
    // A letter given to a new volume is never one the lists or a copy stand on.
    rt::Drives::instance().setLettersInUse([this] {
        QList<QChar> letters;
        QStringList paths{m_controls.KorDir->path(), m_controls.Dir2->path()};
        if (m_copy.isRunning())
            paths << m_copy.SourceFile << m_copy.DestFile;
        for (const QString &path : paths)
            if (!path.isEmpty())
                letters.append(path.at(0).toLower());
        return letters;
    });
    Form_Load();
    m_controls.cmdCopy->setFocus();
}

MyForm::~MyForm() { rt::Drives::instance().setLettersInUse(nullptr); }


void MyForm::buildMenus()
{
    // Both menus are only ever popped up; the window has no menu bar.
    MyFormControls &c = m_controls;
    c.Talmo = new QMenu(QStringLiteral("Talmo"), this);
    c.Talmo->setObjectName(QStringLiteral("Talmo"));
    c.MD = c.Talmo->addAction(QStringLiteral("Create Folder"));
    c.MD->setObjectName(QStringLiteral("MD"));
    c.Del = c.Talmo->addAction(QStringLiteral("Delete Folder"));
    c.Del->setObjectName(QStringLiteral("Del"));
    c.KorSrc = new QMenu(QStringLiteral("KorSource"), this);
    c.KorSrc->setObjectName(QStringLiteral("KorSrc"));
    c.DelFile = c.KorSrc->addAction(QStringLiteral("Delete File"));
    c.DelFile->setObjectName(QStringLiteral("DelFile"));
}

void MyForm::wireEvents()
{
    MyFormControls &c = m_controls;
    Browsing *b = &m_browsing;
    connect(c.cmdCopy, &QPushButton::clicked, this, &MyForm::cmdCopy_Click);
    connect(c.cmdExit, &QPushButton::clicked, this, &MyForm::cmdExit_Click);
    connect(c.drv2, &rt::DriveList::change, this, [b] { b->drv2_Change(); });
    connect(c.KorDrv, &rt::DriveList::change, this, [b] { b->KorDrv_Change(); });
    connect(c.KorDir, &rt::FolderList::change, this, [b] { b->KorDir_Change(); });
    connect(c.KorFile, &rt::FileList::click, this, [b] { b->KorFile_Click(); });
    connect(c.Dir2, &rt::FolderList::mouseDown, this,
            [b](int button, int shift, float x, float y) { b->Dir2_MouseDown(button, shift, x, y); });
    connect(c.KorFile, &rt::FileList::mouseDown, this,
            [b](int button, int shift, float x, float y) { b->KorFile_MouseDown(button, shift, x, y); });
    for (rt::FolderList *list : {c.KorDir, c.Dir2})
        connect(list, &rt::FolderList::openFailed, this,
                [b](const QString &folder, const QString &reason) { b->folderNotOpened(folder, reason); });
    connect(c.KorBar, &rt::ProgressBar::barValueSet, m_desktop, &rt::DesktopNotices::setProgress);
    // A copy is heard starting with its first figures.
    connect(c.lblInputLoc, &rt::Label::captionSet, this, [this] {
        if (m_copy.isRunning() && !m_startTold)
            m_announcer->say(QStringLiteral("Copy started."));
        m_startTold = m_startTold || m_copy.isRunning();
    });
    m_copy.setEndingHook([desktop = m_desktop, announcer = m_announcer](const CopyModule::Ending &ending) {
        // Every other end is told in a message box.
        if (ending.kind == CopyEnd::Stopped)
            announcer->say(QStringLiteral("Copy stopped.") + (ending.words.isEmpty() ? QString() : u' ' + ending.words));
        using End = rt::DesktopNotices::End;
        End end = End::Failed;
        switch (ending.kind) { // every case: a new way to end must be told the desktop
        case CopyEnd::Completed: end = End::Completed; break;
        case CopyEnd::Stopped: end = End::Stopped; break;
        case CopyEnd::NamedInDoubt: end = End::NamedInDoubt; break;
        case CopyEnd::Refused: end = End::Refused; break;
        case CopyEnd::Failed: break;
        }
        desktop->copyEnded(end, ending.destination, ending.words);
    });
    connect(c.MD, &QAction::triggered, this, [b] { b->MD_Click(); });
    connect(c.Del, &QAction::triggered, this, [b] { b->Del_Click(); });
    connect(c.DelFile, &QAction::triggered, this, [b] { b->DelFile_Click(); });
}

void MyForm::showCentred()
{
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.center() - QPoint(width() / 2, height() / 2));
    }
    rt::keepNormalState(this);
    show();
    m_controls.cmdCopy->setFocus();
}

void MyForm::Form_Load()
{
    for (rt::DriveList *list : {m_controls.drv2, m_controls.KorDrv}) {
        try {
            list->setDrive(QStringLiteral("c:"));
        } catch (const rt::RtError &) {
            // Without drive C: the window still opens, on whatever drive it had.
            m_dialogs.msgBox(rt::kDeviceUnavailable, rt::MsgStyle::Information);
        }
    }
}

void MyForm::openFolder(const QString &drivePath)
{
    const MyFormControls &c = m_controls;
    const std::pair<rt::DriveList *, rt::FolderList *> sides[] = {{c.KorDrv, c.KorDir}, {c.drv2, c.Dir2}};
    for (const auto &[drive, folders] : sides) {
        try {
            drive->setDrive(drivePath.left(2));
            folders->setPath(drivePath);
        } catch (const rt::RtError &e) {
            if (e.number() == rt::ErrDeviceUnavailable)
                m_dialogs.msgBox(rt::kDeviceUnavailable, rt::MsgStyle::Information);
            else
                m_browsing.folderNotOpened(drivePath, e.reason());
        }
    }
}

namespace {

// A name as a message can show it: bytes that are not UTF-8 as \xHH.
QString printableName(const QByteArray &name, bool *valid)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(name);
    *valid = !utf8.hasError();
    if (*valid)
        return decoded;
    QString escaped;
    for (const char byte : name) {
        if (byte >= 0x20 && byte < 0x7f)
            escaped += QChar(byte);
        else
            escaped += QStringLiteral("\\x") + QString::number(uchar(byte), 16).toUpper().rightJustified(2, u'0');
    }
    return escaped;
}

} // namespace

void MyForm::openFile(const QString &folderDrivePath, const QByteArray &name)
{
    openFolder(folderDrivePath);
    bool valid = false;
    const QString shown = printableName(name, &valid);
    if (valid && m_controls.KorFile->selectFile(shown))
        return;
    QTimer::singleShot(0, this, [this, shown] {
        m_dialogs.msgBox(QStringLiteral("'%1' is not shown in the file list: hidden files and names that are not "
                                        "valid UTF-8 are not listed. Its folder is open.")
                             .arg(shown),
                         rt::MsgStyle::Information, rt::kTitleTalmo);
    });
}

void MyForm::cmdCopy_Click()
{
    // The run state, not the caption's text, tells a start from a stop: a
    // "Copy" click that arrives inside a running copy's yield (a Stop and a
    // click pending together) must not start a copy within the copy.
    if (m_copy.isRunning()) {
        // A copy left to a silent drive: one copy at a time, so none starts.
        if (m_copy.isStalled()) {
            m_copy.tellStalled();
        } else {
            m_copy.Stop();
            m_announcer->hold(QStringLiteral("Stopping the copy."));
        }
        return;
    }
    m_startTold = false;
    m_copy.Copying = true;
    m_desktop->copyStarted();
    m_copy.StartCopy();
    // A copy that ended told the desktop as it ended; one refused never began.
    if (m_copy.lastEnding().kind == CopyEnd::Refused)
        m_desktop->copyEnded(rt::DesktopNotices::End::Refused, QString());
}

void MyForm::cmdExit_Click()
{
    // The program's time to end runs from the click: the question counts.
    const auto clicked = std::chrono::steady_clock::now();
    if (m_dialogs.msgBox(QStringLiteral("Do You Really Want To Exit Talmo's 'DUPLON'."),
                         rt::MsgStyle::Exclamation + rt::MsgStyle::YesNo, rt::kTitleTalmo)
        == rt::AnswerYes) {
        rt::endAskedAt(clicked);
        close();
    }
}

void MyForm::closeEvent(QCloseEvent *event)
{
    // The window goes at once, and the program begins to end: no wait on a
    // medium holds it. A running copy stops once the operation in flight
    // returns, removes its partial file (a rescue is kept, with its map,
    // without a question), and the program then ends as the click that
    // started the copy returns; an operation that does not return within the
    // end's limit of the click on Exit or the close box is left to its
    // medium, and the program ends then.
    rt::setEnding(true);
    if (m_copy.isRunning())
        m_copy.Leave();
    event->accept();
}
