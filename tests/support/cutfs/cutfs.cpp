// cutfs: a medium that loses power. Mirrors a folder read-write, but holds
// written data in memory until the file is flushed (fsync, fdatasync), and
// with --hold-names holds every folder change (create, rename, link, unlink,
// mkdir, rmdir) until a folder is flushed (fsync on a folder; any folder
// commits them all). At a cut it drops what it holds and answers every call
// with EIO from then on, as a pulled disk; mounted again over the same folder
// it shows only what was flushed.
//
//   cutfs BACKING MOUNTPOINT [--hold-names] [--cut-after N|CALL:NAME:N[+M]]
//         [--keep-one-in K] [--seed S] [FUSE options]
//
// The cut comes right after the Nth counted call has succeeded (--cut-after
// N), or M calls after the Nth CALL on an entry whose name matches the
// pattern NAME (fnmatch), or at the next call after SIGUSR1. With --keep-one-in K, about one unflushed
// page in K (chosen by --seed) reaches the folder at the cut all the same, as
// a disk's cache written back in no order. A clean unmount writes everything.
//
// Counted calls, in the order they came, are listed in the hidden file
// ".cutfs-log" at the root (readable after a cut too), one a line:
//   N CALL NAME   CALL: create mkdir symlink link write truncate flush dirsync
//                 rename unlink rmdir; NAME: the entry's name (a rename's
//                 new name, a folder flush's folder)
//   cut N         the cut, after call N
// Not given: O_TMPFILE, fallocate (EOPNOTSUPP), locks (the kernel's own); xattrs go through at once.

#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>

#include "CutfsOptions.h"
#include "Volatile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const char kLogName[] = "/.cutfs-log";
const char kHiddenPrefix[] = "/.cutfs";

cutfs::Options g_options;
std::atomic<bool> g_cutAsked{false};
bool g_dead = false;
long long g_calls = 0;
std::string g_log;
cutfs::UnflushedData g_data;
cutfs::HeldNames *g_names = nullptr;

std::string host(const char *path) { return g_options.backing + path; }
bool isLog(const char *path) { return path && std::strcmp(path, kLogName) == 0; }
bool isHidden(const char *path) { return path && std::strncmp(path, kHiddenPrefix, sizeof kHiddenPrefix - 1) == 0; }

std::string nameOf(const char *path)
{
    if (!path)
        return "?";
    const char *slash = std::strrchr(path, '/');
    return slash && slash[1] ? slash + 1 : "/";
}

void cut()
{
    g_dead = true;
    g_data.cut(g_options.seed, g_options.keepOneIn);
    if (g_names)
        g_names->rollBack();
    g_log += "cut " + std::to_string(g_calls) + "\n";
}

// Whether the medium still answers; a cut asked by signal happens here.
bool alive()
{
    if (g_cutAsked.load() && !g_dead)
        cut();
    return !g_dead;
}

// Called after each counted call succeeded: the cut may come right after it.
int counted(int result, const char *call, const char *path)
{
    if (result < 0)
        return result;
    ++g_calls;
    const std::string name = nameOf(path);
    g_log += std::to_string(g_calls) + " " + call + " " + name + "\n";
    if (g_options.cut.cutsAfter(g_calls, call, name))
        cut();
    return result;
}

int orErrno(int rc) { return rc == 0 ? 0 : -errno; }

#define ANSWER_OR_EIO()                                                                                                \
    do {                                                                                                               \
        if (!alive())                                                                                                  \
            return -EIO;                                                                                               \
    } while (false)

void *cf_init(fuse_conn_info *, fuse_config *cfg)
{
    // Nothing cached in the kernel: every read and write comes here.
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->use_ino = 1;
    cfg->hard_remove = 1; // an open file unlinked is gone, not hidden under another name
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    return nullptr;
}

int cf_getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    if (isLog(path)) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = off_t(g_log.size());
        return 0;
    }
    if (isHidden(path))
        return -ENOENT;
    // The mount point stays after a cut, so that the log can still be read.
    if (!alive() && std::strcmp(path, "/") != 0)
        return -EIO;
    if (fi ? fstat(int(fi->fh), st) != 0 : lstat(host(path).c_str(), st) != 0)
        return -errno;
    off_t length = 0;
    if (S_ISREG(st->st_mode) && g_data.length(st->st_ino, length))
        st->st_size = length;
    return 0;
}

