#include "runtime/FileAccess.h"

#include "runtime/Drives.h"
#include "runtime/RtError.h"

#include <QFile>

#include <algorithm>
#include <climits>
#include <limits>
#include <string>
#include <utility>
#include <vector>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace rt {

namespace {

FaultHook s_readFault;
FaultHook s_writeFault;
ReadableHook s_readable;

QByteArray hostName(const QString &drivePath)
{
    return QFile::encodeName(Drives::instance().toHost(drivePath));
}

[[noreturn]] void raiseErrno(NameKind kind = NameKind::File)
{
    throw errorFromErrno(errno, kind);
}

struct DirCloser {
    // Only reads went through the stream: a failed close loses nothing.
    void operator()(DIR *dir) const { (void)closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

QString namePart(const QString &drivePath)
{
    const qsizetype cut = std::max(drivePath.lastIndexOf(u'\\'), drivePath.lastIndexOf(u'/'));
    return drivePath.mid(std::max<qsizetype>(cut + 1, 2));
}

} // namespace

QString specialFileKind(mode_t mode)
{
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a named pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a file");
}

void setReadFaultHook(FaultHook hook) { s_readFault = std::move(hook); }
void setWriteFaultHook(FaultHook hook) { s_writeFault = std::move(hook); }
void setReadableHook(ReadableHook hook) { s_readable = std::move(hook); }
int readFault(qint64 offset, qint64 count) { return s_readFault ? s_readFault(offset, count) : 0; }
int writeFault(qint64 offset, qint64 count) { return s_writeFault ? s_writeFault(offset, count) : 0; }

QString findFile(const QString &drivePath)
{
    const QByteArray host = hostName(drivePath);
    struct stat st {};
    if (stat(host.constData(), &st) == 0)
        return S_ISDIR(st.st_mode) ? QString() : namePart(drivePath);
    // A link to nothing is an entry all the same: a copy would replace it.
    if (lstat(host.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        return namePart(drivePath);
    return QString();
}

qint64 fileLength(const QString &drivePath)
{
    const QByteArray host = hostName(drivePath);
    struct stat st {};
    if (stat(host.constData(), &st) != 0)
        raiseErrno();
    return st.st_size;
}

void makeDir(const QString &drivePath)
{
    if (mkdir(hostName(drivePath).constData(), 0777) != 0)
        raiseErrno(NameKind::Folder);
}

void removeDir(const QString &drivePath)
{
    if (isRootPath(Drives::instance().normalize(drivePath)))
        throw RtError(ErrPathFileAccess, QStringLiteral("A drive's root folder cannot be removed"));
    if (rmdir(hostName(drivePath).constData()) != 0)
        raiseErrno(NameKind::Folder);
}

void killFile(const QString &drivePath)
{
    const QByteArray host = hostName(drivePath);
    struct stat st {};
    if (lstat(host.constData(), &st) != 0)
        raiseErrno();
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        raiseErrno();
    }
    if (unlink(host.constData()) != 0)
        raiseErrno();
}

bool folderExists(const QString &drivePath)
{
    try {
        struct stat st {};
        return stat(hostName(drivePath).constData(), &st) == 0 && S_ISDIR(st.st_mode);
    } catch (const RtError &) {
        return false;
    }
}

bool createNewFile(const QString &drivePath, const QByteArray &content)
{
    const QByteArray host = hostName(drivePath);
    const int fd = ::open(host.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST)
            return false;
        raiseErrno();
    }
    int failure = 0;
    for (qint64 done = 0; done < content.size() && !failure;) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0)
            failure = ENOSPC;
        else if (errno != EINTR)
            failure = errno;
    }
    if (!failure && fdatasync(fd) != 0)
        failure = errno;
    if (::close(fd) != 0 && !failure && errno != EINTR)
        failure = errno;
    if (failure) {
        unlink(host.constData());
        throw errorFromErrno(failure);
    }
    return true;
}

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

