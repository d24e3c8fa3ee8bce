#include "runtime/files/ExistingFile.h"

#include "runtime/posix/PosixIo.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

namespace rt {

ExistingFile existingFile(const QString &hostPath)
{
    struct stat st {};
    if (stat(QFile::encodeName(hostPath).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const int writeError = faccessat(AT_FDCWD, QFile::encodeName(hostPath).constData(), W_OK, AT_EACCESS) != 0 ? errno : 0;
    return {qint64(st.st_blocks) * 512, qint64(st.st_nlink), writeError, st.st_uid == geteuid()};
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
