// fakefs: a counterfeit medium for the tests. One file, /disk.img, that
// claims one size and stores less, as counterfeit USB sticks and memory cards
// do; a loop device over it (losetup --direct-io=on) makes it a disk.
//
//   fakefs STORE MOUNTPOINT --claims BYTES --stores BYTES [--mode limbo|wrap]
//          [--cache BYTES] [--flip OFFSET] [FUSE options]
//
// STORE is a file that holds what the medium really stores (made sparse, of
// --stores bytes). Past --stores, a write is dropped and the bytes there read
// as zeros (limbo), or it is stored again from offset 0, over what is there
// (wrap), reads alike. --cache answers reads of the last BYTES written with
// what was written, as a stick's own cache does, dropped or not. --flip makes
// the stored byte at OFFSET of the disk read with its lowest bit flipped (a
// medium that corrupts in place); writing an offset to the hidden file
// "/.fakefs-flip" moves it there at any time. The hidden file "/.fakefs-stats" lists:
//   beyond N   bytes written at offsets at or past --stores
//   written N  bytes written in all

#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char kDisk[] = "/disk.img";
const char kStats[] = "/.fakefs-stats";
const char kFlip[] = "/.fakefs-flip";

struct Chunk {
    int64_t offset;
    std::vector<char> data;
};

int g_store = -1;
int64_t g_claims = 0;
int64_t g_stores = 0;
bool g_wrap = false;
int64_t g_cacheSize = 0;
int64_t g_flip = -1;
std::deque<Chunk> g_cache; // oldest first
int64_t g_cached = 0;
int64_t g_beyond = 0;
int64_t g_written = 0;

std::string statsText()
{
    return "beyond " + std::to_string(g_beyond) + "\nwritten " + std::to_string(g_written) + "\n";
}

int fk_getattr(const char *path, struct stat *st, fuse_file_info *)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    st->st_nlink = 1;
    if (std::strcmp(path, kDisk) == 0) {
        st->st_mode = S_IFREG | 0644;
        st->st_size = g_claims;
        return 0;
    }
    if (std::strcmp(path, kFlip) == 0) {
        st->st_mode = S_IFREG | 0200;
        return 0;
    }
    if (std::strcmp(path, kStats) == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_size = int64_t(statsText().size());
        return 0;
    }
    return -ENOENT;
}

