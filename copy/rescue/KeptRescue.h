#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace rt {
class IoWorker;
}

// How a save went: writeError when the copy could not be put on the medium
// (the map then stays as it was), mapError when the map could not be written
// or the copy could not be kept.
struct SavedMap {
    QString writeError;
    QString mapError;
    bool saved() const { return writeError.isEmpty() && mapError.isEmpty(); }
};

// The one way a rescue is kept on the destination's medium while it runs: the
// copy under a name of its own and its map beside it. Every member may wait on
// the medium and runs on the I/O worker. Tests put a recorder in its place, so
// the order of the writes is checked without a medium or the right to mount one.
class KeptRescue {
public:
    virtual ~KeptRescue() = default;
    // Whether the copy has a name of its own yet.
    virtual bool kept() const = 0;
    // The copy has met its first unreadable block: it takes a name of its own
    // beside the destination. Throws rt::RtError.
    virtual void keep() = 0;
    // Puts the copy's data on the medium. Throws rt::RtError.
    virtual void flushCopy() = 0;
    // Replaces the map beside the copy in one step. Throws rt::RtError.
    virtual void replaceMap(const QByteArray &content) = 0;

    // Whether a map was saved after a successful flush: only then is the copy
    // worth keeping, as that map tells what in it is the source's.
    bool mapSaved() const { return m_mapSaved; }
    // Why the copy's flush failed, once it has: from then on no map is saved
    // for it, as a later flush may succeed although the pages were lost.
    QString flushError() const { return m_flushError; }
    // A flush of the copy failed outside a save (its data on the way to the
    // medium, or the final flush): no map is saved after it either.
    void flushFailed(const QString &reason)
    {
        if (m_flushError.isEmpty())
            m_flushError = reason;
    }

protected:
    // Going on with a rescue whose map an earlier session saved.
    void mapSavedEarlier() { m_mapSaved = true; }

private:
    friend SavedMap saveMap(KeptRescue &, rt::IoWorker &, const std::function<QByteArray()> &);
    bool m_mapSaved = false;
    QString m_flushError;
};

// Saves the map of a kept rescue the way every map of this program is saved:
// the copy's data on the medium first, then (the first time) the copy's own
// name, then the map under a temporary name, flushed, renamed over the old
// one, the folder flushed. The map so never calls a block finished that is
// not on the medium. After a failed flush nothing more is saved: the map
// stays as it was last saved, which is still true. The map's text is made by
// content on the worker too, after the flush: a map of hundreds of thousands
// of areas takes a while to write out, and the window goes on meanwhile.
// content must only read what the caller leaves alone until saveMap returns.
SavedMap saveMap(KeptRescue &kept, rt::IoWorker &io, const std::function<QByteArray()> &content);
