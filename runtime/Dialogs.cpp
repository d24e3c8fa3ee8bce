#include "runtime/Dialogs.h"

namespace rt {

QString applicationTitle() { return QStringLiteral("Duplon"); }

} // namespace rt
