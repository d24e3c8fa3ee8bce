#pragma once

#include "runtime/controls/FolderBoundList.h"
#include "runtime/files/StartFolder.h"

namespace rt {

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
    // What a screen reader hears after the chosen file's name (its size, as
    // the window shows it).
    void describeChosen(const QString &words);

signals:
    void click();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void selectForMenu(const QModelIndex &index) override;
    // The row under the focus frame is heard once it is chosen, never before.
    bool rowHeard() const override { return !fileName().isEmpty(); }

private:
    void fill();
    void select(const QString &name);
};

} // namespace rt
