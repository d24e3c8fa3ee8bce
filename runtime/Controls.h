#pragma once

#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "runtime/FileAccess.h"

class QMenu;

// The window's controls, in the terms the handlers use: captions, drive
// letters, drive-letter paths and their Change, Click and MouseDown events.
namespace rt {

// Mouse buttons and shift keys as MouseDown reports them.
namespace MouseButton {
constexpr int Left = 1;
constexpr int Right = 2;
constexpr int Middle = 4;
} // namespace MouseButton

class PacedControl;

// Holds what the window draws to at most one repaint per frame. A copy sets the
// bar and two captions after every piece, hundreds of times a second; drawing
// each of those would cost more than the copy itself. Values are kept at once
// (and read back at once); only their trip to the screen waits for the frame.
class DisplayPacer : public QObject {
    Q_OBJECT
public:
    static constexpr int kFrameMs = 16;
    static DisplayPacer &instance();

    void post(PacedControl *control);
    void forget(PacedControl *control);
    // Puts every waiting value on the screen now.
    void flush();

private:
    explicit DisplayPacer(QObject *parent);
    QList<PacedControl *> m_waiting;
    QTimer m_timer;
    QElapsedTimer m_sinceFlush;
};

class PacedControl {
public:
    virtual ~PacedControl();

protected:
    void postToScreen() { DisplayPacer::instance().post(this); }
    virtual void applyToScreen() = 0;

private:
    friend class DisplayPacer;
    bool m_waiting = false;
};

class Frame : public QGroupBox {
    Q_OBJECT
public:
    using QGroupBox::QGroupBox;
};

class Label : public QLabel, public PacedControl {
    Q_OBJECT
public:
    explicit Label(QWidget *parent = nullptr);
    QString caption() const { return m_caption; }
    void setCaption(const QString &caption);

signals:
    // Each new caption, in order.
    void captionSet(const QString &caption);

protected:
    void applyToScreen() override;

private:
    QString m_caption;
};

class CommandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    // Read back exactly as set, "&" included.
    QString caption() const { return text(); }
    void setCaption(const QString &caption) { setText(caption); }
};

class TextBox : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;
};

// A vertical bar from 0 to 100.
class ProgressBar : public QProgressBar, public PacedControl {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget *parent = nullptr);
    int barValue() const { return m_value; }
    void setBarValue(float value);
    // Repaints now with the latest value.
    void refresh();

signals:
    void barValueSet(int value);

protected:
    void applyToScreen() override;

private:
    int m_value = 0;
};

// A drive list: one entry per drive letter, re-read each time it opens.
class DriveList : public QComboBox {
    Q_OBJECT
public:
    explicit DriveList(QWidget *parent = nullptr);
    // "c:".
    QString drive() const;
    // Takes "c:" (anything after the colon is ignored). Raises Change when the
    // drive changes; throws RtError 68 when the drive is not ready.
    void setDrive(const QString &drive);
    void showPopup() override;

signals:
    void change();

private:
    void fill();
    void userPicked(int index);
    QChar m_letter;
};

// What the folder and file lists share: the folder they stand on, and a
// MouseDown that reports every button but lets only the left one move the
// highlight, so a right press for a menu leaves the selection alone.
class FolderBoundList : public QListWidget {
    Q_OBJECT
public:
    // "C:\Data", "C:\" at a root.
    QString path() const { return m_path; }

signals:
    void mouseDown(int button, int shift, float x, float y);

protected:
    FolderBoundList(QWidget *parent, EntryKind kind);
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    // Normalizes a path and reads its entries; throws RtError 68 for a drive
    // that is not ready, 76 for a folder that does not exist.
    QString readFolder(const QString &path, QStringList *names) const;

    QString m_path;
    QStringList m_startNames; // the entries of the folder it started on

private:
    EntryKind m_kind;
};

// A classic folder list: the drive's root and the ancestors of the open folder,
// the open folder itself, then its subfolders. A double-click or Enter opens
// the highlighted folder; a single click only highlights it.
class FolderList : public FolderBoundList {
    Q_OBJECT
public:
    explicit FolderList(QWidget *parent = nullptr);
    // Raises Change before returning when the folder changes. Throws RtError 68
    // for a drive that is not ready, 76 for a folder that does not exist.
    void setPath(const QString &path);
    // Lists the folders again; if the open folder has gone, moves to the
    // nearest ancestor that is still there.
    void refresh();

signals:
    void change();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void fill();
    void fill(const QStringList &subfolders);
    void open(QListWidgetItem *item);
};

// A file list of one folder: every file but hidden ones.
class FileList : public FolderBoundList {
    Q_OBJECT
public:
    explicit FileList(QWidget *parent = nullptr);
    // Lists that folder's files when the folder changes. Throws like FolderList.
    void setPath(const QString &path);
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

private:
    void fill();
    void select(const QString &name);
};

// Shows a menu at the mouse pointer and returns when it has closed, after the
// chosen item's handler has run.
void popupMenu(QMenu *menu);

// Runs every pending window event, clicks included, then returns.
void yieldToEvents();

} // namespace rt
