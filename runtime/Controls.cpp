#include "runtime/Controls.h"

#include "runtime/Drives.h"
#include "runtime/FileAccess.h"
#include "runtime/RtError.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleFactory>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <utility>

namespace rt {

namespace {

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

// Marks the control that has the keyboard focus: a dotted rectangle in black
// or white, whichever stands out against the colour beneath it.
void drawFocusMark(QWidget *on, const QRect &rect, const QColor &beneath)
{
    QPainter painter(on);
    QPen pen(qGray(beneath.rgb()) < 128 ? Qt::white : Qt::black, 1, Qt::DotLine);
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect.adjusted(0, 0, -1, -1));
}

// Draws a list's rows: indented by their level, cut with an ellipsis where the
// list is too narrow, the full name then shown as a tooltip; each row as high
// as the list says.
class RowDelegate : public QStyledItemDelegate {
public:
    explicit RowDelegate(FolderBoundList *list) : QStyledItemDelegate(list), m_list(list) {}

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const override
    {
        return QSize(1, m_list->rowHeight()); // as wide as the list, never wider
    }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        QStyleOptionViewItem indented(option);
        indented.rect.setLeft(option.rect.left() + indent(option, index));
        QStyledItemDelegate::paint(painter, indented, index);
    }

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override
    {
        if (event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QString text = index.data(Qt::DisplayRole).toString();
        const int iconWidth = index.data(Qt::DecorationRole).isNull() ? 0 : view->iconSize().width() + 6;
        const int room = option.rect.width() - indent(option, index) - iconWidth - 6;
        if (option.fontMetrics.horizontalAdvance(text) > room)
            QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
        else
            QToolTip::hideText();
        return true;
    }

private:
    static int indent(const QStyleOptionViewItem &option, const QModelIndex &index)
    {
        return index.data(NameListModel::LevelRole).toInt() * option.fontMetrics.horizontalAdvance(QStringLiteral("  "));
    }

    FolderBoundList *m_list;
};

// What a screen reader hears of a drive list: its own name ("Source drive"),
// then the drive chosen as its value. Qt's own combo box on Linux gives the
// chosen drive as the name and leaves the name to a label, which these boxes
// do not have.
class DriveListAccessible : public QAccessibleWidget {
public:
    explicit DriveListAccessible(DriveList *list) : QAccessibleWidget(list, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override
    {
        const auto *list = static_cast<const DriveList *>(widget());
        if (t == QAccessible::Name && !list->accessibleName().isEmpty())
            return list->accessibleName();
        if (t == QAccessible::Value)
            return list->currentText();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override
    {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }
    void doAction(const QString &action) override
    {
        if (action == showMenuAction())
            static_cast<DriveList *>(widget())->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }
};

QAccessibleInterface *driveListAccessible(const QString &className, QObject *object)
{
    if (className == QLatin1String(DriveList::staticMetaObject.className()) && object->isWidgetType())
        return new DriveListAccessible(static_cast<DriveList *>(object));
    return nullptr;
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

// ---- CommandButton, TextBox -------------------------------------------------

bool CommandButton::event(QEvent *event)
{
    // Qt presses a button for its access key only after a short animation, by
    // then a copy may have run on by a piece; a click is handled at once.
    if (event->type() == QEvent::Shortcut && isEnabled()
        && !static_cast<QShortcutEvent *>(event)->isAmbiguous()) {
        click();
        return true;
    }
    return QPushButton::event(event);
}

void CommandButton::keyPressEvent(QKeyEvent *event)
{
    if (isEnterKey(event) && event->modifiers() == Qt::NoModifier) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

void CommandButton::paintEvent(QPaintEvent *event)
{
    QPushButton::paintEvent(event);
    if (hasFocus())
        drawFocusMark(this, rect().adjusted(4, 4, -4, -4), palette().color(QPalette::Button));
}

void TextBox::paintEvent(QPaintEvent *event)
{
    QLineEdit::paintEvent(event);
    if (hasFocus())
        drawFocusMark(this, rect().adjusted(1, 1, -1, -1), palette().color(QPalette::Base));
}

void ProgressBar::refresh()
{
    DisplayPacer::instance().flush();
    repaint();
}

// ---- DriveList --------------------------------------------------------------

DriveList::DriveList(QWidget *parent) : QComboBox(parent), m_letter(Drives::instance().currentDrive())
{
    static const bool accessibleInstalled = (QAccessible::installFactory(driveListAccessible), true);
    Q_UNUSED(accessibleInstalled);
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

void DriveList::paintEvent(QPaintEvent *)
{
    // As QComboBox draws itself, but a label too long for the box ends in "…".
    QStylePainter painter(this);
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    const int iconWidth = option.currentIcon.isNull() ? 0 : option.iconSize.width() + 4;
    option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideRight, field.width() - 2 - iconWidth);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    painter.end();
    if (hasFocus())
        drawFocusMark(this, rect().adjusted(2, 2, -2, -2), palette().color(QPalette::Base));
}

void DriveList::changeEvent(QEvent *event)
{
    QComboBox::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        // The drop-down shows the box's own colours.
        view()->setPalette(palette());
        if (QWidget *container = view()->parentWidget())
            container->setPalette(palette());
    }
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

// ---- NameListModel ----------------------------------------------------------

NameListModel::NameListModel(QObject *parent, bool folders) : QAbstractListModel(parent), m_folders(folders)
{
    if (m_folders) {
        m_openIcon = QApplication::style()->standardIcon(QStyle::SP_DirOpenIcon);
        m_closedIcon = QApplication::style()->standardIcon(QStyle::SP_DirClosedIcon);
    }
}

void NameListModel::fill(const QString &folder, QStringList names, const QStringList &openPaths)
{
    beginResetModel();
    m_folder = folder;
    m_openPaths = openPaths;
    m_names = std::move(names);
    endResetModel();
}

QString NameListModel::text(int row) const
{
    if (row < 0 || row >= rowCount())
        return QString();
    if (row < openRows()) {
        const QString &path = m_openPaths.at(row);
        return row == 0 ? path : path.mid(path.lastIndexOf(u'\\') + 1);
    }
    return m_names.at(row - openRows());
}

int NameListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_openPaths.size() + m_names.size());
}

QVariant NameListModel::data(const QModelIndex &index, int role) const
{
    const int row = index.row();
    if (!index.isValid() || row >= rowCount())
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return text(row);
    case Qt::DecorationRole:
        if (!m_folders)
            return QVariant();
        return row < openRows() ? m_openIcon : m_closedIcon;
    case PathRole:
        return row < openRows() ? m_openPaths.at(row) : childPath(m_folder, m_names.at(row - openRows()));
    case LevelRole:
        return std::min(row, openRows());
    default:
        return QVariant();
    }
}

// ---- FolderBoundList ----------------------------------------------------------

StartFolder readStartFolder()
{
    const QChar letter = Drives::instance().currentDrive();
    StartFolder start;
    try {
        start.path = Drives::instance().normalize(Drives::instance().currentFolder(letter));
        start.entries = listFolderEntries(start.path);
    } catch (const RtError &) {
        start.path = QStringLiteral("%1:\\").arg(letter.toUpper());
        start.entries = {};
    }
    return start;
}

FolderBoundList::FolderBoundList(QWidget *parent, bool folders)
    : QListView(parent), m_model(new NameListModel(this, folders))
{
    setModel(m_model);
    setItemDelegate(new RowDelegate(this));
    setUniformItemSizes(true); // a folder of 100,000 names paints in milliseconds
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setTextElideMode(Qt::ElideRight);
    if (folders) {
        const int icon = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
        setIconSize(QSize(icon, icon));
    }
    // What lies below the last whole row is painted as the list, not the frame.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

QString FolderBoundList::readFolder(const QString &path, EntryKind kind, QStringList *names) const
{
    const QString normalized = Drives::instance().normalize(path);
    if (!folderExists(normalized))
        throw RtError(ErrPathNotFound, QStringLiteral("Path not found"));
    *names = listFolder(normalized, kind);
    return normalized;
}

int FolderBoundList::currentRow() const
{
    return currentIndex().isValid() ? currentIndex().row() : -1;
}

void FolderBoundList::setCurrentRow(int row)
{
    setCurrentIndex(m_model->index(row, 0));
}

int FolderBoundList::rowHeight() const
{
    // A line of text, or a folder picture where the list has them.
    const int icon = m_model->hasPictures() ? iconSize().height() : 0;
    return std::max(fontMetrics().height(), icon) + 2;
}

void FolderBoundList::fitWholeRows()
{
    // As a list box that sizes itself to whole rows: the rows take the most
    // whole rows that fit, and the rest of the height lies below them.
    const int height = contentsRect().height();
    const int slack = height > rowHeight() ? height % rowHeight() : 0;
    if (viewportMargins().bottom() != slack)
        setViewportMargins(0, 0, 0, slack);
}

void FolderBoundList::resizeEvent(QResizeEvent *event)
{
    fitWholeRows();
    QListView::resizeEvent(event);
}

void FolderBoundList::changeEvent(QEvent *event)
{
    QListView::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
        fitWholeRows();
        scheduleDelayedItemsLayout();
    }
}

void FolderBoundList::paintEvent(QPaintEvent *event)
{
    QListView::paintEvent(event);
    if (hasFocus())
        drawFocusMark(viewport(), viewport()->rect(), palette().color(QPalette::Base));
}

void FolderBoundList::mousePressEvent(QMouseEvent *event)
{
    const int button = buttonCode(event->button());
    // A press on no entry keeps the choice, as in a list box.
    if (button == MouseButton::Left && indexAt(event->position().toPoint()).isValid())
        QListView::mousePressEvent(event);
    else if (button == MouseButton::Left)
        setFocus(Qt::MouseFocusReason);
    emit mouseDown(button, shiftState(event->modifiers()), twips(event->position().x()),
                   twips(event->position().y()));
}

void FolderBoundList::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        QListView::mouseReleaseEvent(event);
}

void FolderBoundList::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && indexAt(event->position().toPoint()).isValid())
        QListView::mouseDoubleClickEvent(event);
}

