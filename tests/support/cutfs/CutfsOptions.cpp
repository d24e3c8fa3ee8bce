#include "CutfsOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>

namespace cutfs {

namespace {

bool number(const char *text, long long &value)
{
    char *end = nullptr;
    value = std::strtoll(text, &end, 0);
    return end != text && *end == '\0' && value >= 0;
}

// "CALL:NAME:N" or "CALL:NAME:N+M".
bool namedRule(const std::string &text, CutRule &rule)
{
    const size_t first = text.find(':'), last = text.rfind(':');
    if (first == std::string::npos || first == last)
        return false;
    rule.call = text.substr(0, first);
    rule.name = text.substr(first + 1, last - first - 1);
    return std::sscanf(text.c_str() + last + 1, "%lld+%lld", &rule.nth, &rule.later) >= 1 && rule.nth > 0;
}

} // namespace

bool CutRule::cutsAfter(long long number, const std::string &callName, const std::string &entry)
{
    if (!call.empty() && call == callName && fnmatch(name.c_str(), entry.c_str(), 0) == 0 && ++seen == nth)
        after = number + later;
    return number == after;
}

bool parseArguments(int argc, char *argv[], Options &options, std::vector<char *> &fuseArgs)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT [--hold-names] [--cut-after N|CALL:NAME:N[+M]] "
                             "[--keep-one-in K] [--seed S] [FUSE options]\n", argv[0]);
        return false;
    }
    char *real = realpath(argv[1], nullptr);
    if (!real) {
        std::fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], std::strerror(errno));
        return false;
    }
    options.backing = real;
    std::free(real);
    fuseArgs = {argv[0], argv[2]};
    for (int i = 3; i < argc; ++i) {
        long long value = 0;
        const bool hasValue = i + 1 < argc && number(argv[i + 1], value);
        const bool cut = std::strcmp(argv[i], "--cut-after") == 0;
        if (std::strcmp(argv[i], "--hold-names") == 0)
            options.holdNames = true;
        else if (cut && hasValue)
            options.cut.after = value, ++i;
        else if (cut && i + 1 < argc && namedRule(argv[i + 1], options.cut))
            ++i;
        else if (std::strcmp(argv[i], "--keep-one-in") == 0 && hasValue)
            options.keepOneIn = int(value), ++i;
        else if (std::strcmp(argv[i], "--seed") == 0 && hasValue)
            options.seed = (unsigned long long)value, ++i;
        else if (cut || std::strncmp(argv[i], "--", 2) == 0)
            return std::fprintf(stderr, "%s: cannot take %s\n", argv[0], argv[i]), false;
        else
            fuseArgs.push_back(argv[i]);
    }
    return true;
}

} // namespace cutfs
