#include "copy/rescue/RescueMap.h"

#include <QByteArrayView>
#include <QDateTime>

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

// 0x and at least eight upper-case hex digits, as ddrescue writes them.
void appendHex(QByteArray &out, qint64 value)
{
    char digits[16];
    int n = 0;
    for (auto v = quint64(value); v != 0 || n < 8; v >>= 4)
        digits[n++] = "0123456789ABCDEF"[v & 15];
    out += "0x";
    while (n > 0)
        out += digits[--n];
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Decimal, 0x hex or 0 octal, as ddrescue reads them; never negative.
bool number(QByteArrayView text, qint64 &value)
{
    bool ok = false;
    value = text.toByteArray().toLongLong(&ok, 0);
    return ok && value >= 0;
}

using Fields = std::array<QByteArrayView, 4>;

// A line's fields, split at blanks, up to a comment (a '#' at the start of
// the line or after a blank); how many, at most one more than a map's line has.
int fieldsOf(QByteArrayView line, Fields &fields)
{
    int count = 0;
    for (qsizetype i = 0; i < line.size() && count < int(fields.size());) {
        if (isBlank(line[i])) {
            ++i;
            continue;
        }
        if (line[i] == '#')
            break;
        qsizetype j = i;
        while (j < line.size() && !isBlank(line[j]))
            ++j;
        fields[size_t(count++)] = QByteArrayView(line.data() + i, j - i);
        i = j;
    }
    return count;
}

// An area's line: a position, a size and one of ?*/-+.
bool isArea(const Fields &fields, int count, qint64 &pos, qint64 &size)
{
    return count == 3 && number(fields[0], pos) && number(fields[1], size) && fields[2].size() == 1
        && QByteArrayView("?*/-+").contains(fields[2][0]) && pos <= std::numeric_limits<qint64>::max() - size;
}

} // namespace

int RescueMap::index(Status status)
{
    switch (status) {
    case Status::NonTried: return 0;
    case Status::NonTrimmed: return 1;
    case Status::NonScraped: return 2;
    case Status::Bad: return 3;
    case Status::Finished: break;
    }
    return 4;
}

void RescueMap::insert(Areas::iterator before, const Area &area)
{
    m_areas.emplace_hint(before, area.pos, area);
    m_byStatus[index(area.status)].insert(area.pos);
    m_bytes[index(area.status)] += area.size;
}

void RescueMap::erase(Areas::iterator it)
{
    m_byStatus[index(it->second.status)].erase(it->first);
    m_bytes[index(it->second.status)] -= it->second.size;
    m_areas.erase(it);
}

void RescueMap::set(qint64 pos, qint64 size, Status status)
{
    if (size <= 0)
        return;
    const qint64 end = this->end();
    if (pos > end)
        set(end, pos - end, Status::NonTried);
    if (pos == end && !m_areas.empty()) {
        // The usual case, once per piece of a first pass and per line of a
        // mapfile: the map grows at its end.
        Area &last = m_areas.rbegin()->second;
        if (last.status == status) {
            last.size += size;
            m_bytes[index(status)] += size;
            return;
        }
        m_areas.emplace_hint(m_areas.end(), pos, Area{pos, size, status});
        m_byStatus[index(status)].emplace_hint(m_byStatus[index(status)].end(), pos);
        m_bytes[index(status)] += size;
        return;
    }
    const qint64 stop = pos + size;
    qint64 from = pos, to = stop;

    // Everything [pos, stop) touches is cut out; the untouched parts of the
    // first and the last area touched stay on either side, and a neighbour of
    // the same status merges with the new area.
    // From the area that holds the byte before pos: it may be a neighbour to merge.
    auto it = m_areas.upper_bound(std::max<qint64>(pos - 1, 0));
    if (it != m_areas.begin())
        --it;
    std::optional<Area> head, tail;
    while (it != m_areas.end() && it->second.pos <= stop) {
        const Area a = it->second;
        if (a.end() < pos) { // the area before pos does not touch it
            ++it;
            continue;
        }
        const bool same = a.status == status;
        if (a.end() == pos || a.pos == stop) { // a neighbour: merged only when alike
            if (!same) {
                ++it;
                continue;
            }
        }
        if (a.pos < pos) {
            if (same)
                from = a.pos;
            else
                head = Area{a.pos, pos - a.pos, a.status};
        }
        if (a.end() > stop) {
            if (same)
                to = a.end();
            else
                tail = Area{stop, a.end() - stop, a.status};
        }
        erase(it++);
    }
    // it is now the first area after what was cut out: all three go before it.
    if (head)
        insert(it, *head);
    insert(it, {from, to - from, status});
    if (tail)
        insert(it, *tail);
}

