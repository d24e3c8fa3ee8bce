#include "BadfsOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../HangSwitch.h"

namespace badfs {

namespace {

bool parseNumber(const char *text, int64_t &value)
{
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 0);
    if (errno != 0 || end == text || v < 0)
        return false;
    value = v;
    return *end == '\0' || *end == '-' || *end == ':';
}

bool parseRange(const char *text, Range &r)
{
    const char *dash = std::strchr(text, '-');
    int64_t end = 0;
    if (!dash || !parseNumber(text, r.begin) || !parseNumber(dash + 1, end) || end <= r.begin)
        return false;
    r.end = end;
    const char *colon = std::strchr(dash, ':');
    int64_t failures = 0;
    if (colon && !parseNumber(colon + 1, failures))
        return false;
    r.failures = colon ? int(failures) : -1;
    return true;
}

} // namespace

int usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s SOURCE MOUNTPOINT [--bad A-B]... [--slow A-B]... [--bad-delay MS]\n"
                 "          [--slow-delay MS] [--open-delay MS] [--short-reads[-exact]] [--marginal A-B:K]...\n"
                 "          [--from-above A-B]... [--secured N] [--list-delay MS] [--blksize N]\n"
                 "          [--refuse-direct] [--bad-list FILE] [--hang CALLS] [FUSE options]\n",
                 program);
    return 2;
}

bool parseArguments(int argc, char *argv[], Options &options, std::vector<char *> &fuseArgs)
{
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        Range r{};
        int64_t ms = 0;
        if ((a == "--bad" || a == "--slow" || a == "--marginal" || a == "--from-above") && hasValue
            && parseRange(argv[i + 1], r) && (a == "--marginal") == (r.failures >= 0)) {
            r.fromAbove = a == "--from-above";
            (a == "--slow" ? options.slow : options.bad).push_back(r);
            ++i;
        } else if ((a == "--bad-delay" || a == "--slow-delay" || a == "--open-delay" || a == "--list-delay") && hasValue
                   && parseNumber(argv[i + 1], ms)) {
            (a == "--bad-delay" ? options.badDelayMs : a == "--slow-delay" ? options.slowDelayMs
                 : a == "--open-delay"                ? options.openDelayMs : options.listDelayMs) = int(ms);
            ++i;
        } else if (a == "--secured" && hasValue && parseNumber(argv[i + 1], options.secured)) {
            ++i;
        } else if (hangswitch::parse(argc, argv, i)) {
        } else if (a == "--blksize" && hasValue && parseNumber(argv[i + 1], options.blksize) && options.blksize > 0) {
            ++i;
        } else if (a == "--refuse-direct") {
            options.refuseDirect = true;
        } else if (a == "--bad-list" && hasValue) {
            FILE *list = std::fopen(argv[++i], "r");
            char line[128];
            while (list && std::fgets(line, sizeof line, list))
                if (line[std::strcspn(line, "\n")] = '\0'; parseRange(line, r) && (options.badList.empty() || options.badList.back().end <= r.begin))
                    options.badList.push_back(r);
                else
                    return (usage(argv[0]), false);
            if (!list)
                return (usage(argv[0]), false);
            std::fclose(list);
        } else if (a == "--short-reads") {
            options.shortReads = true;
        } else if (a == "--short-reads-exact") {
            options.shortReadsExact = true;
        } else if (a.rfind("--", 0) == 0 && a != "--") {
            return (usage(argv[0]), false);
        } else {
            fuseArgs.push_back(argv[i]);
        }
    }
    return true;
}

} // namespace badfs