int fk_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buf, kDisk + 1, nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int fk_open(const char *path, fuse_file_info *fi)
{
    if (std::strcmp(path, kDisk) != 0 && std::strcmp(path, kStats) != 0 && std::strcmp(path, kFlip) != 0)
        return -ENOENT;
    // Every read and write reaches the medium as asked: no page cache here.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

// Where the medium really keeps the byte at offset, or -1: nowhere (limbo).
int64_t stored(int64_t offset) { return offset < g_stores ? offset : g_wrap ? offset % g_stores : -1; }

int fk_read(const char *path, char *buf, size_t size, off_t offset, fuse_file_info *)
{
    if (std::strcmp(path, kStats) == 0) {
        const std::string text = statsText();
        if (offset >= off_t(text.size()))
            return 0;
        const size_t n = std::min(size, text.size() - size_t(offset));
        std::memcpy(buf, text.data() + offset, n);
        return int(n);
    }
    if (offset >= g_claims)
        return 0;
    size = size_t(std::min<int64_t>(int64_t(size), g_claims - offset));
    for (size_t done = 0; done < size;) {
        const int64_t at = offset + int64_t(done);
        const int64_t where = stored(at);
        // Up to the next place where the mapping changes.
        size_t n = size - done;
        if (at < g_stores)
            n = size_t(std::min<int64_t>(int64_t(n), g_stores - at));
        else if (g_wrap)
            n = size_t(std::min<int64_t>(int64_t(n), g_stores - where));
        if (where < 0) {
            std::memset(buf + done, 0, n);
        } else {
            const ssize_t got = pread(g_store, buf + done, n, where);
            if (got < 0)
                return -errno;
            std::memset(buf + done + got, 0, n - size_t(got));
        }
        done += n;
    }
    if (g_flip >= offset && g_flip < offset + off_t(size))
        buf[g_flip - offset] ^= 1;
    // The stick's cache answers for what it still holds, newest last.
    for (const Chunk &c : g_cache) {
        const int64_t from = std::max<int64_t>(offset, c.offset);
        const int64_t to = std::min<int64_t>(offset + int64_t(size), c.offset + int64_t(c.data.size()));
        if (from < to)
            std::memcpy(buf + (from - offset), c.data.data() + (from - c.offset), size_t(to - from));
    }
    return int(size);
}

int fk_write(const char *path, const char *buf, size_t size, off_t offset, fuse_file_info *)
{
    if (std::strcmp(path, kFlip) == 0) {
        g_flip = std::strtoll(std::string(buf, size).c_str(), nullptr, 0);
        return int(size);
    }
    if (std::strcmp(path, kDisk) != 0)
        return -EACCES;
    if (offset >= g_claims)
        return -ENOSPC;
    size = size_t(std::min<int64_t>(int64_t(size), g_claims - offset));
    g_written += int64_t(size);
    for (size_t done = 0; done < size;) {
        const int64_t at = offset + int64_t(done);
        const int64_t where = stored(at);
        size_t n = size - done;
        if (at < g_stores)
            n = size_t(std::min<int64_t>(int64_t(n), g_stores - at));
        else if (g_wrap)
            n = size_t(std::min<int64_t>(int64_t(n), g_stores - where));
        if (at >= g_stores)
            g_beyond += int64_t(n);
        if (where >= 0 && pwrite(g_store, buf + done, n, where) != ssize_t(n))
            return -EIO;
        done += n;
    }
    if (g_cacheSize > 0) {
        g_cache.push_back({offset, std::vector<char>(buf, buf + size)});
        g_cached += int64_t(size);
        while (g_cached > g_cacheSize && !g_cache.empty()) {
            g_cached -= int64_t(g_cache.front().data.size());
            g_cache.pop_front();
        }
    }
    return int(size);
}

int fk_truncate(const char *, off_t, fuse_file_info *) { return 0; }
int fk_fsync(const char *, int, fuse_file_info *) { return 0; }

void *fk_init(fuse_conn_info *, fuse_config *cfg)
{
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->attr_timeout = 0;
    return nullptr;
}

int usage(const char *self)
{
    std::fprintf(stderr,
                 "usage: %s STORE MOUNTPOINT --claims BYTES --stores BYTES [--mode limbo|wrap] "
                 "[--cache BYTES] [--flip OFFSET] [FUSE options]\n",
                 self);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return usage(argv[0]);
    std::vector<char *> fuseArgs{argv[0], argv[2]};
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        const bool valued = a == "--claims" || a == "--stores" || a == "--mode" || a == "--cache" || a == "--flip";
        if (valued && i + 1 >= argc)
            return usage(argv[0]);
        if (a == "--claims")
            g_claims = std::strtoll(argv[++i], nullptr, 0);
        else if (a == "--stores")
            g_stores = std::strtoll(argv[++i], nullptr, 0);
        else if (a == "--cache")
            g_cacheSize = std::strtoll(argv[++i], nullptr, 0);
        else if (a == "--flip")
            g_flip = std::strtoll(argv[++i], nullptr, 0);
        else if (a == "--mode") {
            const std::string mode = argv[++i];
            if (mode != "limbo" && mode != "wrap")
                return usage(argv[0]);
            g_wrap = mode == "wrap";
        } else
            fuseArgs.push_back(argv[i]);
    }
    if (g_claims <= 0 || g_stores <= 0 || g_stores > g_claims)
        return usage(argv[0]);
    g_store = open(argv[1], O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (g_store < 0 || ftruncate(g_store, g_stores) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    static char opts[] = "-odefault_permissions,fsname=fakefs,subtype=fakefs";
    fuseArgs.push_back(opts);
    fuse_operations ops{};
    ops.init = fk_init;
    ops.getattr = fk_getattr;
    ops.readdir = fk_readdir;
    ops.open = fk_open;
    ops.read = fk_read;
    ops.write = fk_write;
    ops.truncate = fk_truncate;
    ops.fsync = fk_fsync;
    return fuse_main(int(fuseArgs.size()), fuseArgs.data(), &ops, nullptr);
}
