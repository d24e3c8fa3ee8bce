#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>
#include <vector>

// What is known about each byte of a source, as GNU ddrescue keeps it: one
// sorted list of areas that cover [0, end) without gaps, each with a status.
// The passes of a rescue walk this list, and the mapfile is this list written
// out, so a user can go on with ddrescue's own retry passes on the same map.
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

    const std::vector<Area> &areas() const { return m_areas; }
    qint64 end() const { return m_areas.empty() ? 0 : m_areas.back().end(); }
    // The first area of that status at or after pos; nullptr when none.
    const Area *findFrom(qint64 pos, Status status) const;
    // The last area of that status that begins before pos; nullptr when none.
    const Area *findBefore(qint64 pos, Status status) const;
    qint64 bytes(Status status) const;

    // ddrescue's status line: where the rescue is and in which of its phases
    // (one of ?*/-+) and pass; by default finished, at the end.
    struct Current {
        qint64 pos = -1; // -1: the end
        char status = kFinishedPass;
        int pass = 1;
    };
    // The map in ddrescue's mapfile format; positions and sizes in hex.
    QByteArray mapfile(const QByteArray &commandLine, const Current &current) const;
    QByteArray mapfile(const QByteArray &commandLine) const { return mapfile(commandLine, Current{}); }
    // The areas of a mapfile, this program's or GNU ddrescue's: comments (from
    // a '#' at a line's start or after blanks), the status line, then areas
    // that follow on from each other without gaps or overlaps, each a position,
    // a size (decimal, 0x hex or 0 octal) and one of ?*/-+. Anything else
    // makes the mapfile malformed: nullopt. Bytes before the first area are
    // non-tried.
    static std::optional<RescueMap> parse(const QByteArray &mapfile);

    // The unit in which the source failed, written on a comment line so that
    // the map is read in it (ddrescuelog -b UNIT); 0: not said.
    void setUnit(qint64 unit) { m_unit = unit; }
    qint64 unit() const { return m_unit; }

private:
    std::vector<Area> m_areas;
    qint64 m_unit = 0;
};

// Whether a mapfile is one this program wrote (GNU ddrescue's are not).
bool writtenByThisProgram(const QByteArray &mapfile);
// Text for a map's comment line: control characters (a newline in a name) as \xHH.
QByteArray commentText(const QByteArray &text);
