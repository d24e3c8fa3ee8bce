#include "runtime/files/StartFolder.h"

#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"

namespace rt {

StartFolder readStartFolder()
{
    const QChar letter = Drives::instance().currentDrive();
    StartFolder start;
    try {
        start.path = Drives::instance().normalize(Drives::instance().currentFolder(letter));
        start.entries = listFolderEntries(start.path);
    } catch (const RtError &) {
        start.path = QStringLiteral("%1:\\").arg(letter.toUpper());
        start.entries = {};
    }
    return start;
}

} // namespace rt