const RescueMap::Area *RescueMap::at(qint64 pos) const
{
    auto it = m_areas.upper_bound(pos);
    if (it == m_areas.begin())
        return nullptr;
    const Area &a = std::prev(it)->second;
    return a.end() > pos ? &a : nullptr;
}

const RescueMap::Area *RescueMap::first(const std::set<qint64> &positions, qint64 pos) const
{
    auto it = positions.upper_bound(pos);
    if (it != positions.begin()) {
        const Area &holding = m_areas.find(*std::prev(it))->second;
        if (holding.end() > pos)
            return &holding;
    }
    return it == positions.end() ? nullptr : &m_areas.find(*it)->second;
}

const RescueMap::Area *RescueMap::last(const std::set<qint64> &positions, qint64 pos) const
{
    auto it = positions.lower_bound(pos);
    return it == positions.begin() ? nullptr : &m_areas.find(*std::prev(it))->second;
}

const RescueMap::Area *RescueMap::findFrom(qint64 pos, Status status) const
{
    return first(m_byStatus[index(status)], pos);
}

const RescueMap::Area *RescueMap::findBefore(qint64 pos, Status status) const
{
    return last(m_byStatus[index(status)], pos);
}

const RescueMap::Area *RescueMap::findFromOther(qint64 pos, Status except) const
{
    const Area *found = nullptr;
    for (int s = 0; s < kStatuses; ++s)
        if (s != index(except))
            if (const Area *a = first(m_byStatus[size_t(s)], pos); a && (!found || a->pos < found->pos))
                found = a;
    return found;
}

const RescueMap::Area *RescueMap::findBeforeOther(qint64 pos, Status except) const
{
    const Area *found = nullptr;
    for (int s = 0; s < kStatuses; ++s)
        if (s != index(except))
            if (const Area *a = last(m_byStatus[size_t(s)], pos); a && (!found || a->pos > found->pos))
                found = a;
    return found;
}

std::vector<RescueMap::Area> RescueMap::areas() const
{
    std::vector<Area> out;
    out.reserve(m_areas.size());
    for (const auto &[pos, area] : m_areas)
        out.push_back(area);
    return out;
}

namespace {
const char kOwnHead[] = "# Mapfile. Created by Duplon\n";
}

bool writtenByThisProgram(const QByteArray &mapfile) { return mapfile.startsWith(kOwnHead); }

QByteArray commentText(const QByteArray &text)
{
    // A comment ends at its line's end: control characters in a name (a
    // newline) are written as \xHH, so every map reads back.
    QByteArray out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            out += "\\x" + QByteArray::number(byte, 16).toUpper().rightJustified(2, '0');
        else
            out += c;
    }
    return out;
}

