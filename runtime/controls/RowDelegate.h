#pragma once

#include <QStyledItemDelegate>

namespace rt {

class FolderBoundList;

// Draws a list's rows: indented by their level, cut with an ellipsis where the
// list is too narrow, the full name then shown as a tooltip; each row as high
// as the list says.
class RowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit RowDelegate(FolderBoundList *list);

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const override;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

private:
    static int indent(const QStyleOptionViewItem &option, const QModelIndex &index);

    FolderBoundList *m_list;
};

} // namespace rt
