#pragma once

#include "runtime/controls/InputEvents.h"
#include "runtime/controls/DisplayPacer.h"
#include "runtime/controls/DriveList.h"
#include "runtime/controls/NameLists.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

class QMenu;

// The window's controls, in the terms the handlers use: captions, drive
// letters, drive-letter paths and their Change, Click and MouseDown events.
namespace rt {

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

// A button that Enter presses as well as Space, and whose access key presses
// it at once, in the same turn of the event loop as a click.
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    // Read back exactly as set, "&" included.
    QString caption() const { return text(); }
    void setCaption(const QString &caption) { setText(caption); }

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};

class TextBox : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

protected:
    void paintEvent(QPaintEvent *event) override;
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

// Shows a menu at the mouse pointer and returns when it has closed, after the
// chosen item's handler has run.
void popupMenu(QMenu *menu);

// Runs every pending window event, clicks included, then returns.
void yieldToEvents();

} // namespace rt
