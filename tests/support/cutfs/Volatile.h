// What a power cut takes from cutfs: data written but not flushed, and (with
// --hold-names) the folder changes made since the last folder flush.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cutfs {

constexpr off_t kPage = 4096;

// The unflushed data of every file, by the backing file's inode: whole pages
// as the file now reads, and its length. The backing file holds only what was
// flushed; bytes of it at or past `backingValid` were cut off by a truncate
// since and read as zeros.
class UnflushedData {
public:
    ~UnflushedData() { drop(); }

    // fd: any descriptor open on the backing file.
    ssize_t read(int fd, char *buf, size_t size, off_t offset);
    int write(int fd, const char *buf, size_t size, off_t offset);
    int truncate(int fd, off_t length);
    // The length the file has now, where it differs from the backing file's.
    bool length(ino_t inode, off_t &length) const;
    // Writes the file's pages to the backing file: an fsync. 0 or -errno.
    int flush(int fd);
    int flushAll();
    // A cut: each file's pages are lost, or, with keepOneIn > 0, every
    // keepOneIn-th page on average reaches the backing file all the same, as a
    // disk writes back some of its cache in no order before it loses power.
    void cut(uint64_t seed, int keepOneIn);

private:
    struct File {
        int fd = -1; // a descriptor of its own: the file may be closed before its flush
        off_t size = 0;
        off_t backingValid = 0;
        std::map<off_t, std::string> pages; // by page index
    };
    File *fileOf(int fd, bool make);
    std::string page(File &f, off_t index);
    int writeBack(File &f, bool all);
    void drop();

    std::map<ino_t, File> m_files;
};

// Folder changes held until a folder flush: each made on the backing folder
// at once (so the mount reads as a disk does before a cut), with what undoes
// it. A removed or replaced entry waits in a trash folder of the backing
// folder, hidden from the mount, until the flush.
class HeldNames {
public:
    explicit HeldNames(std::string trash) : m_trash(std::move(trash)) {}

    // Backing paths; each returns 0 or -errno.
    int created(const std::string &path) { return note({Undo::Remove, path, {}}); }
    int madeFolder(const std::string &path) { return note({Undo::RemoveFolder, path, {}}); }
    int remove(const std::string &path, bool folder);
    int rename(const std::string &from, const std::string &to, unsigned flags);
    // The folder flush: every change so far stays.
    void commit();
    // The cut: every change since the last flush is undone, last first.
    void rollBack();

private:
    struct Undo {
        enum Kind { Remove, RemoveFolder, MoveBack } kind;
        std::string path; // Remove*: what was made; MoveBack: where it is now
        std::string to;   // MoveBack: where it goes back to
    };
    int note(Undo undo)
    {
        m_undo.push_back(std::move(undo));
        return 0;
    }
    std::string toTrash(const std::string &path, int &error);

    std::string m_trash;
    std::vector<Undo> m_undo;
    uint64_t m_trashed = 0;
};

} // namespace cutfs