QByteArray RescueMap::mapfile(const QByteArray &commandLine, const Current &current, qint64 length) const
{
    const QByteArray now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
    const QByteArray command = commentText(commandLine);
    const qint64 whole = std::max(length, end());
    QByteArray out;
    out.reserve(qsizetype(m_areas.size() + 1) * 24 + 256);
    out += kOwnHead;
    out += "# Command line: " + command + "\n";
    out += "# Current time: " + now + "\n";
    if (m_unit > 0)
        out += "# Sector size: " + QByteArray::number(m_unit) + " bytes (ddrescuelog -b " + QByteArray::number(m_unit)
            + ")\n";
    if (current.status == kFinishedPass)
        out += "# Finished\n";
    else // ddrescue's words for its retry passes
        out += "# Retrying bad sectors... Retry " + QByteArray::number(current.pass)
            + (current.pass % 2 ? " (forwards)\n" : " (backwards)\n");
    out += "# current_pos  current_status  current_pass\n";
    appendHex(out, current.pos < 0 ? whole : current.pos);
    out += "     ";
    out += current.status;
    out += "               " + QByteArray::number(current.pass) + "\n";
    out += "#      pos        size  status\n";
    const auto line = [&out](qint64 pos, qint64 size, Status status) {
        appendHex(out, pos);
        out += "  ";
        appendHex(out, size);
        out += "  ";
        out += char(status);
        out += '\n';
    };
    for (auto it = m_areas.begin(); it != m_areas.end(); ++it) {
        const Area &a = it->second;
        // The bytes past the map's end are untried: the last area takes them when it is too.
        const bool last = std::next(it) == m_areas.end();
        line(a.pos, last && a.status == Status::NonTried ? whole - a.pos : a.size, a.status);
        if (last && a.status != Status::NonTried && whole > a.end())
            line(a.end(), whole - a.end(), Status::NonTried);
    }
    if (m_areas.empty() && whole > 0)
        line(0, whole, Status::NonTried);
    return out;
}

std::optional<RescueMap> RescueMap::parse(const QByteArray &mapfile, qint64 maxAreas)
{
    RescueMap map;
    bool statusLine = false;
    qint64 expected = -1; // where the next area must begin; -1 before the first
    qint64 areas = 0;
    Fields fields;
    for (qsizetype start = 0; start < mapfile.size();) {
        qsizetype stop = mapfile.indexOf('\n', start);
        if (stop < 0)
            stop = mapfile.size();
        const QByteArrayView line(mapfile.constData() + start, stop - start);
        start = stop + 1;
        const int count = fieldsOf(line, fields);
        if (count == 0)
            continue;
        qint64 pos = 0, size = 0;
        if (!statusLine) {
            // The position, one of ?*/-FG+, and in newer versions the pass.
            qint64 pass = 1;
            if ((count != 2 && count != 3) || !number(fields[0], pos) || fields[1].size() != 1
                || !QByteArrayView("?*/-FG+").contains(fields[1][0]) || (count == 3 && !number(fields[2], pass)))
                return std::nullopt;
            statusLine = true;
            continue;
        }
        // Each area follows on from the one before: no overlap, no gap, no going back.
        if (!isArea(fields, count, pos, size) || (expected >= 0 && pos != expected)
            || (maxAreas >= 0 && ++areas > maxAreas))
            return std::nullopt;
        expected = pos + size;
        map.set(pos, size, Status(fields[2][0]));
    }
    if (!statusLine)
        return std::nullopt;
    return map;
}

std::optional<qint64> RescueMap::lastAreaEnd(QByteArrayView tail, bool wholeFile)
{
    // The last line with fields, whole (the tail's first line may be cut).
    Fields fields;
    for (qsizetype stop = tail.size(); stop > 0;) {
        const qsizetype start = tail.lastIndexOf('\n', stop - 1) + 1;
        if (start == 0 && !wholeFile)
            return std::nullopt;
        const int count = fieldsOf(tail.sliced(start, stop - start), fields);
        stop = start == 0 ? 0 : start - 1;
        if (count == 0)
            continue;
        qint64 pos = 0, size = 0;
        if (!isArea(fields, count, pos, size))
            return std::nullopt;
        return pos + size;
    }
    return std::nullopt;
}
