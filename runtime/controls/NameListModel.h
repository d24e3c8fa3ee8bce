#pragma once

#include <QAbstractListModel>
#include <QIcon>
#include <QStringList>

namespace rt {

// The folder and file lists' entries: a plain list of names, filled at once,
// so a folder of 100,000 files lists as fast as it can be read. A folder list
// adds its open folders (the root, the ancestors and the open folder itself)
// above the names, which are then its subfolders.
class NameListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int PathRole = Qt::UserRole;     // the entry's drive-letter path
    static constexpr int LevelRole = Qt::UserRole + 1; // how far it is indented

    explicit NameListModel(QObject *parent, bool folders);
    // openPaths: the open folder and its ancestors, root first; empty for files.
    void fill(const QString &folder, QStringList names, const QStringList &openPaths = {});
    const QStringList &names() const { return m_names; }
    int openRows() const { return int(m_openPaths.size()); }
    bool hasPictures() const { return m_folders; }
    QString text(int row) const;
    // What a screen reader hears after an entry's name (a file's size), for
    // the entry of that name only; "" for none.
    void describe(const QString &name, const QString &words);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    bool m_folders;
    QString m_folder;
    QStringList m_openPaths;
    QStringList m_names;
    QString m_described;
    QString m_description;
    QIcon m_openIcon;
    QIcon m_closedIcon;
};

} // namespace rt
