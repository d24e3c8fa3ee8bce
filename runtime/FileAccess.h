#pragma once

#include <QString>
#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <utility>
#include <sys/types.h>

// File access in drive-letter paths. Every failure is raised as an RtError with
// a run-time error number and the operating system's reason; nothing here
// reports a failure any other way.
namespace rt {

// The name part of the path when a file (not a folder) of that name exists,
// or a link to nothing, else "". Throws like Drives::toHost for a drive that
// is not ready.
QString findFile(const QString &drivePath);

// Size in bytes, 64-bit.
qint64 fileLength(const QString &drivePath);

void makeDir(const QString &drivePath);
// Removes an empty folder; a drive's root is never removed.
void removeDir(const QString &drivePath);
// Deletes a file; never a folder.
void killFile(const QString &drivePath);

bool folderExists(const QString &drivePath);

// What a name that is no regular file stands for ("a block device" ...), for
// the message that refuses to write to it.
QString specialFileKind(mode_t mode);

// Creates a file that must not exist yet, with that content, and flushes it to
// the medium. False, with nothing changed, when the name is taken.
bool createNewFile(const QString &drivePath, const QByteArray &content);

enum class EntryKind { Folders, Files };
// The names of a folder's visible subfolders or files, sorted without regard to
// letter case. Hidden names (starting with ".") and names that cannot be
// written in drive-letter form are left out. Throws when the folder cannot be read.
QStringList listFolder(const QString &drivePath, EntryKind kind);

// Both kinds of a folder's entries, read in one pass, as listFolder gives them.
struct FolderEntries {
    QStringList folders;
    QStringList files;
};
FolderEntries listFolderEntries(const QString &drivePath);

// Whether two paths name the same file (also through links or other paths);
// false when either does not exist or its drive is not ready.
bool sameFile(const QString &drivePathA, const QString &drivePathB);

// An open file. Closed when destroyed or by close().
class File {
public:
    enum class Access { Read, Write };

    File() = default;
    // Read: the file must exist and is never created; a regular file or a
    // block device. Write: only a regular file; a missing one is created with
    // createMode (the umask applies), an existing one keeps its content and its
    // permissions. Anything else under the name is refused untouched.
    static File open(const QString &drivePath, Access access, mode_t createMode = 0666);
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File();

    int descriptor() const { return m_fd; }
    // The length of the open file, asked of the file system each time.
    qint64 length() const;
    mode_t permissions() const;
    // The file system's preferred I/O size for this file (st_blksize), 4096
    // when it names none: the unit in which a damaged medium fails.
    qint64 blockSize() const;
    // Returns 0, or the errno of a close that reported a late write failure.
    int close();

private:
    explicit File(int fd);
    int m_fd = -1;
    mode_t m_mode = 0;
};

// The outcome of moving one piece: the bytes that reached the destination
// before any failure, and which side failed.
struct PieceResult {
    enum class Failure { None, Read, Write };
    qint64 bytes = 0;
    Failure failure = Failure::None;
    int osError = 0;
};

// Moves pieces between two open files at explicit offsets. The kernel copies
// when it can (copy_file_range); where the file systems refuse that, the piece
// goes through a page-aligned buffer. Runs of a sparse source that were never
// written (holes) are skipped rather than written, so the destination, emptied
// before the copy, stays as sparse as the source.
class Transfer {
public:
    static constexpr qint64 kBufferSize = 1048576;

    Transfer();
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // Copies up to count bytes; fewer only when the source ends or a side
    // fails, and then result.bytes says how many arrived.
    PieceResult copy(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset, qint64 count);
    // Writes count zero bytes.
    PieceResult writeZeros(int destFd, qint64 offset, qint64 count);

private:
    // The run of data at or after offset that the source reports: [first, second).
    std::pair<qint64, qint64> dataRun(const File &source, qint64 offset);
    PieceResult moveData(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset, qint64 count);
    PieceResult readWrite(const File &source, qint64 sourceOffset, int destFd, qint64 destOffset, qint64 count);
    PieceResult writeAll(int destFd, qint64 offset, const char *data, qint64 count);
    char *buffer();

    char *m_buffer = nullptr;
    bool m_kernelCopy = true;
    bool m_seekData = true;
    qint64 m_dataFrom = 0; // a run known to hold data, so most pieces ask nothing
    qint64 m_dataTo = 0;
};

// Test hooks: make chosen reads or writes fail as a damaged or full medium
// would. A copy consults them on its own thread once per read it makes, before
// any byte moves; each returns an errno for the range, or 0.
using FaultHook = std::function<int(qint64 offset, qint64 count)>;
void setReadFaultHook(FaultHook hook);
void setWriteFaultHook(FaultHook hook);
int readFault(qint64 offset, qint64 count);
int writeFault(qint64 offset, qint64 count);
// A medium that fails part-way through a read: given the range one read
// system call asks for, how many bytes from its start can be read (count or
// more: all of it). The call then delivers those and the next one fails (EIO),
// as the kernel reports a failure after a partial transfer.
using ReadableHook = std::function<qint64(qint64 offset, qint64 count)>;
void setReadableHook(ReadableHook hook);

} // namespace rt
