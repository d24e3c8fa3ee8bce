#include "support/FailingFlush.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<int> g_after{-1};
std::atomic<int> g_flushes{0};
std::atomic<int> g_error{EIO};
std::string g_ending = ".part"; // set only while no copy runs

// Whether the descriptor's file is one whose flush is to fail now.
bool refused(int fd)
{
    if (g_after.load() < 0)
        return false;
    if (g_ending.starts_with('/')) { // a path: its file, whatever name the descriptor was opened under
        struct stat a {}, b {};
        if (fstat(fd, &a) != 0 || stat(g_ending.c_str(), &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino)
            return false;
        return g_flushes.fetch_add(1) >= g_after.load();
    }
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    const std::string name(target, size_t(n));
    if (name.size() < g_ending.size() || name.compare(name.size() - g_ending.size(), g_ending.size(), g_ending) != 0)
        return false;
    return g_flushes.fetch_add(1) >= g_after.load();
}

using Flush = int (*)(int);

int flushOrRefuse(Flush real, int fd)
{
    if (refused(fd)) {
        errno = g_error.load();
        return -1;
    }
    return real(fd);
}

} // namespace

extern "C" int fdatasync(int fd)
{
    static const auto real = reinterpret_cast<Flush>(dlsym(RTLD_NEXT, "fdatasync"));
    return flushOrRefuse(real, fd);
}

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<Flush>(dlsym(RTLD_NEXT, "fsync"));
    return flushOrRefuse(real, fd);
}

namespace failingflush {

void failAfter(int after, const char *ending, int error)
{
    g_error = error;
    g_ending = ending;
    g_flushes = 0;
    g_after = after;
}

int flushes() { return g_flushes.load(); }

} // namespace failingflush
