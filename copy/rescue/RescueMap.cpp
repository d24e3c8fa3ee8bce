#include "copy/rescue/RescueMap.h"

#include <QDateTime>

#include <algorithm>
#include <limits>

void RescueMap::set(qint64 pos, qint64 size, Status status)
{
    if (size <= 0)
        return;
    if (pos > end())
        m_areas.push_back({end(), pos - end(), Status::NonTried});
    if (pos == end()) {
        // The usual case, once per piece of a first pass: the map grows at its end.
        if (!m_areas.empty() && m_areas.back().status == status)
            m_areas.back().size += size;
        else
            m_areas.push_back({pos, size, status});
        return;
    }
    const qint64 stop = pos + size;

    // Everything that [pos, stop) touches is cut out; the untouched parts of
    // the first and the last area touched stay on either side.
    auto first = std::lower_bound(m_areas.begin(), m_areas.end(), pos,
                                  [](const Area &a, qint64 p) { return a.end() <= p; });
    std::vector<Area> replacement;
    auto last = first;
    for (; last != m_areas.end() && last->pos < stop; ++last) {
        if (last->pos < pos)
            replacement.push_back({last->pos, pos - last->pos, last->status});
    }
    replacement.push_back({pos, size, status});
    if (last != first && std::prev(last)->end() > stop) {
        const Area &tail = *std::prev(last);
        replacement.push_back({stop, tail.end() - stop, tail.status});
    }
    const auto at = m_areas.erase(first, last) - m_areas.begin();
    m_areas.insert(m_areas.begin() + at, replacement.begin(), replacement.end());

    // Merge equal neighbours around what changed.
    const auto from = std::max<qsizetype>(0, at - 1);
    const auto to = std::min<qsizetype>(qsizetype(m_areas.size()), at + qsizetype(replacement.size()) + 1);
    std::vector<Area> merged;
    for (qsizetype i = from; i < to; ++i) {
        if (!merged.empty() && merged.back().status == m_areas[size_t(i)].status)
            merged.back().size += m_areas[size_t(i)].size;
        else
            merged.push_back(m_areas[size_t(i)]);
    }
    m_areas.erase(m_areas.begin() + from, m_areas.begin() + to);
    m_areas.insert(m_areas.begin() + from, merged.begin(), merged.end());
}

const RescueMap::Area *RescueMap::findFrom(qint64 pos, Status status) const
{
    auto it = std::lower_bound(m_areas.begin(), m_areas.end(), pos,
                               [](const Area &a, qint64 p) { return a.end() <= p; });
    for (; it != m_areas.end(); ++it)
        if (it->status == status)
            return &*it;
    return nullptr;
}

const RescueMap::Area *RescueMap::findBefore(qint64 pos, Status status) const
{
    auto it = std::lower_bound(m_areas.begin(), m_areas.end(), pos, [](const Area &a, qint64 p) { return a.pos < p; });
    while (it != m_areas.begin())
        if ((--it)->status == status)
            return &*it;
    return nullptr;
}

qint64 RescueMap::bytes(Status status) const
{
    qint64 total = 0;
    for (const Area &a : m_areas)
        if (a.status == status)
            total += a.size;
    return total;
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

QByteArray RescueMap::mapfile(const QByteArray &commandLine, const Current &current) const
{
    const auto hex = [](qint64 v, int width) {
        return "0x" + QByteArray::number(v, 16).toUpper().rightJustified(width, '0');
    };
    const QByteArray now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLatin1();
    const QByteArray command = commentText(commandLine);
    QByteArray out;
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
    out += hex(current.pos < 0 ? end() : current.pos, 8) + "     " + current.status + "               "
        + QByteArray::number(current.pass) + "\n";
    out += "#      pos        size  status\n";
    for (const Area &a : m_areas)
        out += hex(a.pos, 8) + "  " + hex(a.size, 8) + "  " + char(a.status) + "\n";
    return out;
}

std::optional<RescueMap> RescueMap::parse(const QByteArray &mapfile)
{
    RescueMap map;
    bool statusLine = false;
    for (QByteArray line : mapfile.split('\n')) {
        // A comment starts at a '#' at the start of the line or after a blank.
        for (qsizetype hash = line.indexOf('#'); hash >= 0; hash = line.indexOf('#', hash + 1))
            if (hash == 0 || line.at(hash - 1) == ' ' || line.at(hash - 1) == '\t') {
                line.truncate(hash);
                break;
            }
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 1 && fields[0].isEmpty())
            continue;
        const auto number = [](const QByteArray &text, qint64 &value) {
            bool ok = false;
            value = text.toLongLong(&ok, 0);
            return ok && value >= 0;
        };
        qint64 pos = 0, size = 0;
        if (!statusLine) {
            // The position, one of ?*/-FG+, and in newer versions the pass.
            qint64 pass = 1;
            if ((fields.size() != 2 && fields.size() != 3) || !number(fields[0], pos) || fields[1].size() != 1
                || !QByteArray("?*/-FG+").contains(fields[1][0]) || (fields.size() == 3 && !number(fields[2], pass)))
                return std::nullopt;
            statusLine = true;
            continue;
        }
        if (fields.size() != 3 || !number(fields[0], pos) || !number(fields[1], size) || fields[2].size() != 1
            || !QByteArray("?*/-+").contains(fields[2][0]) || (!map.m_areas.empty() && pos != map.end())
            || pos > std::numeric_limits<qint64>::max() - size)
            return std::nullopt;
        map.set(pos, size, Status(fields[2][0]));
    }
    if (!statusLine)
        return std::nullopt;
    return map;
}
