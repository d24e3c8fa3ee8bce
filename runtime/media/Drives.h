#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>
#include "runtime/media/DrivePaths.h"
#include "runtime/media/MountTable.h"
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include <sys/types.h>

namespace rt {

// Drive letters over host folders. Everything above the runtime speaks in
// drive-letter paths such as C:\Data\a.txt; this is the one place that knows
// which host folder stands behind a letter.
//
// The system map gives c: the root "/" and the further letters, from d: on, to
// the other mounted volumes of real devices and network shares, in the order
// they are first seen;
// a letter keeps its volume for the life of the process, so a drive list never
// renumbers under the user; only when all letters are taken does a new volume
// get the letter whose volume has been gone longest, never one that a list or
// a running copy stands on. Tests install a fixed map over temporary folders.
class Drives {
public:
    static Drives &instance();

    // ---- The letter map (DriveMap.cpp) ----
    // A fixed map (letter -> host folder) that is never re-read; for tests and
    // benchmarks. A folder may be missing: that drive is then not ready.
    void setFixedMap(const std::map<QChar, QString> &map);
    // Back to the map read from the mounted volumes.
    void useSystemMap();

    // The letters that the window's lists and a running copy stand on, asked
    // when a letter is to be given again; none when not set.
    void setLettersInUse(std::function<QList<QChar>()> lettersInUse);

    // Re-reads the mounted volumes (the system map only) and returns the letters
    // to list, in order, lower case.
    QList<QChar> refresh();
    QList<QChar> letters() const;

    // The host folder behind a letter, empty when the letter is unknown.
    QString root(QChar letter) const;
    // A drive is ready when its folder exists and can be listed; a mounted
    // volume's letter only while that volume is still mounted there, so a
    // letter never leads to whatever lies under a bare mount folder.
    bool isReady(QChar letter) const;
    // "d: [MYSTICK]": what a drive list shows for a letter (see the .cpp).
    QString displayName(QChar letter) const;
    // The mount-table line of a mounted volume's letter (not c:, nor fixed maps).
    std::optional<MountEntry> mountEntry(QChar letter) const;
    // A network share: asking it may take long, or never answer.
    bool isNetwork(QChar letter) const;

    // ---- The current folder (CurrentFolder.cpp) ----
    // The folder that a bare "c:" stands for: the process's current folder when
    // it lies on that drive, else the drive's root. In drive-letter form.
    QString currentFolder(QChar letter) const;
    // The drive the process's current folder lies on (the longest root that
    // holds it), c: when none does.
    QChar currentDrive() const;
    // Makes a host folder the process's current folder and returns it in
    // drive-letter form (the root of its drive when it cannot be written so).
    // Throws RtError with the reason when it cannot be entered.
    QString enterFolder(const QString &hostPath) const;
    // A host path as given on the command line: a folder is entered as above;
    // a file (anything but a folder) enters its folder and names the file
    // there, as its bytes. Throws like enterFolder for a path that is not there.
    struct Entered {
        QString folder;    // drive-letter form
        QByteArray file;   // the file's name in it, empty for a folder
    };
    Entered enterPath(const QByteArray &hostPath) const;

    // ---- Drive-letter paths to host paths and back (HostPaths.cpp) ----
    // Translates a drive-letter path to its host path. Letters in either case
    // and repeated backslashes are accepted; "." and ".." are resolved and never
    // climb above the drive's root. Throws RtError 68 when the drive is not
    // ready and 76 when the text is no drive-letter path.
    QString toHost(const QString &drivePath) const;

    // The canonical drive-letter form: upper-case letter, single backslashes,
    // a trailing backslash only at the root. Throws like toHost.
    QString normalize(const QString &drivePath) const;

    // The drive-letter form of a host path on a given drive, if it lies there
    // and every name in it can be written in that form.
    std::optional<QString> toDrivePath(QChar letter, const QString &hostPath) const;

private:
    Drives();
    void scanMounts();

    // The maps are read from the I/O worker and from calls left waiting on a
    // silent share as well as from the window's thread; every access holds
    // the lock, and no call that can wait on a medium is made while holding it.
    mutable std::recursive_mutex m_mutex;
    bool m_fixed = false;
    std::map<QChar, QString> m_roots;      // every letter ever given out
    std::map<QChar, bool> m_mounted;       // system map: is the volume there now
    std::map<QChar, dev_t> m_devices;      // system map: the volume's device, d: on
    std::map<QChar, MountEntry> m_entries; // system map: the volume's mount-table line, d: on
    std::map<QChar, qint64> m_goneSince;   // system map: when a letter's volume was first seen gone
    std::function<QList<QChar>()> m_lettersInUse;
};

} // namespace rt
