#pragma once

#include "app/AppIcon.h"
#include "browse/Browsing.h"
#include "copy/CopyModule.h"
#include "runtime/controls/MyFormControls.h"
#include "runtime/Dialogs.h"
#include "runtime/controls/QtDialogs.h"
#include "runtime/desktop/DesktopNotices.h"

#include <QColor>
#include <QWidget>

#include <memory>
#include <optional>

// One row of the window's control table, in the units the layout is drawn in:
// twips (15 to a pixel at 96 DPI) and colours written 0x00BBGGRR.
struct ControlRow {
    enum class Kind { Frame, TextBox, FolderList, DriveList, Label, FileList, ProgressBar, CommandButton };
    struct Font {
        double points;
        bool bold;
        bool underline;
    };

    const char *name;
    Kind kind;
    const char *container; // nullptr: the window itself
    const char *caption;
    int left, top, width, height;
    int tabIndex;
    std::optional<quint32> background;
    std::optional<quint32> foreground;
    std::optional<Font> font;
};

// The pixels a caption takes in a font, and the room a control of the window
// has for its caption (-1 for controls without one); no caption is cut off.
int captionWidth(const QFont &font, const QString &caption);
int captionRoomOf(QWidget *widget);

// 0x00BBGGRR -> QColor.
QColor colorFromBgr(quint32 bgr);

class MyForm : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTwipsPerPixel = 15;
    static constexpr int kClientWidth = 5940;
    static constexpr int kClientHeight = 6105;

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
    void cmdCopy_Click();
    void cmdExit_Click();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void buildMenus();
    void wireEvents();

    std::unique_ptr<rt::QtDialogs> m_ownDialogs;
    rt::Dialogs &m_dialogs;
    MyFormControls m_controls;
    CopyModule m_copy;
    Browsing m_browsing;
    // The copy's progress and ending, shown on the desktop outside the window.
    rt::DesktopNotices *m_desktop;
};
