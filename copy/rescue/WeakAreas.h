#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QtGlobal>

#include <map>
#include <optional>
#include <vector>

// The areas of the source a copying pass has leapt over after a slow read,
// set aside until everything else is read, and the slow reads met on the way.
// An area is non-tried in the map all along: a Stop keeps it as not yet read,
// and going on reads it as any other.
class WeakAreas {
public:
    struct Area {
        qint64 from;
        qint64 to;
        bool foundForward; // the slow read lies below it: its far edge is its top
    };
    struct Span {
        qint64 from;
        qint64 to;
    };

    bool empty() const { return m_areas.empty(); }
    // Sets [from, to) aside; it lies apart from the areas already set aside.
    void setAside(qint64 from, qint64 to, bool foundForward);
    // The part of [from, to) that a pass in that direction reaches first and
    // that is not set aside: going forward from from, going backward down
    // from to. When from (forward) or to (backward) lies in an area, nullopt,
    // and lookAgain says where the pass goes on looking.
    std::optional<Span> clip(qint64 from, qint64 to, bool forward, qint64 &lookAgain) const;
    std::vector<Area> areas() const;
    // What is left of an area once its edges have been read.
    void narrow(qint64 areaFrom, qint64 from, qint64 to);
    void clear() { m_areas.clear(); }

    // The slow reads: their bytes in all, and where (adjacent ones merged).
    void countSlow(qint64 from, qint64 to);
    qint64 slowBytes() const { return m_slowBytes; }
    // Whether the byte at was read slowly.
    bool readSlowlyAt(qint64 at) const;
    QList<QPair<qint64, qint64>> slowAreas() const;

private:
    std::map<qint64, Area> m_areas;  // by from
    std::map<qint64, qint64> m_slow; // from -> to, merged
    qint64 m_slowBytes = 0;
};

// The closing message's line for a rescue that met slow reads: how many
// bytes, and where (half-open byte ranges listed as first and last byte).
QString slowReadsText(qint64 bytes, const QList<QPair<qint64, qint64>> &where);
