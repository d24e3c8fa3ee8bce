#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <sys/types.h>

namespace rt {

// The hidden name a copy writes under where the medium takes no unnamed file
// (O_TMPFILE): "." + (the start of) the destination's name + "." + a random
// tail + ".part", so two copies never pick the same one and what a cut or a
// kill leaves is known as ours.
QByteArray hiddenNameFor(const QByteArray &name);
// Whether entry is a hidden name hiddenNameFor(name) could have given. A name
// alone proves nothing (".disk.img.part" fits a copy onto "disk"): see OurFiles.h.
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
    bool marked = false;    // carries this program's mark for a copy onto the name
    bool mapBeside = false; // a map beside it (entry + ".map"): a kept rescue, never a leftover
    bool share = false;     // on a network share: a lock there may not reach another machine's copy
    qint64 ageSeconds = 0;  // since it last changed, by the medium's own clock (0 where that is not known)
};
// Whether a medium is judged as a share, where locks may not reach another
// machine: a network file system, and one that cannot be identified.
struct Volume;
bool judgedAsShare(const std::optional<Volume> &volume);
// The hidden files a copy onto drivePath (drive-letter form) may have left:
// regular files of this user's under its hidden names, never through a link.
// Their age is the medium's clock (the change time of a file made for the
// look) less their change time, which no copy can set back: never this
// machine's clock against a share's.
// May wait on the medium; throws what the folder's listing throws.
QList<HiddenLeftover> hiddenLeftovers(const QString &drivePath);
// Deletes one beside drivePath while it is still the file found, still
// marked as ours with no map beside it, and its lock can be taken (where the
// medium tells): 0, or why not (the OS's reason; EBUSY: a copy holds it;
// EPERM: not ours).
int removeHiddenLeftover(const QString &drivePath, const HiddenLeftover &leftover);

} // namespace rt
