#pragma once

#include "app/AppIcon.h"
#include "app/ControlTable.h"
#include "browse/Browsing.h"
#include "copy/CopyModule.h"
#include "runtime/controls/Announcer.h"
#include "runtime/controls/MyFormControls.h"
#include "runtime/Dialogs.h"
#include "runtime/controls/QtDialogs.h"
#include "runtime/desktop/DesktopNotices.h"

#include <QWidget>

#include <memory>
#include <optional>

class MyForm : public QWidget {
    Q_OBJECT
public:
    // The dialogs default to the real ones; tests pass their own.
    explicit MyForm(rt::Dialogs *dialogs = nullptr, QWidget *parent = nullptr);
    ~MyForm() override;

    MyFormControls &controls() { return m_controls; }
    CopyModule &copyModule() { return m_copy; }
    Browsing &browsing() { return m_browsing; }
    rt::DesktopNotices &desktopNotices() { return *m_desktop; }

    // Shows the window centred on its screen with the focus on Copy.
    void showCentred();

    void Form_Load();
    // Moves both sides to a folder (a drive-letter path), as a start folder
    // given on the command line does.
    void openFolder(const QString &drivePath);
    // Moves both sides to a file's folder (a drive-letter path) and chooses the
    // file (its name's bytes) in the source list, as "duplon FILE" starts (Open
    // With). A file the list does not show leaves its folder open, and a
    // message names it once the window is up.
    void openFile(const QString &folderDrivePath, const QByteArray &name);
    void cmdCopy_Click();
    void cmdExit_Click();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void wireEvents();

    std::unique_ptr<rt::QtDialogs> m_ownDialogs;
    rt::Dialogs &m_dialogs;
    MyFormControls m_controls;
    CopyModule m_copy;
    Browsing m_browsing;
    // The copy's progress and ending, shown on the desktop outside the window.
    rt::DesktopNotices *m_desktop;
    // What a screen reader is told of the copy's start and stop.
    rt::Announcer *m_announcer = nullptr;
    bool m_startTold = false;
};
