// cutfs's command line, and when its cut comes.
#pragma once

#include <string>
#include <vector>

namespace cutfs {

// The cut: after call number `after`, or `later` calls after the `nth` call
// CALL on an entry whose name matches the pattern (fnmatch).
struct CutRule {
    long long after = -1;
    std::string call, name; // empty: by number alone
    long long nth = 0, later = 0, seen = 0;
    // Counts call number `number`; whether the cut comes right after it.
    bool cutsAfter(long long number, const std::string &callName, const std::string &entry);
};

struct Options {
    std::string backing; // its real path
    bool holdNames = false;
    CutRule cut;
    int keepOneIn = 0;
    unsigned long long seed = 1;
};

// Fills options from argv (BACKING MOUNTPOINT options…); the mount point and
// what is not cutfs's own go to fuseArgs. Returns false after saying why.
bool parseArguments(int argc, char *argv[], Options &options, std::vector<char *> &fuseArgs);

} // namespace cutfs
