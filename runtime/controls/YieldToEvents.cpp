#include "runtime/controls/YieldToEvents.h"

#include <QCoreApplication>

namespace rt {

void yieldToEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace rt
