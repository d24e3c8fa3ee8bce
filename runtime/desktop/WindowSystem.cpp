#include "runtime/desktop/WindowSystem.h"

#include <QString>
#include <QtGlobal>

namespace rt {

void chooseWindowSystem()
{
    // QT_QPA_PLATFORM is the user's (or the session's) word: kept as it is.
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || qEnvironmentVariableIsEmpty("DISPLAY"))
        return;
    // KWin draws the title bars of Qt's windows itself (server-side
    // decorations) and offers no maximize for a window of fixed size; every
    // other compositor leaves the title bar to Qt, whose decoration draws the
    // maximize button whatever the window allows. XWayland's window managers
    // read the fixed size and offer none.
    if (qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("KDE"), Qt::CaseInsensitive))
        return;
    qputenv("QT_QPA_PLATFORM", "xcb");
}

} // namespace rt
