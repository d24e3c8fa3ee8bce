// badfs: a damaged medium for the tests. Mirrors a folder read-only and makes
// chosen byte ranges unreadable, optionally slowly, and counts what was read.
//
//   badfs SOURCE MOUNTPOINT [--bad A-B]... [--slow A-B]... [--bad-delay MS]
//         [--slow-delay MS] [--open-delay MS] [--short-reads[-exact]] [--marginal A-B:K]...
//         [--from-above A-B]... [--secured N] [--list-delay MS] [--blksize N]
//         [--refuse-direct] [--bad-list FILE] [--hang CALLS] [FUSE options]
//
// Ranges are half-open byte ranges [A, B) within any file of the folder
// (decimal, or hex with 0x). A read that touches a bad range fails with EIO
// after --bad-delay ms; a read that touches a slow range is held --slow-delay
// ms first. With --short-reads a read that starts before the first bad block
// it touches returns the whole 4096-byte blocks before it instead, as a disk
// returns the sectors before a bad one; the next read, at the bad block, fails.
// With --short-reads-exact it returns every byte before the first bad one,
// ending inside a sector, as a failing drive or driver may.
// A marginal range fails the first K reads of each of its blocks, then reads;
// a from-above range reads only when the file's previous read started above it.
//
// --bad-list names a file of more bad ranges, one A-B a line, in order and
// apart, looked up by halving: the scattered damage of a whole disk.
//
// Every listing of a folder is held --list-delay ms first (a stick waking up).
// --hang read,open,list: see HangSwitch.h (a driver that stops answering).
//
// Every read reaches the file system at the size asked (direct_io, no page
// cache, no read-ahead) and st_blksize is 4096, or N with --blksize (NFS and
// CIFS say 1 MiB). With --refuse-direct an open for direct access (O_DIRECT)
// fails with EINVAL, as on media that take none. The hidden file ".badfs-stats"
// at the root of the mount (never counted as a read) lists:
//   failed N                 reads answered with EIO
//   reads N                  reads of files
//   secured F NS             with --secured N: failed reads and CLOCK_MONOTONIC ns when
//                            N distinct blocks had been delivered (then failing reads take no delay)
//   listings N               listings of folders
//   refused N                opens for direct access refused
//   block INDEX COUNT PATH   how often each 4096-byte block was read (blocks
//                            never read are left out)
// A failing read counts every block it asked for; a read that succeeds counts
// the blocks it delivered.

#define FUSE_USE_VERSION 31

#include <fuse3/fuse.h>

#include "BadfsOptions.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../HangSwitch.h"

namespace {

const char kStatsName[] = "/.badfs-stats";

using badfs::Options;
using badfs::Range;
using badfs::kBlock;
using badfs::usage;

Options g_options;
uint64_t g_failed = 0;
uint64_t g_reads = 0;
uint64_t g_listings = 0;
uint64_t g_refused = 0;
std::map<std::string, std::vector<uint32_t>> g_blockReads;
std::map<std::string, std::vector<bool>> g_delivered;
int64_t g_deliveredCount = 0, g_securedFailed = -1, g_securedAtNs = -1;
std::map<std::string, int64_t> g_lastRead; // where each file's previous read started
const bool g_trace = std::getenv("BADFS_TRACE") != nullptr; // every read on stderr

std::string hostPath(const char *path) { return g_options.source + path; }

bool isStats(const char *path) { return std::strcmp(path, kStatsName) == 0; }

std::string statsText()
{
    std::string text = "failed " + std::to_string(g_failed) + "\nreads " + std::to_string(g_reads) + "\nsecured "
        + std::to_string(g_securedFailed) + " " + std::to_string(g_securedAtNs) + "\nlistings " + std::to_string(g_listings) + "\nrefused " + std::to_string(g_refused) + "\n";
    for (const auto &[path, counts] : g_blockReads)
        for (size_t i = 0; i < counts.size(); ++i)
            if (counts[i] != 0)
                text += "block " + std::to_string(i) + " " + std::to_string(counts[i]) + " " + path + "\n";
    return text;
}

void countBlocks(const char *path, int64_t offset, int64_t size)
{
    if (size <= 0)
        return;
    std::vector<uint32_t> &counts = g_blockReads[path];
    const int64_t first = offset / kBlock;
    const int64_t last = (offset + size - 1) / kBlock;
    if (counts.size() <= size_t(last))
        counts.resize(size_t(last) + 1);
    for (int64_t b = first; b <= last; ++b)
        ++counts[size_t(b)];
}

void countDelivered(const char *path, int64_t offset, int64_t size)
{
    std::vector<bool> &seen = g_delivered[path];
    for (int64_t b = offset / kBlock; size > 0 && b <= (offset + size - 1) / kBlock; ++b) {
        seen.resize(std::max(seen.size(), size_t(b) + 1));
        g_deliveredCount += !seen[size_t(b)];
        seen[size_t(b)] = true;
    }
    if (g_options.secured >= 0 && g_securedFailed < 0 && g_deliveredCount >= g_options.secured)
        g_securedFailed = int64_t(g_failed), g_securedAtNs = std::chrono::steady_clock::now().time_since_epoch().count();
}

void sleepMs(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void *bf_init(fuse_conn_info *, fuse_config *cfg)
{
    // Attributes and entries may be cached; file contents never are.
    cfg->direct_io = 1;
    cfg->kernel_cache = 0;
    cfg->use_ino = 0;
    return nullptr;
}

int bf_getattr(const char *path, struct stat *st, fuse_file_info *)
{
    if (isStats(path)) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = off_t(statsText().size());
        st->st_blksize = kBlock;
        return 0;
    }
    if (lstat(hostPath(path).c_str(), st) != 0)
        return -errno;
    st->st_mode &= ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH);
    st->st_blksize = blksize_t(g_options.blksize);
    return 0;
}

