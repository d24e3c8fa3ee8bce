#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <sys/types.h>

namespace rt {

// The hidden name a copy writes under where the medium takes no unnamed file
// (O_TMPFILE): "." + (the start of) the destination's name + "." + a random
// tail + ".part", so two copies never pick the same one and what a cut or a
// kill leaves is known as ours.
QByteArray hiddenNameFor(const QByteArray &name);
// Whether entry is a hidden name hiddenNameFor(name) could have given.
bool isHiddenNameFor(const QByteArray &entry, const QByteArray &name);

// The hidden name a file (a map) is written under before it takes name in one
// rename: "." + (the start of) name + "." + a random tail + ".tmp".
QByteArray temporaryNameFor(const QString &name);

// A file under such a name beside a destination, as found there.
struct HiddenLeftover {
    enum class Lock { Free, Held, Unknown }; // the writer's lock a copy holds on it while it writes
    QByteArray name;
    dev_t device = 0;
    ino_t inode = 0;
    Lock lock = Lock::Unknown;
    bool share = false;     // on a network share: a lock there may not reach another machine's copy
    qint64 ageSeconds = 0;  // since it was last written
};
// The hidden files a copy onto drivePath (drive-letter form) may have left:
// regular files of this user's under its hidden names, never through a link.
// May wait on the medium; throws what the folder's listing throws.
QList<HiddenLeftover> hiddenLeftovers(const QString &drivePath);
// Deletes one beside drivePath while it is still the file found and no copy
// holds its lock: 0, or why not (the OS's reason; EBUSY: a copy holds it).
int removeHiddenLeftover(const QString &drivePath, const HiddenLeftover &leftover);

} // namespace rt
