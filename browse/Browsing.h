#pragma once

#include "runtime/controls/MyFormControls.h"

#include <functional>

class CopyModule;
namespace rt {
class Dialogs;
}

// The handlers that keep each side's lists in step, show the chosen source
// file, and carry out the folder and file commands of the two popup menus.
class Browsing {
public:
    Browsing(MyFormControls &form, CopyModule &copy, rt::Dialogs &dialogs);

    void drv2_Change();
    void KorDrv_Change();
    void KorDir_Change();
    void KorFile_Click();

    void Dir2_MouseDown(int button, int shift, float x, float y);
    void KorFile_MouseDown(int button, int shift, float x, float y);
    void MD_Click();
    void Del_Click();
    void DelFile_Click();
    // A folder list could not open the folder the user chose.
    void folderNotOpened(const QString &folder, const QString &reason);

private:
    // The three Change handlers are one procedure: hand a drive or folder on to
    // the next list, and report a drive that is not ready with the given style.
    void follow(const std::function<void()> &assign, int unavailableStyle);

    MyFormControls &m_form;
    CopyModule &m_copy;
    rt::Dialogs &m_dialogs;
    int m_clicks = 0; // file clicks so far: the size shown is the last one's
};
