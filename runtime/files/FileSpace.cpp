#include "runtime/files/FileSpace.h"

#include "runtime/posix/PosixIo.h"

#include <QFile>

#include <dirent.h>
#include <sys/stat.h>

namespace rt {

FileSpace fileSpace(const QString &hostPath)
{
    struct stat st {};
    if (stat(QFile::encodeName(hostPath).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return {qint64(st.st_blocks) * 512, qint64(st.st_nlink)};
}

std::optional<QString> caseTwin(const QString &hostFolder, const QString &name)
{
    const posix::DirHandle dir(opendir(QFile::encodeName(hostFolder).constData()));
    if (!dir)
        return std::nullopt;
    while (const dirent *entry = readdir(dir.get())) {
        const QString other = QFile::decodeName(entry->d_name);
        if (other != name && other.compare(name, Qt::CaseInsensitive) == 0)
            return other;
    }
    return std::nullopt;
}

} // namespace rt
