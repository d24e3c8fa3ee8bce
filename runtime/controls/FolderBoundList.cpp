#include "runtime/controls/FolderBoundList.h"

#include "runtime/controls/FocusMark.h"
#include "runtime/controls/InputEvents.h"
#include "runtime/controls/PopupMenu.h"
#include "runtime/controls/RowDelegate.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/Drives.h"
#include "runtime/media/OnMedium.h"
#include "runtime/text/RtError.h"

#include <QAccessible>
#include <QMouseEvent>
#include <QStyle>

#include <algorithm>

namespace rt {

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
    if (!hasFocus())
        return;
    drawFocusMark(viewport(), viewport()->rect(), palette().color(QPalette::Base));
    // The row the keyboard stands on before anything is chosen there.
    const QModelIndex current = currentIndex();
    if (current.isValid() && !selectionModel()->isSelected(current))
        drawFocusMark(viewport(), visualRect(current), palette().color(QPalette::Base));
}

void FolderBoundList::focusInEvent(QFocusEvent *event)
{
    QListView::focusInEvent(event);
    // A screen reader hears the row the list stands on, not only the list:
    // said after the list's own focus, which Qt announces once this returns.
    QMetaObject::invokeMethod(this, [this] { tellCurrentRow(); }, Qt::QueuedConnection);
}

void FolderBoundList::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    // Not QListView's: it tells every new current row as focus, also of a
    // list without the focus that is read again, and a reader follows it.
    QAbstractItemView::currentChanged(current, previous);
    if (!m_rowUntold)
        tellCurrentRow();
}

void FolderBoundList::tellCurrentRow()
{
    if (hasFocus() && currentIndex().isValid() && rowHeard() && QAccessible::isActive()) {
        QAccessibleEvent focus(this, QAccessible::Focus);
        focus.setChild(currentIndex().row());
        QAccessible::updateAccessibility(&focus);
    }
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
    const QModelIndex entry = menuEntry();
    selectForMenu(entry);
    // The menu opens beside the row it acts on (the top of the list when there
    // is none), through the same MouseDown a right press raises: the handlers
    // open their menus for it.
    QPoint at(0, 0);
    if (entry.isValid()) {
        scrollTo(entry);
        const QRect row = visualRect(entry);
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

} // namespace rt
