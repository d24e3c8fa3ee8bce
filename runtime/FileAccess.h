#pragma once

#include <QString>
#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <sys/types.h>

// File access in drive-letter paths. Every failure is raised as an RtError with
// a run-time error number and the operating system's reason; nothing here
// reports a failure any other way.
namespace rt {

// The name part of the path when a file (not a folder) of that name exists,
// else "". Throws like Drives::toHost for a drive that is not ready.
QString findFile(const QString &drivePath);

// Size in bytes, 64-bit.
qint64 fileLength(const QString &drivePath);

void makeDir(const QString &drivePath);
// Removes an empty folder; a drive's root is never removed.
void removeDir(const QString &drivePath);
// Deletes a file; never a folder.
void killFile(const QString &drivePath);

bool folderExists(const QString &drivePath);

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
    // Read: the file must exist and is never created. Write: a missing file is
    // created with createMode (the umask applies); an existing one keeps its
    // content and its permissions.
    static File open(const QString &drivePath, Access access, mode_t createMode = 0666);
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File();

    bool isOpen() const { return m_fd >= 0; }
    int descriptor() const { return m_fd; }
    // The length of the open file, asked of the file system each time.
    qint64 length() const;
    mode_t permissions() const;
    void setLength(qint64 length);
    // Returns 0, or the errno of a close that reported a late write failure.
    int close();
    // Deletes the file this was opened on, wherever a link that named it
    // pointed; also after close(). Nothing is deleted if another file has
    // taken its place since.
    void deleteFromDisk();

private:
    explicit File(int fd);
    int m_fd = -1;
    QByteArray m_realPath; // the file's own path, links resolved, when opened
    dev_t m_device = 0;
    ino_t m_inode = 0;
    mode_t m_mode = 0;
};

// The outcome of moving one piece: the bytes moved, and which side failed.
struct PieceResult {
    enum class Failure { None, Read, Write };
    qint64 bytes = 0;
    Failure failure = Failure::None;
    int osError = 0;
};

// Moves pieces between two open files at explicit offsets. The kernel copies
// when it can (copy_file_range); where the file systems refuse that, or a piece
// fails, the piece goes through a page-aligned buffer so a failure can be told
// apart as a read or a write.
class Transfer {
public:
    static constexpr qint64 kBufferSize = 1048576;

    Transfer();
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // Copies up to count bytes; fewer only when the source ends.
    PieceResult copy(const File &source, qint64 sourceOffset, const File &dest, qint64 destOffset,
                     qint64 count);
    // Writes count zero bytes.
    PieceResult writeZeros(const File &dest, qint64 offset, qint64 count);

    bool usesKernelCopy() const { return m_kernelCopy; }

private:
    PieceResult readWrite(const File &source, qint64 sourceOffset, const File &dest,
                          qint64 destOffset, qint64 count);
    PieceResult writeAll(const File &dest, qint64 offset, const char *data, qint64 count);
    char *buffer();

    char *m_buffer = nullptr;
    bool m_kernelCopy = true;
};

// Test hooks: make chosen reads or writes fail as a damaged or full medium
// would. Each returns an errno for the range about to be moved, or 0.
using FaultHook = std::function<int(qint64 offset, qint64 count)>;
void setReadFaultHook(FaultHook hook);
void setWriteFaultHook(FaultHook hook);

} // namespace rt
