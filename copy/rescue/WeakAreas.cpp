#include "copy/rescue/WeakAreas.h"

#include <algorithm>

void WeakAreas::setAside(qint64 from, qint64 to, bool foundForward)
{
    if (from < to)
        m_areas[from] = Area{from, to, foundForward};
}

std::optional<WeakAreas::Span> WeakAreas::clip(qint64 from, qint64 to, bool forward, qint64 &lookAgain) const
{
    if (forward) {
        // The first area that ends after from.
        auto it = m_areas.upper_bound(from);
        if (it != m_areas.begin() && std::prev(it)->second.to > from)
            --it;
        if (it == m_areas.end() || it->second.from >= to)
            return Span{from, to};
        if (it->second.from <= from) {
            lookAgain = it->second.to;
            return std::nullopt;
        }
        return Span{from, it->second.from};
    }
    // The last area that starts before to.
    auto it = m_areas.lower_bound(to);
    if (it == m_areas.begin())
        return Span{from, to};
    const Area &a = std::prev(it)->second;
    if (a.to <= from)
        return Span{from, to};
    if (a.to >= to) {
        lookAgain = a.from;
        return std::nullopt;
    }
    return Span{a.to, to};
}

std::vector<WeakAreas::Area> WeakAreas::areas() const
{
    std::vector<Area> out;
    out.reserve(m_areas.size());
    for (const auto &[from, area] : m_areas)
        out.push_back(area);
    return out;
}

void WeakAreas::narrow(qint64 areaFrom, qint64 from, qint64 to)
{
    const auto it = m_areas.find(areaFrom);
    if (it == m_areas.end())
        return;
    const bool foundForward = it->second.foundForward;
    m_areas.erase(it);
    setAside(from, to, foundForward);
}

void WeakAreas::countSlow(qint64 from, qint64 to)
{
    if (from >= to)
        return;
    m_slowBytes += to - from;
    // Merge with any neighbour it touches; slow reads never overlap.
    auto next = m_slow.lower_bound(from);
    if (next != m_slow.begin() && std::prev(next)->second == from) {
        from = std::prev(next)->first;
        m_slow.erase(std::prev(next));
    }
    next = m_slow.find(to);
    if (next != m_slow.end()) {
        to = next->second;
        m_slow.erase(next);
    }
    m_slow[from] = to;
}

bool WeakAreas::readSlowlyAt(qint64 at) const
{
    const auto after = m_slow.upper_bound(at);
    return after != m_slow.begin() && std::prev(after)->second > at;
}

QList<QPair<qint64, qint64>> WeakAreas::slowAreas() const
{
    QList<QPair<qint64, qint64>> out;
    for (const auto &[from, to] : m_slow)
        out.append({from, to});
    return out;
}

QString slowReadsText(qint64 bytes, const QList<QPair<qint64, qint64>> &where)
{
    constexpr qsizetype kNamed = 3;
    QStringList places;
    for (qsizetype i = 0; i < std::min(kNamed, where.size()); ++i)
        places.append(QStringLiteral("%1-%2").arg(where[i].first).arg(where[i].second - 1));
    QString text = QStringLiteral("%1 bytes were read slowly, at bytes %2").arg(bytes).arg(places.join(QStringLiteral(", ")));
    if (where.size() > kNamed)
        text += QStringLiteral(" and %1 more places").arg(where.size() - kNamed);
    return text + QStringLiteral(": the medium may be failing.");
}
