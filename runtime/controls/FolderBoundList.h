#pragma once

#include "runtime/controls/NameListModel.h"
#include "runtime/files/FolderListing.h"

#include <QListView>

#include <optional>

namespace rt {

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
    void focusInEvent(QFocusEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    // Tells a screen reader the row the list stands on, as focus: only while
    // the list has the focus, and rowHeard() allows.
    void tellCurrentRow();
    virtual bool rowHeard() const { return true; }
    // While set, a new current row is not told: the caller tells it once done.
    bool m_rowUntold = false;
    // Opens the list's menu for the Menu key and Shift+F10, beside the current
    // row; false for any other key.
    bool menuKeyPressed(QKeyEvent *event);
    // The entry a menu opened from the keyboard acts on and shows beside.
    virtual QModelIndex menuEntry() const { return currentIndex(); }
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

} // namespace rt
