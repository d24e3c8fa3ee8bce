#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace rt {

// What a copy's checks know of a file it would replace (following a link):
// the bytes its blocks take on its medium, -1 when there is no such file; how
// many names it has; why this process may not write it (0: it may); whether
// this process owns it.
struct ExistingFile {
    qint64 allocated = -1;
    qint64 links = 0;
    int writeError = 0;
    bool ours = false;
};
ExistingFile existingFile(const QString &hostPath);

// The name of an entry in a folder that equals name but for letter case, if
// there is one; the exact name itself is not reported.
std::optional<QString> caseTwin(const QString &hostFolder, const QString &name);

} // namespace rt
