#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace rt {

// The bytes a file's blocks take on its medium (following a link), -1 when
// there is no such file; and how many names it has.
struct FileSpace {
    qint64 allocated = -1;
    qint64 links = 0;
};
FileSpace fileSpace(const QString &hostPath);

// The name of an entry in a folder that equals name but for letter case, if
// there is one; the exact name itself is not reported.
std::optional<QString> caseTwin(const QString &hostFolder, const QString &name);

} // namespace rt
