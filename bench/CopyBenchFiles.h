#pragma once

// The copy benchmark's files and tools: sources made and warmed, cp timed,
// results compared, memory read from /proc, the tmpfs of the RAM case.


#include "copy/job/WritingPlan.h"
#include "app/MyForm.h"
#include "runtime/controls/YieldToEvents.h"
#include "runtime/files/Destination.h"
#include "runtime/Dialogs.h"
#include "runtime/media/Drives.h"
#include "runtime/files/FileAccess.h"
#include "runtime/files/Transfer.h"
#include "runtime/media/IoWorker.h"
#include "runtime/text/RtError.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStyleFactory>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/magic.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/inotify.h>
#include <thread>
#include <chrono>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;


namespace copybench {

constexpr qint64 kMiB = 1048576;

// The tmpfs of case 2, unmounted on every way out, die() included.
inline std::string s_mounted;

inline void unmountRam()
{
    if (!s_mounted.empty())
        ::umount2(s_mounted.c_str(), MNT_DETACH);
    s_mounted.clear();
}

// An interrupted run must not leave a tmpfs full of test data behind.
inline void unmountOnSignal(int sig)
{
    if (!s_mounted.empty())
        ::umount2(s_mounted.c_str(), MNT_DETACH);
    ::_exit(128 + sig);
}

[[noreturn]] inline void die(const std::string &what)
{
    std::fprintf(stderr, "bench_copy: %s\n", what.c_str());
    std::exit(2);
}

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double maxOf(const std::vector<double> &v) { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }

// The file system a folder is on, for the report.
inline std::string fileSystemOf(const QString &folder)
{
    struct statfs fs {};
    if (statfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return "?";
    switch (fs.f_type) {
    case EXT4_SUPER_MAGIC: return "ext2/3/4";
    case TMPFS_MAGIC: return "tmpfs";
    case BTRFS_SUPER_MAGIC: return "btrfs";
    case XFS_SUPER_MAGIC: return "xfs";
    case OVERLAYFS_SUPER_MAGIC: return "overlayfs";
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(fs.f_type));
    return hex;
}

// A file of the given size with bytes that vary with the offset; kept when it
// is already there with that size.
inline void makeFile(const std::string &path, qint64 size)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_size == size)
        return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        die("cannot create " + path + ": " + std::strerror(errno));
    std::vector<char> buf(kMiB);
    quint32 x = 12345u;
    for (char &c : buf) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    qint64 done = 0;
    quint32 block = 0;
    while (done < size) {
        // A different first word in every MiB, so no two pieces are alike.
        std::memcpy(buf.data(), &block, sizeof block);
        ++block;
        const size_t want = size_t(std::min<qint64>(kMiB, size - done));
        if (::write(fd, buf.data(), want) != ssize_t(want))
            die("cannot write " + path + ": " + std::strerror(errno));
        done += qint64(want);
    }
    ::close(fd);
}

// Reads a file once so it sits in the page cache.
inline void warm(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die("cannot open " + path);
    std::vector<char> buf(kMiB);
    while (::read(fd, buf.data(), buf.size()) > 0) {
    }
    ::close(fd);
}

inline qint64 sizeOf(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

inline bool sameContent(const std::string &a, const std::string &b)
{
    const qint64 n = sizeOf(a);
    if (n < 0 || n != sizeOf(b))
        return false;
    if (n == 0)
        return true;
    const int fa = ::open(a.c_str(), O_RDONLY | O_CLOEXEC);
    const int fb = ::open(b.c_str(), O_RDONLY | O_CLOEXEC);
    void *ma = mmap(nullptr, size_t(n), PROT_READ, MAP_PRIVATE, fa, 0);
    void *mb = mmap(nullptr, size_t(n), PROT_READ, MAP_PRIVATE, fb, 0);
    const bool same = ma != MAP_FAILED && mb != MAP_FAILED && std::memcmp(ma, mb, size_t(n)) == 0;
    if (ma != MAP_FAILED)
        munmap(ma, size_t(n));
    if (mb != MAP_FAILED)
        munmap(mb, size_t(n));
    ::close(fa);
    ::close(fb);
    return same;
}

// Removes the destination and lets earlier writes settle, so every timed run
// writes a new file from the same starting point.
inline void freshDestination(const std::string &path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        die("cannot delete " + path + ": " + std::strerror(errno));
    ::sync();
}

inline void runTool(const char *const argv[])
{
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
        die(std::string("cannot start ") + argv[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die(std::string(argv[0]) + " failed for " + argv[1]);
}

enum class Flush { No, SyncFile };

// Seconds that `cp src dst` takes, child process start to exit; with
// Flush::SyncFile until `sync dst` (an fsync of that file) has returned too.
inline double timeCp(const std::string &src, const std::string &dst, Flush flush)
{
    freshDestination(dst);
    const char *cp[] = {"cp", src.c_str(), dst.c_str(), nullptr};
    const char *sync[] = {"sync", dst.c_str(), nullptr};
    QElapsedTimer t;
    t.start();
    runTool(cp);
    if (flush == Flush::SyncFile)
        runTool(sync);
    const double s = double(t.nsecsElapsed()) / 1e9;
    if (sizeOf(dst) != sizeOf(src))
        die("cp left a wrong size for " + dst);
    return s;
}

inline qint64 statusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLongLong();
    return -1;
}

inline void resetPeak()
{
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, "5", 1) != 1)
        die("cannot reset the peak through /proc/self/clear_refs");
    ::close(fd);
}

} // namespace copybench
