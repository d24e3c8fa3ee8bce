#include "runtime/FolderListing.h"

#include "runtime/Drives.h"
#include "runtime/PosixIo.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace rt {

using posix::DirHandle;
using posix::hostName;
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

// The names sorted without regard to case, as QString::compare(CaseInsensitive)
// orders them, equal ones by their exact text. Each name is folded once, not
// in every comparison: a folder can hold 100,000 names.
QStringList sortedNames(const RawNames &raw)
{
    QStringList names;
    names.reserve(qsizetype(raw.spans.size()));
    if (raw.ascii) {
        // Plain ASCII, the usual case: folding is lower-casing A-Z, and byte
        // order is the order of the text.
        std::string folded = raw.bytes;
        for (char &c : folded)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        auto compare = [](const char *a, quint32 la, const char *b, quint32 lb) {
            const int c = std::memcmp(a, b, std::min(la, lb));
            return c != 0 ? c : int(la) - int(lb);
        };
        std::vector<quint32> order(raw.spans.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = quint32(i);
        std::sort(order.begin(), order.end(), [&](quint32 x, quint32 y) {
            const auto [ox, lx] = raw.spans[x];
            const auto [oy, ly] = raw.spans[y];
            const int c = compare(folded.data() + ox, lx, folded.data() + oy, ly);
            return c != 0 ? c < 0 : compare(raw.bytes.data() + ox, lx, raw.bytes.data() + oy, ly) < 0;
        });
        for (quint32 i : order)
            names.append(QString::fromLatin1(raw.bytes.data() + raw.spans[i].first, qsizetype(raw.spans[i].second)));
        return names;
    }
    struct Entry {
        QString key;
        QString name;
    };
    std::vector<Entry> entries;
    entries.reserve(raw.spans.size());
    for (const auto &[offset, length] : raw.spans) {
        QString name = QFile::decodeName(QByteArray::fromRawData(raw.bytes.data() + offset, qsizetype(length)));
        entries.push_back({name.toCaseFolded(), std::move(name)});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        const int c = a.key.compare(b.key);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    for (Entry &entry : entries)
        names.append(std::move(entry.name));
    return names;
}

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
    if (folders)
        *folders = sortedNames(folderNames);
    if (files)
        *files = sortedNames(fileNames);
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