int cf_readlink(const char *path, char *buf, size_t size)
{
    ANSWER_OR_EIO();
    const ssize_t n = readlink(host(path).c_str(), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

int cf_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    ANSWER_OR_EIO();
    DIR *dir = opendir(host(path).c_str());
    if (!dir)
        return -errno;
    const bool root = std::strcmp(path, "/") == 0;
    errno = 0;
    while (const dirent *e = readdir(dir))
        if (!root || std::strncmp(e->d_name, kHiddenPrefix + 1, sizeof kHiddenPrefix - 2) != 0)
            fill(buf, e->d_name, nullptr, 0, fuse_fill_dir_flags(0));
    const int error = errno;
    closedir(dir);
    return -error;
}

int cf_mkdir(const char *path, mode_t mode)
{
    ANSWER_OR_EIO();
    if (isHidden(path))
        return -EPERM;
    int rc = orErrno(mkdir(host(path).c_str(), mode));
    if (rc == 0 && g_names)
        rc = g_names->madeFolder(host(path));
    return counted(rc, "mkdir", path);
}

int cf_unlink(const char *path)
{
    ANSWER_OR_EIO();
    return counted(g_names ? g_names->remove(host(path), false) : orErrno(unlink(host(path).c_str())), "unlink", path);
}

int cf_rmdir(const char *path)
{
    ANSWER_OR_EIO();
    return counted(g_names ? g_names->remove(host(path), true) : orErrno(rmdir(host(path).c_str())), "rmdir", path);
}

int cf_symlink(const char *target, const char *path)
{
    ANSWER_OR_EIO();
    int rc = orErrno(symlink(target, host(path).c_str()));
    if (rc == 0 && g_names)
        rc = g_names->created(host(path));
    return counted(rc, "symlink", path);
}

int cf_rename(const char *from, const char *to, unsigned int flags)
{
    ANSWER_OR_EIO();
    if (isHidden(to) || isHidden(from))
        return -EPERM;
    const int rc = g_names ? g_names->rename(host(from), host(to), flags)
                           : orErrno(renameat2(AT_FDCWD, host(from).c_str(), AT_FDCWD, host(to).c_str(), flags));
    return counted(rc, "rename", to);
}

int cf_link(const char *from, const char *to)
{
    ANSWER_OR_EIO();
    int rc = orErrno(link(host(from).c_str(), host(to).c_str()));
    if (rc == 0 && g_names)
        rc = g_names->created(host(to));
    return counted(rc, "link", to);
}

int cf_chmod(const char *path, mode_t mode, fuse_file_info *fi)
{
    ANSWER_OR_EIO();
    return orErrno(fi ? fchmod(int(fi->fh), mode) : chmod(host(path).c_str(), mode));
}

int cf_chown(const char *path, uid_t uid, gid_t gid, fuse_file_info *fi)
{
    ANSWER_OR_EIO();
    return orErrno(fi ? fchown(int(fi->fh), uid, gid) : lchown(host(path).c_str(), uid, gid));
}

int cf_utimens(const char *path, const timespec tv[2], fuse_file_info *fi)
{
    ANSWER_OR_EIO();
    return orErrno(fi ? futimens(int(fi->fh), tv) : utimensat(AT_FDCWD, host(path).c_str(), tv, AT_SYMLINK_NOFOLLOW));
}

// Extended attributes (a copy's mark of its own files) go straight to the folder.
int cf_setxattr(const char *path, const char *name, const char *value, size_t size, int flags)
{
    return alive() ? orErrno(lsetxattr(host(path).c_str(), name, value, size, flags)) : -EIO;
}
int cf_getxattr(const char *path, const char *name, char *value, size_t size)
{
    const ssize_t n = alive() ? lgetxattr(host(path).c_str(), name, value, size) : (errno = EIO, -1);
    return n < 0 ? -errno : int(n);
}
int cf_removexattr(const char *path, const char *name) { return alive() ? orErrno(lremovexattr(host(path).c_str(), name)) : -EIO; }

int cf_truncate(const char *path, off_t size, fuse_file_info *fi)
{
    ANSWER_OR_EIO();
    const int fd = fi ? int(fi->fh) : open(host(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    const int rc = g_data.truncate(fd, size);
    if (!fi)
        close(fd);
    return counted(rc, "truncate", path);
}

// The backing file, always readable: unflushed pages are filled from it.
int openBacking(const char *path, int flags, mode_t mode)
{
    const int fd = open(host(path).c_str(), O_RDWR | O_CLOEXEC | (flags & (O_CREAT | O_EXCL)), mode);
    if (fd >= 0 || (errno != EACCES && errno != EROFS && errno != ETXTBSY))
        return fd;
    return open(host(path).c_str(), O_RDONLY | O_CLOEXEC);
}

int cf_open(const char *path, fuse_file_info *fi)
{
    if (isLog(path)) {
        fi->direct_io = 1;
        fi->fh = uint64_t(-1);
        return (fi->flags & O_ACCMODE) == O_RDONLY ? 0 : -EACCES;
    }
    ANSWER_OR_EIO();
    const int fd = openBacking(path, 0, 0);
    if (fd < 0)
        return -errno;
    fi->fh = uint64_t(fd);
    fi->direct_io = 1;
    return (fi->flags & O_TRUNC) ? counted(g_data.truncate(fd, 0), "truncate", path) : 0;
}

int cf_create(const char *path, mode_t mode, fuse_file_info *fi)
{
    ANSWER_OR_EIO();
    if (isHidden(path))
        return -EPERM;
    int fd = openBacking(path, O_CREAT | O_EXCL, mode);
    if (fd < 0 && errno == EEXIST && !(fi->flags & O_EXCL))
        return cf_open(path, fi);
    if (fd < 0)
        return -errno;
    fi->fh = uint64_t(fd);
    fi->direct_io = 1;
    return counted(g_names ? g_names->created(host(path)) : 0, "create", path);
}

int cf_read(const char *path, char *buf, size_t size, off_t offset, fuse_file_info *fi)
{
    if (isLog(path)) {
        if (offset >= off_t(g_log.size()))
            return 0;
        const size_t n = std::min(size, g_log.size() - size_t(offset));
        std::memcpy(buf, g_log.data() + offset, n);
        return int(n);
    }
    ANSWER_OR_EIO();
    return int(g_data.read(int(fi->fh), buf, size, offset));
}

int cf_write(const char *path, const char *buf, size_t size, off_t offset, fuse_file_info *fi)
{
    ANSWER_OR_EIO();
    return counted(g_data.write(int(fi->fh), buf, size, offset), "write", path);
}

int cf_flush(const char *path, fuse_file_info *)
{
    // A close: no flush to the medium, only the last word of a pulled disk.
    return isLog(path) || alive() ? 0 : -EIO;
}

int cf_release(const char *, fuse_file_info *fi)
{
    if (fi->fh != uint64_t(-1))
        close(int(fi->fh));
    return 0;
}

int cf_fsync(const char *path, int, fuse_file_info *fi)
{
    ANSWER_OR_EIO();
    return counted(g_data.flush(int(fi->fh)), "flush", path);
}

int cf_fsyncdir(const char *path, int, fuse_file_info *)
{
    ANSWER_OR_EIO();
    if (g_names)
        g_names->commit();
    return counted(0, "dirsync", path);
}

int cf_statfs(const char *, struct statvfs *st)
{
    ANSWER_OR_EIO();
    return orErrno(statvfs(g_options.backing.c_str(), st));
}

int cf_fallocate(const char *, int, off_t, off_t, fuse_file_info *)
{
    ANSWER_OR_EIO();
    return -EOPNOTSUPP;
}

void cf_destroy(void *)
{
    // Unmounted: a cut asked for happens now; else everything goes to the medium.
    if (g_cutAsked.load() && !g_dead)
        cut();
    if (!g_dead) {
        g_data.flushAll();
        if (g_names)
            g_names->commit();
    }
    rmdir((g_options.backing + kHiddenPrefix + "-trash").c_str()); // empty by now: the folder is left as it was
}

} // namespace

int main(int argc, char *argv[])
{
    std::vector<char *> fuseArgs;
    if (!cutfs::parseArguments(argc, argv, g_options, fuseArgs))
        return 2;
    const std::string trash = g_options.backing + kHiddenPrefix + "-trash";
    mkdir(trash.c_str(), 0700);
    cutfs::HeldNames names(trash);
    if (g_options.holdNames)
        g_names = &names;
    std::signal(SIGUSR1, [](int) { g_cutAsked.store(true); });
    static char options[] = "-odefault_permissions,fsname=cutfs,subtype=cutfs";
    fuseArgs.push_back(options);

    fuse_operations ops{};
    ops.init = cf_init, ops.destroy = cf_destroy, ops.statfs = cf_statfs;
    ops.getattr = cf_getattr, ops.readlink = cf_readlink, ops.readdir = cf_readdir, ops.fsyncdir = cf_fsyncdir;
    ops.mkdir = cf_mkdir, ops.unlink = cf_unlink, ops.rmdir = cf_rmdir, ops.symlink = cf_symlink;
    ops.rename = cf_rename, ops.link = cf_link, ops.chmod = cf_chmod, ops.chown = cf_chown, ops.utimens = cf_utimens;
    ops.open = cf_open, ops.create = cf_create, ops.read = cf_read, ops.write = cf_write, ops.truncate = cf_truncate;
    ops.setxattr = cf_setxattr, ops.getxattr = cf_getxattr, ops.removexattr = cf_removexattr;
    ops.flush = cf_flush, ops.release = cf_release, ops.fsync = cf_fsync, ops.fallocate = cf_fallocate;
    return fuse_main(int(fuseArgs.size()), fuseArgs.data(), &ops, nullptr);
}