// ---- FolderList -------------------------------------------------------------

FolderList::FolderList(QWidget *parent) : FolderList(parent, readStartFolder()) {}

FolderList::FolderList(QWidget *parent, const StartFolder &start) : FolderBoundList(parent, true)
{
    m_path = start.path;
    fill(start.entries.folders);
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        openRow(index.row());
    });
}

QString FolderList::itemPath(int row) const
{
    return m_model->index(row, 0).data(NameListModel::PathRole).toString();
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
    QStringList openPaths{m_path.left(3)};
    for (const QString &name : m_path.mid(3).split(u'\\', Qt::SkipEmptyParts))
        openPaths.append(childPath(openPaths.last(), name));
    m_model->fill(m_path, subfolders, openPaths);
    setCurrentRow(m_model->openRows() - 1);
}

void FolderList::setPath(const QString &path)
{
    QStringList subfolders;
    const QString normalized = readFolder(path, EntryKind::Folders, &subfolders);
    if (normalized == m_path) {
        fill(subfolders); // read again: the open folder is highlighted again
        return;
    }
    m_path = normalized;
    fill(subfolders);
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

void FolderList::openRow(int row)
{
    if (row < 0 || row >= count())
        return;
    const QString folder = itemPath(row);
    try {
        setPath(folder);
    } catch (const RtError &e) {
        // Show what is there now, then say why the folder did not open.
        refresh();
        emit openFailed(folder, e.reason());
    }
}

void FolderList::keyPressEvent(QKeyEvent *event)
{
    if (isEnterKey(event)) {
        openRow(currentRow());
        return;
    }
    QListView::keyPressEvent(event);
}

// ---- FileList ---------------------------------------------------------------

FileList::FileList(QWidget *parent) : FileList(parent, readStartFolder()) {}

FileList::FileList(QWidget *parent, const StartFolder &start) : FolderBoundList(parent, false)
{
    m_path = start.path;
    m_model->fill(m_path, start.entries.files);
    connect(this, &QAbstractItemView::clicked, this, [this] { emit click(); });
}

void FileList::fill()
{
    QStringList names;
    try {
        names = listFolder(m_path, EntryKind::Files);
    } catch (const RtError &) {
        // A folder that has gone or cannot be read lists no files.
    }
    m_model->fill(m_path, std::move(names));
}

void FileList::setPath(const QString &path)
{
    QStringList names;
    const QString normalized = readFolder(path, EntryKind::Files, &names);
    if (normalized == m_path)
        return;
    m_path = normalized;
    m_model->fill(m_path, std::move(names));
}

QString FileList::fileName() const
{
    const QModelIndexList selected = selectionModel()->selectedIndexes();
    return selected.isEmpty() ? QString() : m_model->text(selected.first().row());
}

void FileList::select(const QString &name)
{
    const qsizetype row = m_model->names().indexOf(name);
    if (row >= 0)
        setCurrentRow(int(row));
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
    QListView::keyPressEvent(event);
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
