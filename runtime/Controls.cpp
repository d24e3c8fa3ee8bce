#include "runtime/Controls.h"

#include "runtime/Drives.h"
#include "runtime/FileAccess.h"
#include "runtime/RtError.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleFactory>

#include <algorithm>
#include <cmath>
#include <utility>

namespace rt {

namespace {

constexpr int kPathRole = Qt::UserRole;
QPointer<DisplayPacer> s_pacer;

int shiftState(Qt::KeyboardModifiers modifiers)
{
    return (modifiers & Qt::ShiftModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0)
        | (modifiers & Qt::AltModifier ? 4 : 0);
}

int buttonCode(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton: return MouseButton::Left;
    case Qt::RightButton: return MouseButton::Right;
    case Qt::MiddleButton: return MouseButton::Middle;
    default: return 0;
    }
}

// MouseDown reports its position in twips, 15 to a pixel.
float twips(qreal pixels) { return static_cast<float>(pixels * 15); }

bool isEnterKey(const QKeyEvent *event)
{
    return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

QString childPath(const QString &folder, const QString &name)
{
    return isRootPath(folder) ? folder + name : folder + u'\\' + name;
}

} // namespace

// ---- DisplayPacer -----------------------------------------------------------

DisplayPacer::DisplayPacer(QObject *parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &DisplayPacer::flush);
}

DisplayPacer &DisplayPacer::instance()
{
    if (!s_pacer)
        s_pacer = new DisplayPacer(QCoreApplication::instance());
    return *s_pacer;
}

void DisplayPacer::post(PacedControl *control)
{
    if (!control->m_waiting) {
        control->m_waiting = true;
        m_waiting.append(control);
    }
    if (m_timer.isActive())
        return;
    const qint64 since = m_sinceFlush.isValid() ? m_sinceFlush.elapsed() : kFrameMs;
    if (since >= kFrameMs)
        flush();
    else
        m_timer.start(static_cast<int>(kFrameMs - since));
}

void DisplayPacer::forget(PacedControl *control)
{
    m_waiting.removeAll(control);
}

void DisplayPacer::flush()
{
    m_timer.stop();
    const QList<PacedControl *> waiting = std::exchange(m_waiting, {});
    for (PacedControl *control : waiting) {
        control->m_waiting = false;
        control->applyToScreen();
    }
    m_sinceFlush.restart();
}

PacedControl::~PacedControl()
{
    if (m_waiting && s_pacer)
        s_pacer->forget(this);
}

// ---- Label, ProgressBar -----------------------------------------------------

Label::Label(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
}

void Label::setCaption(const QString &caption)
{
    if (caption == m_caption)
        return;
    m_caption = caption;
    emit captionSet(m_caption);
    postToScreen();
}

void Label::applyToScreen() { setText(m_caption); }

ProgressBar::ProgressBar(QWidget *parent) : QProgressBar(parent)
{
    // Repainting the bar is most of what the window costs a copy; the Windows
    // style draws a vertical bar in about a fifth of Fusion's time.
    static QPointer<QStyle> s_barStyle;
    if (!s_barStyle) {
        s_barStyle = QStyleFactory::create(QStringLiteral("Windows"));
        if (s_barStyle)
            s_barStyle->setParent(QCoreApplication::instance());
    }
    if (s_barStyle)
        setStyle(s_barStyle);
    setOrientation(Qt::Vertical);
    setRange(0, 100);
    setValue(0);
    // The percentage text would cost ten times the bar's own repaint.
    setTextVisible(false);
}

void ProgressBar::setBarValue(float value)
{
    const int whole = std::clamp(static_cast<int>(std::lround(value)), 0, 100);
    if (whole == m_value)
        return;
    m_value = whole;
    emit barValueSet(m_value);
    postToScreen();
}

void ProgressBar::applyToScreen() { setValue(m_value); }

void ProgressBar::refresh()
{
    DisplayPacer::instance().flush();
    repaint();
}

// ---- DriveList --------------------------------------------------------------

DriveList::DriveList(QWidget *parent) : QComboBox(parent), m_letter(Drives::instance().currentDrive())
{
    fill();
    connect(this, &QComboBox::activated, this, &DriveList::userPicked);
}

QString DriveList::drive() const { return QString(m_letter) + u':'; }

void DriveList::fill()
{
    QList<QChar> letters = Drives::instance().refresh();
    if (!letters.contains(m_letter)) {
        letters.append(m_letter);
        std::sort(letters.begin(), letters.end());
    }
    const QSignalBlocker blocker(this);
    clear();
    for (QChar letter : letters)
        addItem(Drives::instance().displayName(letter), QVariant(QString(letter)));
    setCurrentIndex(findData(QVariant(QString(m_letter))));
}

void DriveList::showPopup()
{
    fill(); // a medium mounted since the last look shows up
    QComboBox::showPopup();
}

void DriveList::userPicked(int index)
{
    const QString letter = itemData(index).toString();
    if (letter.isEmpty() || letter.at(0) == m_letter)
        return;
    m_letter = letter.at(0);
    emit change();
}

void DriveList::setDrive(const QString &drive)
{
    if (drive.isEmpty() || !drive.at(0).isLetter())
        throw RtError(ErrDeviceUnavailable, QStringLiteral("no such drive: \"%1\"").arg(drive));
    const QChar letter = drive.at(0).toLower();
    if (!Drives::instance().isReady(letter))
        throw RtError(ErrDeviceUnavailable, QStringLiteral("drive %1: is not ready").arg(letter));
    if (letter == m_letter)
        return;
    m_letter = letter;
    fill();
    emit change();
}

