#include "runtime/controls/NameListModel.h"

#include "runtime/controls/FolderPictures.h"
#include "runtime/media/Drives.h"

#include <algorithm>
#include <utility>

namespace rt {

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
    case Qt::AccessibleDescriptionRole:
        return !m_description.isEmpty() && row >= openRows() && m_names.at(row - openRows()) == m_described
            ? m_description
            : QVariant();
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

void NameListModel::describe(const QString &name, const QString &words)
{
    m_described = name;
    m_description = words;
}

} // namespace rt
