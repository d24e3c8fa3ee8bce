#pragma once

// The hang of the suite's FUSE media (badfs, fatfs): with --hang CALLS (a
// comma-separated list of read, write, flush, open, list), SIGUSR1 makes every
// such call hang from then on, as a driver stuck in it, and SIGUSR2 lets them
// go on. Header only: each medium is one program.

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>

namespace hangswitch {

inline std::atomic<bool> g_hanging{false};
inline std::string g_calls; // ",read,flush,"

inline void onSignal(int sig) { g_hanging.store(sig == SIGUSR1); }

// Takes "--hang CALLS" at argv[i]; true (and i moved past it) when it was that.
inline bool parse(int argc, char *argv[], int &i)
{
    if (std::strcmp(argv[i], "--hang") != 0 || i + 1 >= argc)
        return false;
    g_calls = std::string(",") + argv[++i] + ",";
    std::signal(SIGUSR1, onSignal);
    std::signal(SIGUSR2, onSignal);
    return true;
}

// Called at the start of each call: holds it while the medium hangs.
inline void at(const char *call)
{
    if (g_calls.find(std::string(",") + call + ",") == std::string::npos)
        return;
    while (g_hanging.load())
        usleep(10000);
}

} // namespace hangswitch
