#pragma once

#include "runtime/files/FolderListing.h"

#include <QAbstractListModel>
#include <QIcon>
#include <QListView>

#include <optional>
#include <utility>

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

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;

private:
    bool m_folders;
    QString m_folder;
    QStringList m_openPaths;
    QStringList m_names;
    QIcon m_openIcon;
    QIcon m_closedIcon;
};

// What the folder and file lists share: the folder they stand on, rows that
// fit the list's height whole, a focus mark, a MouseDown that reports every
// button but lets only the left one move the highlight (so a right press for a
// menu leaves the selection alone), and a choice kept when a click hits no entry.
class FolderBoundList : public QListView {
    Q_OBJECT
public:
    // "C:\Data", "C:\" at a root.
    QString path() const { return m_path; }
    int count() const { return m_model->rowCount(); }
    // An entry's text as shown (without its indentation).
    QString itemText(int row) const { return m_model->text(row); }
    int currentRow() const;
    void setCurrentRow(int row);
    // The height of one row; the rows shown always fill the list's height whole.
    int rowHeight() const;

signals:
    void mouseDown(int button, int shift, float x, float y);

protected:
    FolderBoundList(QWidget *parent, bool folders);
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    // Opens the list's menu for the Menu key and Shift+F10, beside the current
    // row; false for any other key.
    bool menuKeyPressed(QKeyEvent *event);
    // A right press on an entry, or a menu key on the current one: a list
    // whose menu acts on its selection selects that entry first.
    virtual void selectForMenu(const QModelIndex &) {}
    // Normalizes a path and reads both kinds of its entries in one pass, off
    // the window's thread; throws RtError 68 for a drive that is not ready (or
    // silent), 76 for a folder that does not exist. Nothing, and nothing
    // thrown, when a later read of this list began meanwhile: the user's
    // last choice wins.
    std::optional<QString> readFolder(const QString &path, FolderEntries *entries);
    // Starts a read of this list; a read is still the latest while its number is.
    int beginRead() { return ++m_reads; }
    bool isLatest(int read) const { return read == m_reads; }

    NameListModel *m_model;
    QString m_path;

private:
    void fitWholeRows();
    int m_reads = 0;
};

// Where the lists start: the process's current folder and its entries, read
// once for all three lists.
struct StartFolder {
    QString path;
    FolderEntries entries;
};
StartFolder readStartFolder();

// A classic folder list: the drive's root and the ancestors of the open folder,
// the open folder itself (all with an open-folder picture), then its subfolders
// (with a closed one). A double-click or Enter opens the highlighted folder; a
// single click only highlights it. Every read highlights the open folder again.
class FolderList : public FolderBoundList {
    Q_OBJECT
public:
    explicit FolderList(QWidget *parent = nullptr);
    FolderList(QWidget *parent, const StartFolder &start);
    // Raises Change before returning when the folder changes. Throws RtError 68
    // for a drive that is not ready, 76 for a folder that does not exist.
    void setPath(const QString &path);
    // Lists the folders again; if the open folder has gone, moves to the
    // nearest ancestor that is still there.
    void refresh();
    // The drive-letter path of an entry.
    QString itemPath(int row) const;
    // Opens the entry at that row, as a double-click on it does.
    void openRow(int row);
    // The files of the open folder as read with its subfolders, handed on
    // once after each read; nothing when taken already.
    std::optional<QStringList> takeFiles() { return std::exchange(m_files, std::nullopt); }

signals:
    void change();
    // A folder the user chose could not be opened, and why.
    void openFailed(const QString &folder, const QString &reason);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void fill(const FolderEntries &entries);
    std::optional<QStringList> m_files;
};

// A file list of one folder: every file but hidden ones.
class FileList : public FolderBoundList {
    Q_OBJECT
public:
    explicit FileList(QWidget *parent = nullptr);
    FileList(QWidget *parent, const StartFolder &start);
    // Lists that folder's files when the folder changes. Throws like FolderList.
    void setPath(const QString &path);
    // Shows a folder's files as its folder list has just read them.
    void showFolder(const QString &normalizedPath, const QStringList &files);
    // The selected file's name without its folder, "" when none is selected.
    QString fileName() const;
    // Selects a file by name (as a click would, raising Click); false if not listed.
    bool selectFile(const QString &name);
    // Lists the files again, keeping the selection when the file is still there.
    void refresh();

signals:
    void click();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void selectForMenu(const QModelIndex &index) override;

private:
    void fill();
    void select(const QString &name);
};

} // namespace rt
