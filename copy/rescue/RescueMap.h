#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <array>
#include <map>
#include <optional>
#include <set>
#include <vector>

// What is known about each byte of a source, as GNU ddrescue keeps it: one
// sorted list of areas that cover [0, end) without gaps, each with a status.
// The passes of a rescue walk this list, and the mapfile is this list written
// out, so a user can go on with ddrescue's own retry passes on the same map.
// Scattered damage makes hundreds of thousands of areas, so every operation
// the passes make costs at most logarithmic time in their number: the areas
// are kept ordered by position, each status has an index of its own areas,
// and the bytes of each status are counted as they change.
class RescueMap {
public:
    // The characters are ddrescue's, so the written map needs no translation.
    enum class Status : char {
        NonTried = '?',
        NonTrimmed = '*',
        NonScraped = '/',
        Bad = '-',
        Finished = '+',
    };
    struct Area {
        qint64 pos;
        qint64 size;
        Status status;
        qint64 end() const { return pos + size; }
    };
    // What the rescue was doing when the map was written (ddrescue's
    // current_status): it is written after the last pass, so finished.
    static constexpr char kFinishedPass = '+';

    // Gives [pos, pos + size) the status, extending the map with non-tried
    // bytes when it reaches past the end. Neighbours of equal status merge.
    void set(qint64 pos, qint64 size, Status status);

    // The areas in order; a copy, for writing and tests.
    std::vector<Area> areas() const;
    qsizetype count() const { return qsizetype(m_areas.size()); }
    qint64 end() const { return m_areas.empty() ? 0 : m_areas.rbegin()->second.end(); }
    // The area that holds pos; nullptr past the end. The pointers below stay
    // valid until the next set().
    const Area *at(qint64 pos) const;
    // The first area of that status at or after pos (it may hold pos); nullptr when none.
    const Area *findFrom(qint64 pos, Status status) const;
    // The last area of that status that begins before pos; nullptr when none.
    const Area *findBefore(qint64 pos, Status status) const;
    // The same for any status but the one given.
    const Area *findFromOther(qint64 pos, Status except) const;
    const Area *findBeforeOther(qint64 pos, Status except) const;
    qint64 bytes(Status status) const { return m_bytes[index(status)]; }

    // ddrescue's status line: where the rescue is and in which of its phases
    // (one of ?*/-+) and pass; by default finished, at the end.
    struct Current {
        qint64 pos = -1; // -1: the end
        char status = kFinishedPass;
        int pass = 1;
    };
    // The map in ddrescue's mapfile format; positions and sizes in hex. With
    // length past the map's end, the bytes after it are written as non-tried.
    QByteArray mapfile(const QByteArray &commandLine, const Current &current, qint64 length = 0) const;
    QByteArray mapfile(const QByteArray &commandLine) const { return mapfile(commandLine, Current{}); }
    // The areas of a mapfile, this program's or GNU ddrescue's: comments (from
    // a '#' at a line's start or after blanks), the status line, then areas
    // that follow on from each other without gaps or overlaps, each a position,
    // a size (decimal, 0x hex or 0 octal) and one of ?*/-+. Anything else
    // makes the mapfile malformed: nullopt. Bytes before the first area are
    // non-tried (ddrescue's maps of a part of a source). A mapfile with more
    // than maxAreas areas is set aside as soon as the count is passed.
    static std::optional<RescueMap> parse(const QByteArray &mapfile, qint64 maxAreas = -1);
    // Where the last area of a mapfile ends, from its last bytes alone (the
    // first line of which counts only when they are the whole file); nullopt
    // when its last line with fields is no area. What a map of another
    // source gives away at once, however long the map.
    static std::optional<qint64> lastAreaEnd(QByteArrayView tail, bool wholeFile);

    // The unit in which the source failed, written on a comment line so that
    // the map is read in it (ddrescuelog -b UNIT); 0: not said.
    void setUnit(qint64 unit) { m_unit = unit; }
    qint64 unit() const { return m_unit; }

private:
    static constexpr int kStatuses = 5;
    static int index(Status status);
    using Areas = std::map<qint64, Area>; // by position
    void insert(Areas::iterator before, const Area &area);
    void erase(Areas::iterator it);
    const Area *first(const std::set<qint64> &positions, qint64 pos) const;
    const Area *last(const std::set<qint64> &positions, qint64 pos) const;

    Areas m_areas;
    std::array<std::set<qint64>, kStatuses> m_byStatus; // the positions of each status's areas
    std::array<qint64, kStatuses> m_bytes{};
    qint64 m_unit = 0;
};

// Whether a mapfile is one this program wrote (GNU ddrescue's are not).
bool writtenByThisProgram(const QByteArray &mapfile);
// Text for a map's comment line: control characters (a newline in a name) as \xHH.
QByteArray commentText(const QByteArray &text);
