// fatfs FOLDER MOUNTPOINT [FUSE options]: a medium that behaves as FAT
// drivers do, where the kernel here has none to mount. Mirrors a folder
// read-write, and like a FAT stick refuses files past 4 GiB - 1 byte (EFBIG),
// has no owners or modes (chown and chmod: ENOSYS), refuses a truncate to a
// file's own length (EPERM, as some FUSE FAT drivers do) and names with
// \ : * ? " < > | or control characters (EINVAL), and keeps times to 2 s.
// Its mount table type is "fuse.vfat". --hang write,flush (after the
// mount point): see HangSwitch.h (a driver that stops answering).

#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "../HangSwitch.h"

namespace {

constexpr off_t kLargest = 4294967295; // 4 GiB - 1
std::string g_folder;

std::string host(const char *path) { return g_folder + path; }

bool nameAllowed(const char *path)
{
    const char *name = std::strrchr(path, '/');
    for (const char *c = name ? name + 1 : path; *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || std::strchr("\\:*?\"<>|", *c))
            return false;
    return true;
}

// A call's result as FUSE wants it: the count or 0, else the negated errno.
int rc(long long r) { return r < 0 ? -errno : int(r); }
int fd(const fuse_file_info *fi) { return int(fi->fh); }

int fs_getattr(const char *path, struct stat *st, fuse_file_info *fi)
{
    return rc(fi ? fstat(fd(fi), st) : lstat(host(path).c_str(), st));
}

int fs_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    DIR *dir = opendir(host(path).c_str());
    if (!dir)
        return -errno;
    while (const dirent *e = readdir(dir))
        fill(buf, e->d_name, nullptr, 0, fuse_fill_dir_flags(0));
    return rc(closedir(dir));
}

int fs_unlink(const char *path) { return rc(unlink(host(path).c_str())); }

int fs_rename(const char *from, const char *to, unsigned int flags)
{
    return flags || !nameAllowed(to) ? -EINVAL : rc(rename(host(from).c_str(), host(to).c_str()));
}

int fs_chmod(const char *, mode_t, fuse_file_info *) { return -ENOSYS; }
int fs_chown(const char *, uid_t, gid_t, fuse_file_info *) { return -ENOSYS; }

int fs_truncate(const char *path, off_t size, fuse_file_info *fi)
{
    struct stat st {};
    if (size > kLargest)
        return -EFBIG;
    if (fs_getattr(path, &st, fi) == 0 && st.st_size == size)
        return -EPERM;
    return rc(fi ? ftruncate(fd(fi), size) : truncate(host(path).c_str(), size));
}

int fs_utimens(const char *path, const timespec tv[2], fuse_file_info *fi)
{
    timespec t[2] = {tv[0], tv[1]};
    for (timespec &one : t)
        if (one.tv_nsec != UTIME_NOW && one.tv_nsec != UTIME_OMIT)
            one = {one.tv_sec - one.tv_sec % 2, 0};
    return rc(fi ? futimens(fd(fi), t) : utimensat(AT_FDCWD, host(path).c_str(), t, AT_SYMLINK_NOFOLLOW));
}

int fs_create(const char *path, mode_t mode, fuse_file_info *fi)
{
    if (mode && !nameAllowed(path))
        return -EINVAL;
    const int opened = open(host(path).c_str(), mode ? fi->flags | O_CREAT : fi->flags, mode);
    fi->fh = uint64_t(opened);
    return rc(opened < 0 ? -1 : 0);
}

int fs_open(const char *path, fuse_file_info *fi) { return fs_create(path, 0, fi); }

int fs_read(const char *, char *buf, size_t size, off_t offset, fuse_file_info *fi)
{
    return rc(pread(fd(fi), buf, size, offset));
}

int fs_write(const char *, const char *buf, size_t size, off_t offset, fuse_file_info *fi)
{
    hangswitch::at("write");
    return offset + off_t(size) > kLargest ? -EFBIG : rc(pwrite(fd(fi), buf, size, offset));
}

int fs_statfs(const char *, struct statvfs *st) { return rc(statvfs(g_folder.c_str(), st)); }
int fs_flush(const char *, fuse_file_info *)
{
    hangswitch::at("flush");
    return 0;
}
int fs_release(const char *, fuse_file_info *fi) { return rc(close(fd(fi))); }

} // namespace

int main(int argc, char *argv[])
{
    char *real = argc >= 3 ? realpath(argv[1], nullptr) : nullptr;
    if (!real) {
        std::fprintf(stderr, "usage: %s FOLDER MOUNTPOINT [FUSE options]\n", argv[0]);
        return 2;
    }
    g_folder = real;
    std::free(real);
    umask(0);
    std::vector<char *> args{argv[0]};
    for (int i = 2; i < argc; ++i)
        if (i < 3 || !hangswitch::parse(argc, argv, i))
            args.push_back(argv[i]);
    static char options[] = "-ofsname=fatfs,subtype=vfat";
    args.push_back(options);

    fuse_operations ops{};
    ops.getattr = fs_getattr, ops.readdir = fs_readdir, ops.unlink = fs_unlink, ops.rename = fs_rename;
    ops.chmod = fs_chmod, ops.chown = fs_chown, ops.truncate = fs_truncate, ops.utimens = fs_utimens;
    ops.open = fs_open, ops.create = fs_create, ops.read = fs_read, ops.write = fs_write;
    ops.statfs = fs_statfs, ops.release = fs_release, ops.flush = fs_flush;
    return fuse_main(int(args.size()), args.data(), &ops, nullptr);
}
