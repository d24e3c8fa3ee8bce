#include "Volatile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace cutfs {

UnflushedData::File *UnflushedData::fileOf(int fd, bool make)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return nullptr;
    const auto found = m_files.find(st.st_ino);
    if (found != m_files.end() || !make)
        return found == m_files.end() ? nullptr : &found->second;
    File &f = m_files[st.st_ino];
    f.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    f.size = f.backingValid = st.st_size;
    return &f;
}

std::string UnflushedData::page(File &f, off_t index)
{
    const auto found = f.pages.find(index);
    if (found != f.pages.end())
        return found->second;
    // As the file reads now: the backing file up to where it is still valid, zeros past it.
    std::string bytes(kPage, '\0');
    const off_t at = index * kPage;
    const off_t valid = std::min<off_t>(kPage, std::max<off_t>(0, f.backingValid - at));
    if (valid > 0 && pread(f.fd, bytes.data(), size_t(valid), at) < 0)
        return std::string(kPage, '\0');
    return bytes;
}

ssize_t UnflushedData::read(int fd, char *buf, size_t size, off_t offset)
{
    File *f = fileOf(fd, false);
    if (!f) {
        const ssize_t n = pread(fd, buf, size, offset);
        return n < 0 ? -errno : n;
    }
    if (offset >= f->size)
        return 0;
    const size_t n = size_t(std::min<off_t>(off_t(size), f->size - offset));
    for (size_t done = 0; done < n;) {
        const off_t at = offset + off_t(done);
        const size_t inPage = std::min<size_t>(n - done, size_t(kPage - at % kPage));
        std::memcpy(buf + done, page(*f, at / kPage).data() + at % kPage, inPage);
        done += inPage;
    }
    return ssize_t(n);
}

int UnflushedData::write(int fd, const char *buf, size_t size, off_t offset)
{
    File *f = fileOf(fd, true);
    if (!f || f->fd < 0)
        return -EIO;
    for (size_t done = 0; done < size;) {
        const off_t at = offset + off_t(done);
        const size_t inPage = std::min<size_t>(size - done, size_t(kPage - at % kPage));
        std::string bytes = page(*f, at / kPage);
        std::memcpy(bytes.data() + at % kPage, buf + done, inPage);
        f->pages[at / kPage] = std::move(bytes);
        done += inPage;
    }
    f->size = std::max<off_t>(f->size, offset + off_t(size));
    return int(size);
}

int UnflushedData::truncate(int fd, off_t length)
{
    File *f = fileOf(fd, true);
    if (!f || f->fd < 0)
        return -EIO;
    if (length < f->size) {
        f->pages.erase(f->pages.lower_bound((length + kPage - 1) / kPage), f->pages.end());
        if (length % kPage != 0) {
            std::string bytes = page(*f, length / kPage);
            std::fill(bytes.begin() + length % kPage, bytes.end(), '\0');
            f->pages[length / kPage] = std::move(bytes);
        }
        f->backingValid = std::min(f->backingValid, length);
    }
    f->size = length;
    return 0;
}

bool UnflushedData::length(ino_t inode, off_t &length) const
{
    const auto found = m_files.find(inode);
    if (found == m_files.end())
        return false;
    length = found->second.size;
    return true;
}

int UnflushedData::writeBack(File &f, bool all)
{
    struct stat st {};
    if (all && fstat(f.fd, &st) == 0 && st.st_size > f.backingValid && ftruncate(f.fd, f.backingValid) != 0)
        return -errno;
    for (const auto &[index, bytes] : f.pages) {
        const off_t at = index * kPage;
        const size_t n = size_t(std::min<off_t>(kPage, f.size - at));
        if (at < f.size && pwrite(f.fd, bytes.data(), n, at) != ssize_t(n))
            return -EIO;
    }
    if (all && ftruncate(f.fd, f.size) != 0)
        return -errno;
    return fdatasync(f.fd) == 0 ? 0 : -errno;
}

int UnflushedData::flush(int fd)
{
    File *f = fileOf(fd, false);
    if (!f)
        return 0;
    const int result = writeBack(*f, true);
    close(f->fd);
    struct stat st {};
    fstat(fd, &st);
    m_files.erase(st.st_ino);
    return result;
}

int UnflushedData::flushAll()
{
    int result = 0;
    for (auto &[inode, f] : m_files)
        if (const int r = writeBack(f, true); r != 0 && result == 0)
            result = r;
    drop();
    return result;
}

void UnflushedData::cut(uint64_t seed, int keepOneIn)
{
    std::mt19937_64 random(seed);
    for (auto &[inode, f] : m_files) {
        if (keepOneIn <= 0)
            break;
        // Only whole pages, within the length the file has on the medium.
        struct stat st {};
        fstat(f.fd, &st);
        std::erase_if(f.pages, [&](const auto &p) { return random() % uint64_t(keepOneIn) != 0 || p.first * kPage >= st.st_size; });
        f.size = std::min<off_t>(f.size, st.st_size);
        writeBack(f, false);
    }
    drop();
}

void UnflushedData::drop()
{
    for (auto &[inode, f] : m_files)
        close(f.fd);
    m_files.clear();
}

namespace {

bool emptyFolder(const std::string &path)
{
    DIR *dir = opendir(path.c_str());
    int entries = 0;
    while (dir && readdir(dir))
        ++entries;
    if (dir)
        closedir(dir);
    return dir && entries <= 2;
}

} // namespace

std::string HeldNames::toTrash(const std::string &path, int &error)
{
    const std::string place = m_trash + "/" + std::to_string(++m_trashed);
    error = ::rename(path.c_str(), place.c_str()) == 0 ? 0 : -errno;
    return place;
}

int HeldNames::remove(const std::string &path, bool folder)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return -errno;
    if (folder != S_ISDIR(st.st_mode))
        return folder ? -ENOTDIR : -EISDIR;
    if (folder && !emptyFolder(path))
        return -ENOTEMPTY;
    int error = 0;
    const std::string place = toTrash(path, error);
    return error ? error : note({Undo::MoveBack, place, path});
}

int HeldNames::rename(const std::string &from, const std::string &to, unsigned flags)
{
    struct stat st {};
    if (flags & ~unsigned(RENAME_NOREPLACE))
        return -EINVAL; // no exchange: this program never asks for one
    if (lstat(from.c_str(), &st) != 0)
        return -errno;
    const bool replaces = lstat(to.c_str(), &st) == 0;
    if (replaces && (flags & RENAME_NOREPLACE))
        return -EEXIST;
    if (from == to)
        return 0;
    if (replaces) {
        int error = 0;
        const std::string place = toTrash(to, error);
        if (error)
            return error;
        note({Undo::MoveBack, place, to});
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
        const int error = -errno;
        if (replaces) {
            ::rename(m_undo.back().path.c_str(), to.c_str());
            m_undo.pop_back();
        }
        return error;
    }
    return note({Undo::MoveBack, to, from});
}

void HeldNames::commit()
{
    for (const Undo &u : m_undo)
        if (u.kind == Undo::MoveBack && u.path.rfind(m_trash + "/", 0) == 0 && ::unlink(u.path.c_str()) != 0)
            ::rmdir(u.path.c_str());
    m_undo.clear();
}

void HeldNames::rollBack()
{
    for (auto u = m_undo.rbegin(); u != m_undo.rend(); ++u) {
        if (u->kind == Undo::Remove)
            ::unlink(u->path.c_str());
        else if (u->kind == Undo::RemoveFolder)
            ::rmdir(u->path.c_str());
        else
            ::rename(u->path.c_str(), u->to.c_str());
    }
    m_undo.clear();
}

} // namespace cutfs