int bf_readlink(const char *path, char *buf, size_t size)
{
    const ssize_t n = readlink(hostPath(path).c_str(), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

int bf_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    DIR *dir = opendir(hostPath(path).c_str());
    if (!dir)
        return -errno;
    ++g_listings;
    hangswitch::at("list");
    sleepMs(g_options.listDelayMs);
    errno = 0;
    while (const dirent *e = readdir(dir))
        fill(buf, e->d_name, nullptr, 0, fuse_fill_dir_flags(0));
    const int error = errno;
    closedir(dir);
    return -error;
}

int bf_open(const char *path, fuse_file_info *fi)
{
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    if (isStats(path)) {
        fi->fh = uint64_t(-1);
        return 0;
    }
    hangswitch::at("open");
    if (g_options.refuseDirect && (fi->flags & O_DIRECT)) {
        ++g_refused;
        return -EINVAL;
    }
    sleepMs(g_options.openDelayMs);
    const int fd = open(hostPath(path).c_str(), O_RDONLY);
    if (fd < 0)
        return -errno;
    fi->fh = uint64_t(fd);
    return 0;
}

int bf_read(const char *path, char *buf, size_t size, off_t offset, fuse_file_info *fi)
{
    if (isStats(path)) {
        const std::string text = statsText();
        if (offset >= off_t(text.size()))
            return 0;
        const size_t n = std::min(size, text.size() - size_t(offset));
        std::memcpy(buf, text.data() + offset, n);
        return int(n);
    }
    ++g_reads;
    hangswitch::at("read");
    if (g_trace)
        std::fprintf(stderr, "read %s %lld+%zu\n", path, (long long)offset, size);
    int64_t want = int64_t(size);
    for (const Range &r : g_options.slow)
        if (r.touches(offset, want)) {
            sleepMs(g_options.slowDelayMs);
            break;
        }
    const auto last = g_lastRead.find(path);
    const int64_t previous = last == g_lastRead.end() ? -1 : last->second;
    g_lastRead[path] = offset;
    const std::vector<uint32_t> &counts = g_blockReads[path];
    const auto failsNow = [&](const Range &r) {
        if (r.fromAbove)
            return previous <= offset;
        const int64_t stop = std::min(r.end, offset + want);
        for (int64_t b = std::max(r.begin, int64_t(offset)) / kBlock; r.failures >= 0 && b * kBlock < stop; ++b)
            if ((size_t(b) < counts.size() ? counts[size_t(b)] : 0) < uint32_t(r.failures))
                return true;
        return r.failures < 0;
    };
    int64_t firstBad = -1;
    for (const Range &r : g_options.bad)
        if (r.touches(offset, want) && failsNow(r)) {
            const int64_t at = std::max<int64_t>(r.begin, offset);
            if (firstBad < 0 || at < firstBad)
                firstBad = at;
        }
    const auto listed = std::upper_bound(g_options.badList.begin(), g_options.badList.end(), int64_t(offset),
                                         [](int64_t at, const Range &r) { return at < r.end; });
    if (listed != g_options.badList.end() && listed->touches(offset, want)) {
        const int64_t at = std::max<int64_t>(listed->begin, offset);
        if (firstBad < 0 || at < firstBad)
            firstBad = at;
    }
    if (firstBad >= 0) {
        const int64_t goodEnd = g_options.shortReadsExact ? firstBad : firstBad / kBlock * kBlock;
        if ((g_options.shortReads || g_options.shortReadsExact) && goodEnd > offset) {
            want = goodEnd - offset;
        } else {
            if (g_securedFailed < 0)
                sleepMs(g_options.badDelayMs);
            ++g_failed;
            countBlocks(path, offset, want);
            return -EIO;
        }
    }
    const ssize_t n = pread(int(fi->fh), buf, size_t(want), offset);
    if (n < 0)
        return -errno;
    countBlocks(path, offset, n);
    countDelivered(path, offset, n);
    return int(n);
}

int bf_release(const char *, fuse_file_info *fi)
{
    if (fi->fh != uint64_t(-1))
        close(int(fi->fh));
    return 0;
}

int bf_statfs(const char *, struct statvfs *st)
{
    if (statvfs(g_options.source.c_str(), st) != 0)
        return -errno;
    return 0;
}

off_t bf_lseek(const char *path, off_t off, int whence, fuse_file_info *fi)
{
    if (isStats(path) || fi == nullptr)
        return -EINVAL;
    const off_t r = lseek(int(fi->fh), off, whence);
    return r < 0 ? -errno : r;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return usage(argv[0]);
    char *real = realpath(argv[1], nullptr);
    if (!real) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(errno));
        return 2;
    }
    g_options.source = real;
    std::free(real);
    if (g_options.source == "/")
        g_options.source.clear();

    std::vector<char *> fuseArgs{argv[0], argv[2]};
    if (!badfs::parseArguments(argc, argv, g_options, fuseArgs))
        return 2;
    static char ro[] = "-oro,default_permissions,fsname=badfs,subtype=badfs";
    fuseArgs.push_back(ro);

    fuse_operations ops{};
    ops.init = bf_init;
    ops.getattr = bf_getattr;
    ops.readlink = bf_readlink;
    ops.readdir = bf_readdir;
    ops.open = bf_open;
    ops.read = bf_read;
    ops.release = bf_release;
    ops.statfs = bf_statfs;
    ops.lseek = bf_lseek;
    return fuse_main(int(fuseArgs.size()), fuseArgs.data(), &ops, nullptr);
}
