// badfs's command line: the damaged ranges and the medium's manners.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace badfs {

constexpr int64_t kBlock = 4096;

struct Range {
    int64_t begin;
    int64_t end;
    int failures = -1;      // marginal: each block fails this many reads first
    bool fromAbove = false; // reads only after a read further up the file
    bool touches(int64_t offset, int64_t size) const { return begin < offset + size && end > offset; }
};

struct Options {
    std::string source;
    std::vector<Range> bad;
    std::vector<Range> badList; // in order, apart
    std::vector<Range> slow;
    int badDelayMs = 0;
    int slowDelayMs = 0;
    int openDelayMs = 0; // a drive spinning up, a share timing out
    int listDelayMs = 0;
    bool shortReads = false;
    bool shortReadsExact = false; // up to the first bad byte, even inside a sector
    int64_t secured = -1; // distinct blocks delivered that make the rescue "secured"
    int64_t blksize = kBlock;
    bool refuseDirect = false;
};

int usage(const char *program);
// Fills options from argv[3…]; what is not badfs's own goes to fuseArgs.
// Returns false (after the usage line) on a word it cannot take.
bool parseArguments(int argc, char *argv[], Options &options, std::vector<char *> &fuseArgs);

} // namespace badfs
