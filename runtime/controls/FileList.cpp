#include "runtime/controls/FileList.h"

#include "runtime/controls/InputEvents.h"
#include "runtime/media/OnMedium.h"
#include "runtime/text/RtError.h"

#include <QItemSelectionModel>

#include <algorithm>
#include <utility>

namespace rt {

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
    // Before a file is chosen, the focus frame stands on a row (the first,
    // on entering the list) without choosing it: Down or Space chooses that
    // row rather than the next.
    // The row chosen is told a screen reader once its file's size shows.
    const bool choosing = event->key() == Qt::Key_Down || event->key() == Qt::Key_Space;
    if (choosing && event->modifiers() == Qt::NoModifier && fileName().isEmpty() && count() > 0) {
        m_rowUntold = true;
        setCurrentRow(std::max(currentRow(), 0));
        m_rowUntold = false;
        emit click();
        tellCurrentRow();
        return;
    }
    const int before = currentRow();
    m_rowUntold = true;
    QListView::keyPressEvent(event);
    m_rowUntold = false;
    if (currentRow() != before && currentRow() >= 0)
        emit click();
    if (currentRow() != before)
        tellCurrentRow();
}

void FileList::describeChosen(const QString &words)
{
    m_model->describe(fileName(), words);
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
