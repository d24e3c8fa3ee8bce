#include "runtime/controls/RowDelegate.h"

#include "runtime/controls/FolderBoundList.h"
#include "runtime/controls/NameListModel.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QToolTip>

#include <algorithm>

namespace rt {

RowDelegate::RowDelegate(FolderBoundList *list) : QStyledItemDelegate(list), m_list(list) {}

QSize RowDelegate::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(1, m_list->rowHeight()); // as wide as the list, never wider
}

void RowDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem indented(option);
    indented.rect.setLeft(option.rect.left() + indent(option, index));
    QStyledItemDelegate::paint(painter, indented, index);
}

bool RowDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                            const QModelIndex &index)
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

int RowDelegate::indent(const QStyleOptionViewItem &option, const QModelIndex &index)
{
    // Two spaces a level, but all levels together at most a third of the
    // row: deep down, the ancestors' steps narrow so that the open folder
    // and its subfolders keep room for their names.
    const int deepest = std::max(static_cast<const NameListModel *>(index.model())->openRows(), 1);
    const int step = std::min(option.fontMetrics.horizontalAdvance(QStringLiteral("  ")),
                              option.rect.width() / 3 / deepest);
    return index.data(NameListModel::LevelRole).toInt() * step;
}

} // namespace rt
