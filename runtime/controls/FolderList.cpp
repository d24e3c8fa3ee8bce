#include "runtime/controls/FolderList.h"

#include "runtime/controls/InputEvents.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/Drives.h"
#include "runtime/media/OnMedium.h"
#include "runtime/text/RtError.h"

namespace rt {

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
        subfolders = onMedium(m_path, [path = m_path] { return listFolder(path, EntryKind::Folders); });
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
    if (menuKeyPressed(event))
        return;
    if (isEnterKey(event)) {
        openRow(currentRow());
        return;
    }
    QListView::keyPressEvent(event);
}

} // namespace rt
