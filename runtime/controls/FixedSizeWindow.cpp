#include "runtime/controls/FixedSizeWindow.h"

#include <QWidget>
#include <QWindow>

namespace rt {

void keepNormalState(QWidget *window)
{
    window->winId(); // the window system's window, whose state is watched
    QWindow *handle = window->windowHandle();
    QObject::connect(handle, &QWindow::windowStateChanged, window, [handle](Qt::WindowState state) {
        // Undone before the compositor's answer to the request comes back, so
        // the window never takes on a size it cannot have.
        if (state == Qt::WindowMaximized || state == Qt::WindowFullScreen)
            handle->setWindowStates(Qt::WindowNoState);
    });
}

} // namespace rt
