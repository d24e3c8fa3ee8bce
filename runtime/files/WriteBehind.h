#pragma once

#include <QtGlobal>

#include <deque>

namespace rt {

// What a copy has written but not yet known to be on the medium, kept small:
// each piece is started on its way to the medium at once, and pieces written
// more than kLimit bytes ago are waited for, so the copy moves at the speed
// the medium really takes. On a fast disk or a tmpfs this costs next to
// nothing; a file system that cannot leaves it all to the final flush.
class WriteBehind {
public:
    static constexpr qint64 kLimit = 4 * 1048576;

    // After a piece written to fd at [offset, offset + count). Throws RtError.
    void written(int fd, qint64 offset, qint64 count);
    // All is on the medium (flushed), or the file is closed.
    void clear();

private:
    struct Range {
        qint64 offset;
        qint64 count;
    };
    bool m_works = true;
    std::deque<Range> m_pending; // written and started, not yet waited for
    qint64 m_pendingBytes = 0;
};

} // namespace rt
