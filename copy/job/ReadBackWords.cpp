#include "copy/job/ReadBackWords.h"

#include "runtime/files/ReadBackPlan.h"
#include "runtime/text/NumberText.h"

QString readBackWrongText(const QString &drive, qint64 wrongAt, qint64 claimedSize)
{
    QString text = QStringLiteral("The medium in drive %1 returned different data from about %2 MB into the copy")
                       .arg(drive)
                       .arg(rt::mibInto(wrongAt));
    if (claimedSize > 0)
        return text + QStringLiteral(": it may hold less than the %1 it claims.").arg(rt::megabytesText(claimedSize));
    return text + QStringLiteral(": it may hold less than it claims.");
}
