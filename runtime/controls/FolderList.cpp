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
    if (normalized)
        moveTo(*normalized, entries); // the same folder read again is highlighted again
}

void FolderList::moveTo(const QString &path, const FolderEntries &entries)
{
    const bool moved = path != m_path;
    m_path = path;
    fill(entries);
    if (moved)
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
    if (isLatest(read))
        moveTo(look.found ? look.path : m_path, look.entries);
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