// ---- FolderBoundList ----------------------------------------------------------

FolderBoundList::FolderBoundList(QWidget *parent, EntryKind kind) : QListWidget(parent), m_kind(kind)
{
    setUniformItemSizes(true); // a folder of 100,000 names paints in milliseconds
    setSelectionMode(QAbstractItemView::SingleSelection);
    // A list starts on the process's current folder.
    const QChar letter = Drives::instance().currentDrive();
    try {
        m_path = readFolder(Drives::instance().currentFolder(letter), &m_startNames);
    } catch (const RtError &) {
        m_path = QStringLiteral("%1:\\").arg(letter.toUpper());
    }
}

QString FolderBoundList::readFolder(const QString &path, QStringList *names) const
{
    const QString normalized = Drives::instance().normalize(path);
    if (!folderExists(normalized))
        throw RtError(ErrPathNotFound, QStringLiteral("Path not found"));
    *names = listFolder(normalized, m_kind);
    return normalized;
}

void FolderBoundList::mousePressEvent(QMouseEvent *event)
{
    const int button = buttonCode(event->button());
    if (button == MouseButton::Left)
        QListWidget::mousePressEvent(event);
    emit mouseDown(button, shiftState(event->modifiers()), twips(event->position().x()),
                   twips(event->position().y()));
}

void FolderBoundList::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        QListWidget::mouseReleaseEvent(event);
}

// ---- FolderList -------------------------------------------------------------

FolderList::FolderList(QWidget *parent) : FolderBoundList(parent, EntryKind::Folders)
{
    fill(std::exchange(m_startNames, {}));
    connect(this, &QListWidget::itemDoubleClicked, this, &FolderList::open);
}

void FolderList::fill()
{
    QStringList subfolders;
    try {
        subfolders = listFolder(m_path, EntryKind::Folders);
    } catch (const RtError &) {
        // An unreadable folder lists no subfolders.
    }
    fill(subfolders);
}

void FolderList::fill(const QStringList &subfolders)
{
    clear();
    const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
    const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
    const QStringList names = m_path.mid(3).split(u'\\', Qt::SkipEmptyParts);

    auto add = [this](const QString &text, const QString &path, int level, const QIcon &icon) {
        auto *item = new QListWidgetItem(icon, QString(level * 2, u' ') + text, this);
        item->setData(kPathRole, path);
        return item;
    };
    QString path = m_path.left(3);
    QListWidgetItem *open = add(path, path, 0, openIcon);
    for (int i = 0; i < names.size(); ++i) {
        path = childPath(path, names.at(i));
        open = add(names.at(i), path, i + 1, openIcon);
    }
    for (const QString &name : subfolders)
        add(name, childPath(m_path, name), static_cast<int>(names.size()) + 1, closedIcon);
    setCurrentItem(open);
}

void FolderList::setPath(const QString &path)
{
    QStringList names;
    const QString normalized = readFolder(path, &names);
    if (normalized == m_path)
        return;
    m_path = normalized;
    fill(names);
    emit change();
}

void FolderList::refresh()
{
    QString path = m_path;
    while (!folderExists(path) && !isRootPath(path))
        path = parentPath(path);
    if (path == m_path || !folderExists(path)) {
        fill();
        return;
    }
    m_path = path;
    fill();
    emit change();
}

void FolderList::open(QListWidgetItem *item)
{
    if (!item)
        return;
    try {
        setPath(item->data(kPathRole).toString());
    } catch (const RtError &) {
        // The folder went away or cannot be read: show what is there now.
        QApplication::beep();
        refresh();
    }
}

void FolderList::keyPressEvent(QKeyEvent *event)
{
    if (isEnterKey(event)) {
        open(currentItem());
        return;
    }
    QListWidget::keyPressEvent(event);
}

// ---- FileList ---------------------------------------------------------------

FileList::FileList(QWidget *parent) : FolderBoundList(parent, EntryKind::Files)
{
    addItems(std::exchange(m_startNames, {}));
    connect(this, &QListWidget::itemClicked, this, [this] { emit click(); });
}

void FileList::fill()
{
    clear();
    try {
        addItems(listFolder(m_path, EntryKind::Files));
    } catch (const RtError &) {
        // A folder that has gone or cannot be read lists no files.
    }
}

void FileList::setPath(const QString &path)
{
    QStringList names;
    const QString normalized = readFolder(path, &names);
    if (normalized == m_path)
        return;
    m_path = normalized;
    clear();
    addItems(names);
}

QString FileList::fileName() const
{
    const QList<QListWidgetItem *> selected = selectedItems();
    return selected.isEmpty() ? QString() : selected.first()->text();
}

void FileList::select(const QString &name)
{
    const QList<QListWidgetItem *> found = findItems(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (!found.isEmpty())
        setCurrentItem(found.first());
}

bool FileList::selectFile(const QString &name)
{
    select(name);
    if (fileName() != name)
        return false;
    emit click();
    return true;
}

void FileList::refresh()
{
    const QString selected = fileName();
    fill();
    if (!selected.isEmpty())
        select(selected);
}

void FileList::keyPressEvent(QKeyEvent *event)
{
    const int before = currentRow();
    QListWidget::keyPressEvent(event);
    if (currentRow() != before && currentRow() >= 0)
        emit click();
}

// ---- free functions ---------------------------------------------------------

void popupMenu(QMenu *menu)
{
    menu->exec(QCursor::pos());
}

void yieldToEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace rt
