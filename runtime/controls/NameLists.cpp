#include "runtime/controls/NameLists.h"

#include "runtime/controls/InputEvents.h"
#include "runtime/media/OnMedium.h"
#include "runtime/media/Drives.h"
#include "runtime/files/FileAccess.h"
#include "runtime/controls/FolderPictures.h"
#include "runtime/text/RtError.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QToolTip>

#include <algorithm>
#include <utility>

namespace rt {

namespace {

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
        // The open folder tells where it is: its full path, which its name alone
        // does not show.
        const auto *model = static_cast<const NameListModel *>(index.model());
        const QString path = index.data(NameListModel::PathRole).toString();
        const bool openFolder = model->hasPictures() && index.row() == model->openRows() - 1 && path != text;
        if (openFolder)
            QToolTip::showText(event->globalPos(), path, view->viewport(), option.rect);
        else if (option.fontMetrics.horizontalAdvance(text) > room)
            QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
        else
            QToolTip::hideText();
        return true;
    }

private:
    static int indent(const QStyleOptionViewItem &option, const QModelIndex &index)
    {
        // Two spaces a level, but all levels together at most a third of the
        // row: deep down, the ancestors' steps narrow so that the open folder
        // and its subfolders keep room for their names.
        const int deepest = std::max(static_cast<const NameListModel *>(index.model())->openRows(), 1);
        const int step = std::min(option.fontMetrics.horizontalAdvance(QStringLiteral("  ")),
                                  option.rect.width() / 3 / deepest);
        return index.data(NameListModel::LevelRole).toInt() * step;
    }

    FolderBoundList *m_list;
};

} // namespace

// ---- NameListModel ----------------------------------------------------------

NameListModel::NameListModel(QObject *parent, bool folders) : QAbstractListModel(parent), m_folders(folders)
{
    if (m_folders) {
        m_openIcon = folderIcon(true);
        m_closedIcon = folderIcon(false);
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
        return text(row);
    case Qt::AccessibleTextRole:
        // What the picture and the indentation show, for a screen reader:
        // "Pictures, open folder, level 3".
        if (!m_folders)
            return text(row);
        return QStringLiteral("%1, %2, level %3")
            .arg(text(row), row < openRows() ? QStringLiteral("open folder") : QStringLiteral("subfolder"))
            .arg(std::min(row, openRows()) + 1);
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

std::optional<QString> FolderBoundList::readFolder(const QString &path, FolderEntries *entries)
{
    const int read = beginRead();
    try {
        const QString normalized = Drives::instance().normalize(path);
        *entries = onMedium(normalized, [normalized] {
            if (!folderExists(normalized))
                throw RtError(ErrPathNotFound, QStringLiteral("Path not found"));
            return listFolderEntries(normalized);
        });
        if (!isLatest(read))
            return std::nullopt;
        return normalized;
    } catch (const RtError &) {
        if (!isLatest(read))
            return std::nullopt;
        throw;
    }
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
    const QModelIndex entry = indexAt(event->position().toPoint());
    // A press on no entry keeps the choice, as in a list box.
    if (button == MouseButton::Left && entry.isValid())
        QListView::mousePressEvent(event);
    else if (button == MouseButton::Left)
        setFocus(Qt::MouseFocusReason);
    else if (button == MouseButton::Right && entry.isValid())
        selectForMenu(entry);
    emit mouseDown(button, shiftState(event->modifiers()), twips(event->position().x()),
                   twips(event->position().y()));
}

bool FolderBoundList::menuKeyPressed(QKeyEvent *event)
{
    if (!isMenuKey(event))
        return false;
    selectForMenu(currentIndex());
    // The menu opens beside the current row (the top of the list when there is
    // none), through the same MouseDown a right press raises: the handlers
    // open their menus for it.
    QPoint at(0, 0);
    if (currentIndex().isValid()) {
        scrollTo(currentIndex());
        const QRect row = visualRect(currentIndex());
        at = QPoint(row.left() + row.height(), row.center().y());
    }
    const KeyboardMenuAnchor anchor(viewport()->mapToGlobal(at));
    emit mouseDown(MouseButton::Right, shiftState(event->modifiers()), twips(at.x()), twips(at.y()));
    return true;
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
    fill(start.entries);
    connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex &index) {
        openRow(index.row());
    });
}

QString FolderList::itemPath(int row) const
{
    return m_model->index(row, 0).data(NameListModel::PathRole).toString();
}

void FolderList::fill(const FolderEntries &entries)
{
    QStringList openPaths{m_path.left(3)};
    for (const QString &name : m_path.mid(3).split(u'\\', Qt::SkipEmptyParts))
        openPaths.append(childPath(openPaths.last(), name));
    m_files = entries.files;
    m_model->fill(m_path, entries.folders, openPaths);
    setCurrentRow(m_model->openRows() - 1);
}

void FolderList::setPath(const QString &path)
{
    FolderEntries entries;
    const std::optional<QString> normalized = readFolder(path, &entries);
    if (!normalized)
        return;
    if (*normalized == m_path) {
        fill(entries); // read again: the open folder is highlighted again
        return;
    }
    m_path = *normalized;
    fill(entries);
    emit change();
}

void FolderList::refresh()
{
    // The open folder, or the nearest ancestor still there, read in one call
    // on the medium; an unreadable folder lists nothing.
    struct Look {
        QString path;
        bool found = false;
        FolderEntries entries;
    };
    const int read = beginRead();
    Look look{m_path, false, {}};
    try {
        look = onMedium(m_path, [open = m_path] {
            Look look{open, false, {}};
            while (!folderExists(look.path) && !isRootPath(look.path))
                look.path = parentPath(look.path);
            look.found = folderExists(look.path);
            try {
                look.entries = listFolderEntries(look.found ? look.path : open);
            } catch (const RtError &) {
            }
            return look;
        });
    } catch (const RtError &) {
    }
    if (!isLatest(read))
        return;
    if (look.path == m_path || !look.found) {
        fill(look.entries);
        return;
    }
    m_path = look.path;
    fill(look.entries);
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
    if (menuKeyPressed(event))
        return;
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
    const int read = beginRead();
    QStringList names;
    try {
        names = onMedium(m_path, [path = m_path] { return listFolder(path, EntryKind::Files); });
    } catch (const RtError &) {
        // A folder that has gone or cannot be read lists no files.
    }
    if (isLatest(read))
        m_model->fill(m_path, std::move(names));
}

void FileList::setPath(const QString &path)
{
    FolderEntries entries;
    const std::optional<QString> normalized = readFolder(path, &entries);
    if (normalized)
        showFolder(*normalized, entries.files);
}

void FileList::showFolder(const QString &normalizedPath, const QStringList &files)
{
    beginRead(); // a read still under way is of an earlier choice
    if (normalizedPath == m_path)
        return;
    m_path = normalizedPath;
    m_model->fill(m_path, files);
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
    if (menuKeyPressed(event))
        return;
    const int before = currentRow();
    QListView::keyPressEvent(event);
    if (currentRow() != before && currentRow() >= 0)
        emit click();
}

void FileList::selectForMenu(const QModelIndex &index)
{
    // As a left click on it: the file chosen is the one the menu acts on, and
    // its name and size show.
    if (!index.isValid())
        return;
    setCurrentIndex(index);
    emit click();
}

} // namespace rt
