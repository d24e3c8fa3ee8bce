#pragma once

#include "runtime/controls/FolderBoundList.h"
#include "runtime/files/StartFolder.h"

#include <optional>
#include <utility>

namespace rt {

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
    // Create Folder and Delete Folder act on the open folder, whichever row is
    // highlighted: their menu shows beside it.
    QModelIndex menuEntry() const override { return m_model->index(m_model->openRows() - 1, 0); }

private:
    void fill(const FolderEntries &entries);
    // Opens path with what it holds; Change when the open folder moved.
    void moveTo(const QString &path, const FolderEntries &entries);
    std::optional<QStringList> m_files;
};

} // namespace rt
