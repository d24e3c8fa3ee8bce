#pragma once

#include "runtime/controls/MyFormControls.h"

#include <QColor>
#include <QFont>
#include <QWidget>

#include <optional>

// The window's control table: every control's kind, place, caption, colours
// and font, and the building of the controls from it.

constexpr int kClientWidth = 5940;
constexpr int kClientHeight = 6105;

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

// The window's own font, colour and size, as the table draws it.
void dressWindow(QWidget *window);
// Creates the table's controls on the window, in its focus order, and fills
// in the handlers' names for them.
void buildControls(QWidget *window, MyFormControls &controls);
