#pragma once

#include <QString>
#include <QtGlobal>

// What a user is told when the medium returned different data from what the
// copy wrote: the drive (as "E:"), about where in the copy, and the size the
// medium claims, which it may not have.
QString readBackWrongText(const QString &drive, qint64 wrongAt, qint64 claimedSize);
