#pragma once

#include "runtime/media/WindowsNames.h"

#include <QString>

namespace rt {

// Whether the driver of the folder's volume takes a name that breaks that
// rule: tried with a hidden name of the copy's own that breaks it the same way,
// removed at once. True also when it cannot be told (no right to create).
// Too long a name is never taken.
bool driverTakesName(const QString &hostFolder, const NameRuleBreak &broken);

} // namespace rt
