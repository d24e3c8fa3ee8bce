#pragma once

#include "runtime/controls/CommandButton.h"
#include "runtime/controls/DriveList.h"
#include "runtime/controls/FileList.h"
#include "runtime/controls/FolderList.h"
#include "runtime/controls/Frame.h"
#include "runtime/controls/Label.h"
#include "runtime/controls/ProgressBar.h"
#include "runtime/controls/TextBox.h"

#include <QString>

class QAction;
class QMenu;

// The captions of cmdCopy, which the window and the copy both set and test.
inline const QString kCopyCaption = QStringLiteral("Copy");
inline const QString kStopCaption = QStringLiteral("S&top");

// The main window's controls and menus by the names the handlers use. The
// window fills it; the copy module and the browsing handlers read and write
// the controls through it.
struct MyFormControls {
    rt::Frame *Frame1 = nullptr;
    rt::Frame *Frame2 = nullptr;
    rt::TextBox *txtDest = nullptr;
    rt::FolderList *Dir2 = nullptr;
    rt::DriveList *drv2 = nullptr;
    rt::Label *Label1 = nullptr;
    rt::Label *Label2 = nullptr;
    rt::Label *Label3 = nullptr;
    rt::FileList *KorFile = nullptr;
    rt::FolderList *KorDir = nullptr;
    rt::DriveList *KorDrv = nullptr;
    rt::ProgressBar *KorBar = nullptr;
    rt::CommandButton *cmdExit = nullptr;
    rt::CommandButton *cmdCopy = nullptr;
    rt::Label *lblInputLoc = nullptr;
    rt::Label *lblCopied = nullptr;
    rt::Label *lblBytes = nullptr;

    QMenu *Talmo = nullptr;
    QAction *MD = nullptr;
    QAction *Del = nullptr;
    QMenu *KorSrc = nullptr;
    QAction *DelFile = nullptr;
};