bool sameFile(const QString &drivePathA, const QString &drivePathB)
{
    struct stat a {}, b {};
    try {
        if (stat(hostName(drivePathA).constData(), &a) != 0
            || stat(hostName(drivePathB).constData(), &b) != 0)
            return false;
    } catch (const RtError &) {
        return false; // a path on a drive that is not ready names no file at all
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---- File -------------------------------------------------------------------

File File::open(const QString &drivePath, Access access, mode_t createMode)
{
    const QByteArray host = hostName(drivePath);
    // O_NONBLOCK keeps a FIFO from hanging the window at open; it is cleared
    // again at once for ordinary files.
    const int flags = (access == Access::Read ? O_RDONLY : (O_WRONLY | O_CREAT)) | O_CLOEXEC
        | O_NONBLOCK;
    int fd;
    do {
        fd = ::open(host.constData(), flags, createMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        raiseErrno();
    File file(fd);
    const bool allowed = S_ISREG(file.m_mode) || (access == Access::Read && S_ISBLK(file.m_mode));
    if (!allowed) {
        if (S_ISDIR(file.m_mode)) {
            errno = EISDIR;
            raiseErrno();
        }
        throw RtError(ErrPathFileAccess, QStringLiteral("Not a regular file: ") + specialFileKind(file.m_mode));
    }
    const int fileFlags = fcntl(fd, F_GETFL);
    if (fileFlags < 0 || fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0)
        raiseErrno();
    return file;
}

File::File(int fd) : m_fd(fd)
{
    // A file whose kind cannot be told is taken for none that may be opened.
    struct stat st {};
    if (fstat(fd, &st) == 0)
        m_mode = st.st_mode;
}

File::File(File &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_mode(other.m_mode)
{
}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_mode = other.m_mode;
    }
    return *this;
}

File::~File() { close(); }

int File::close()
{
    if (m_fd < 0)
        return 0;
    const int rc = ::close(m_fd);
    m_fd = -1;
    // EINTR after close leaves the descriptor closed on Linux; not a failure.
    return rc != 0 && errno != EINTR ? errno : 0;
}

qint64 File::length() const
{
    struct stat st {};
    if (fstat(m_fd, &st) != 0)
        raiseErrno();
    if (S_ISBLK(st.st_mode)) {
        const off_t end = lseek(m_fd, 0, SEEK_END);
        return end < 0 ? 0 : end;
    }
    return st.st_size;
}

qint64 File::blockSize() const
{
    struct stat st {};
    if (fstat(m_fd, &st) != 0 || st.st_blksize <= 0)
        return 4096;
    return st.st_blksize;
}

mode_t File::permissions() const
{
    struct stat st {};
    if (fstat(m_fd, &st) != 0)
        raiseErrno();
    return st.st_mode & 0777;
}

// ---- Transfer ---------------------------------------------------------------

Transfer::Transfer() = default;

Transfer::~Transfer() { std::free(m_buffer); }

char *Transfer::buffer()
{
    // Page-aligned: an unaligned buffer makes read/write about 1.4 times slower.
    // Untouched pages cost no memory, so kernel copies never grow the process.
    if (!m_buffer)
        m_buffer = static_cast<char *>(std::aligned_alloc(4096, kBufferSize));
    if (!m_buffer)
        throw RtError(7, QStringLiteral("Out of memory"));
    return m_buffer;
}

PieceResult Transfer::copy(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset,
                           qint64 count)
{
    qint64 done = 0;
    while (done < count) {
        const qint64 at = sourceOffset + done;
        const auto [dataStart, dataEnd] = dataRun(source, at);
        if (dataStart > at) {
            // A hole reads as zeros; the destination already holds zeros there.
            done += std::min(dataStart, sourceOffset + count) - at;
            continue;
        }
        const qint64 want = std::min(dataEnd, sourceOffset + count) - at;
        const PieceResult r = moveData(source, at, destFd, destOffset + done, want);
        done += r.bytes;
        if (r.failure != PieceResult::Failure::None)
            return {done, r.failure, r.osError};
        if (r.bytes < want)
            break; // the source has ended
    }
    return {done, PieceResult::Failure::None, 0};
}

std::pair<qint64, qint64> Transfer::dataRun(const File &source, qint64 offset)
{
    constexpr qint64 kAll = std::numeric_limits<qint64>::max();
    if (offset >= m_dataFrom && offset < m_dataTo)
        return {offset, m_dataTo};
    if (!m_seekData)
        return {offset, kAll};
    const off_t data = lseek(source.descriptor(), offset, SEEK_DATA);
    if (data < 0) {
        if (errno != ENXIO) {
            m_seekData = false; // this file system cannot tell: all of it is data
            return {offset, kAll};
        }
        // No data from here on: a hole up to the end, or the end itself, where
        // a read must say so (some files report a size of 0 and still read).
        qint64 length = 0;
        try {
            length = source.length();
        } catch (const RtError &) {
        }
        return offset < length ? std::pair{length, length} : std::pair{offset, kAll};
    }
    const off_t hole = lseek(source.descriptor(), data, SEEK_HOLE);
    m_dataFrom = data;
    m_dataTo = hole > data ? hole : kAll;
    return {data, m_dataTo};
}

PieceResult Transfer::moveData(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset,
                               qint64 count)
{
    qint64 done = 0;
    while (m_kernelCopy && done < count) {
        loff_t in = sourceOffset + done;
        loff_t out = destOffset + done;
        qint64 ask = count - done;
        if (s_readable) {
            const qint64 readable = s_readable(in, ask);
            if (readable <= 0)
                return {done, PieceResult::Failure::Read, EIO};
            ask = std::min(ask, readable);
        }
        const ssize_t n = copy_file_range(source.descriptor(), &in, destFd, &out,
                                          static_cast<size_t>(ask), 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break; // the end, or a file system that reports no data (as /proc does)
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP
            || errno == EBADF) {
            m_kernelCopy = false; // these file systems cannot; stay with read/write
            break;
        }
        // The kernel does not say which side failed. Reading the same bytes
        // again to find out would cost a damaged medium another slow failure,
        // so only errors that belong to writing count as the destination's.
        const int e = errno;
        const bool writeSide = e == ENOSPC || e == EDQUOT || e == EFBIG || e == EROFS;
        return {done, writeSide ? PieceResult::Failure::Write : PieceResult::Failure::Read, e};
    }
    if (done == count)
        return {done, PieceResult::Failure::None, 0};
    PieceResult rest = readWrite(source, sourceOffset + done, destFd, destOffset + done, count - done);
    rest.bytes += done;
    return rest;
}

PieceResult Transfer::readWrite(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset,
                                qint64 count)
{
    char *const buf = buffer();
    qint64 done = 0;
    while (done < count) {
        qint64 want = std::min(count - done, kBufferSize);
        if (s_readable) {
            const qint64 readable = s_readable(sourceOffset + done, want);
            if (readable <= 0)
                return {done, PieceResult::Failure::Read, EIO};
            want = std::min(want, readable);
        }
        const ssize_t n = pread(source.descriptor(), buf, static_cast<size_t>(want),
                                sourceOffset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {done, PieceResult::Failure::Read, errno};
        if (n == 0)
            break;
        const PieceResult written = writeAll(destFd, destOffset + done, buf, n);
        done += written.bytes;
        if (written.failure != PieceResult::Failure::None)
            return {done, written.failure, written.osError};
    }
    return {done, PieceResult::Failure::None, 0};
}

PieceResult Transfer::writeAll(int destFd, qint64 offset, const char *data, qint64 count)
{
    qint64 done = 0;
    while (done < count) {
        const ssize_t n = pwrite(destFd, data + done, static_cast<size_t>(count - done),
                                 offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {done, PieceResult::Failure::Write, errno};
        if (n == 0)
            return {done, PieceResult::Failure::Write, ENOSPC};
        done += n;
    }
    return {done, PieceResult::Failure::None, 0};
}

PieceResult Transfer::writeZeros(int destFd, qint64 offset, qint64 count)
{
    char *const buf = buffer();
    std::memset(buf, 0, static_cast<size_t>(std::min(count, kBufferSize)));
    qint64 done = 0;
    while (done < count) {
        PieceResult r = writeAll(destFd, offset + done, buf, std::min(count - done, kBufferSize));
        done += r.bytes;
        if (r.failure != PieceResult::Failure::None)
            return {done, r.failure, r.osError};
    }
    return {done, PieceResult::Failure::None, 0};
}

} // namespace rt
