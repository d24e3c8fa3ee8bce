#include "runtime/files/FolderListing.h"

#include "runtime/media/Drives.h"
#include "runtime/text/NameOrder.h"
#include "runtime/posix/PosixIo.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace rt {

using posix::DirHandle;
using posix::raiseErrno;

namespace {

// The names of one kind as read: their bytes end to end, and where each lies.
struct RawNames {
    std::string bytes;
    std::vector<std::pair<quint32, quint32>> spans; // offset, length
    bool ascii = true;

    void add(const char *name, size_t length)
    {
        spans.emplace_back(quint32(bytes.size()), quint32(length));
        bytes.append(name, length);
        for (size_t i = 0; i < length && ascii; ++i)
            ascii = static_cast<unsigned char>(name[i]) < 0x80;
    }
};

// One pass over a folder, keeping the kinds asked for (either list may be null).
void readEntries(const QString &drivePath, QStringList *folders, QStringList *files)
{
    const QByteArray host = hostName(drivePath);
    const DirHandle dir(opendir(host.constData()));
    if (!dir)
        raiseErrno(NameKind::Folder);
    const int dirFd = dirfd(dir.get());
    RawNames folderNames;
    RawNames fileNames;
    for (;;) {
        // readdir tells its end from a failure (a medium gone mid-list) only by errno.
        errno = 0;
        const dirent *entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                raiseErrno(NameKind::Folder);
            break;
        }
        const char *const name = entry->d_name;
        if (name[0] == '.')
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        bool isFile = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            // Links count as what they point to; dangling ones are left out.
            struct stat st {};
            if (fstatat(dirFd, name, &st, 0) != 0)
                continue;
            isFolder = S_ISDIR(st.st_mode);
            isFile = S_ISREG(st.st_mode);
        }
        // The kind first: it is known without looking at the name.
        RawNames *const into = isFolder && folders ? &folderNames : isFile && files ? &fileNames : nullptr;
        if (!into)
            continue;
        const size_t length = std::strlen(name);
        if (isRepresentableName(QByteArray::fromRawData(name, qsizetype(length))))
            into->add(name, length);
    }
    const NameOrder order;
    if (folders)
        *folders = order.sorted(folderNames.bytes, folderNames.spans, folderNames.ascii);
    if (files)
        *files = order.sorted(fileNames.bytes, fileNames.spans, fileNames.ascii);
}

} // namespace

QStringList listFolder(const QString &drivePath, EntryKind kind)
{
    QStringList names;
    readEntries(drivePath, kind == EntryKind::Folders ? &names : nullptr, kind == EntryKind::Files ? &names : nullptr);
    return names;
}

FolderEntries listFolderEntries(const QString &drivePath)
{
    FolderEntries entries;
    readEntries(drivePath, &entries.folders, &entries.files);
    return entries;
}

} // namespace rt
