#pragma once

#include "runtime/files/ReadBack.h"
#include "runtime/files/WriteBehind.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>
#include <time.h>
#include <sys/types.h>

namespace rt {

// What the checks before a copy decided about its destination: inPlace writes
// into the existing file itself (the user chose it, as there is room only for
// one of the two); caseTwin names an entry of the folder that differs from the
// name only in letter case and is replaced by the copy (see commit()); the
// copy gets the source's modification time; reserve asks the file system to
// set that much room aside at once (fallocate(2), where it has it).
struct DestinationOptions {
    bool inPlace = false;
    QString caseTwin;
    std::optional<timespec> modified;
    qint64 reserve = 0;
};

// How a copy is to be written into its folder, as decided before (planWriting).
struct WritePlan {
    // Refused before anything is written: with the OS's reason, or (0) as not
    // a regular file of notRegularMode, reached through a link or not.
    int refusalError = 0;
    std::optional<mode_t> notRegularMode;
    bool throughLink = false;
    QByteArray folder; // host path
    QByteArray name;
    // An old file is replaced: its permission bits, and its owner and group
    // where the process may set them, go to the new file.
    bool replaces = false;
    mode_t oldMode = 0;
    uid_t oldOwner = 0;
    gid_t oldGroup = 0;
    // An entry differing from the name in letter case, removed once named.
    QByteArray twinName;
    dev_t twinDevice = 0;
    ino_t twinInode = 0;
    mode_t createMode = 0600; // of a new file, under the umask
    bool inPlaceFirst = false; // straight into the old file, never a new one
    // In place into the entry under another letter case, which takes the
    // name as typed at the commit.
    QByteArray inPlaceName;
    std::optional<timespec> modified;
    qint64 reserve = 0;
};

// The file a copy writes into, and how it finally takes the destination's name.
//
// The copy goes into a file of its own in the destination's folder: one with no
// name at all (O_TMPFILE) where the file system allows, so even a killed program
// leaves nothing behind, else one under a hidden name. Only commit() gives it the
// destination's name, in one rename that replaces any old file; until then an old
// file is untouched. Where the folder takes no new file but the old file may be
// written, the copy writes into the old file itself, as a plain copier does.
//
// Plain OS calls only, no widgets: a copy engine may run these on a worker
// thread, one call at a time. Failures are RtErrors with the OS's reason.
class Destination {
public:
    // Opens the file to write as planned (planWriting decides, from what is
    // under the name): throws the plan's refusal, or the OS's reason.
    using Options = DestinationOptions;
    static Destination open(const WritePlan &plan);

    Destination() = default;
    Destination(Destination &&other) noexcept;
    Destination &operator=(Destination &&other) noexcept;
    Destination(const Destination &) = delete;
    Destination &operator=(const Destination &) = delete;
    // Abandons what is not committed.
    ~Destination();

    int descriptor() const { return m_fd; }
    bool writesInPlace() const { return m_kind == Kind::InPlace; }
    // Whether it may hold older data where the copy writes nothing: an
    // earlier copy under the name, gone on with (its unread parts may hold
    // what an old file had there).
    bool holdsOlderData() const { return m_kind == Kind::EarlierCopy; }

    // Empties a file written in place, so what the copy skips (the holes of a
    // sparse source) reads as zeros; a new file is empty already.
    void empty();

    // Call after each piece written at [offset, offset + count). Starts the
    // piece's way to the medium at once and waits for pieces written more than
    // kWriteBehind bytes ago, so what is not yet on the medium stays small and
    // the copy moves at the speed the medium really takes. On a fast disk or a
    // tmpfs this costs next to nothing.
    void writeBehind(qint64 offset, qint64 count);

    // What the read-back (ReadBack) found: where the medium first returned
    // different data, and the volume's size as the medium claims it.
    std::optional<qint64> readBackWrongAt() const { return m_readBack ? m_readBack->wrongAt() : std::nullopt; }
    qint64 claimedSize() const { return m_readBack ? m_readBack->claimedSize() : 0; }

    // Sets the length and flushes the data to the medium. commit() does this
    // itself; an engine calls it first when it wants to look for a Stop between
    // the long flush and the moment the name is taken.
    void flush(qint64 length);
    // What remains uncertain once the copy has its name (0: nothing): the
    // folder's flush failed, so the name may not be on the medium yet; or the
    // close reported a late write failure (network and FUSE file systems do),
    // so the data under the name may be incomplete.
    struct Committed {
        int folderFlushError = 0;
        int closeError = 0;
    };
    // flush(length), then gives the file the source's modification time and
    // the destination's name in one step, and flushes the folder. A case twin
    // goes only after that, and only while it is still the file that was
    // there: an interruption between the two leaves both files, never neither. Throws, with the OS's reason, for what fails before
    // the name is taken (the file or its folder gone included, so a copy is
    // never announced for a file that does not exist): nothing of the new data
    // then keeps the name and an old file is untouched (except when writing in
    // place). What fails after it is returned, never thrown.
    [[nodiscard]] Committed commit(qint64 length);
    // Removes what this copy wrote: the unnamed or temporary file, a part; in
    // place, the file it opened; each only while that same file is still under
    // its name. An earlier copy gone on with under the name is only closed.
    // Never throws. The OS's reason when the file may still be under its name
    // (its deletion, or the look at it, failed), else 0.
    int abandon();
    // The name the copy is written under in its folder while it has one of
    // its own (hidden, a part, the old file in place); empty when unnamed.
    QString writtenName() const;

    // A rescue is kept on the destination's medium as it goes (see
    // DestinationKept.cpp): the name it takes beside the file `name`, NAME.part,
    // NAME.1.part ... (n = 0, 1 ...), cut at a whole character so that its
    // map's name (the part's + ".map") fits the medium.
    static QString partName(const QString &name, int n);
    static constexpr int kMaxParts = 1000; // n below this
    // Gives the copy a name of its own beside the destination's, so that it is
    // kept whatever ends the program: the first partName() free together with
    // its map's name, never over an existing file; a copy written in place
    // keeps the destination's name. Flushes the folder; returns the name taken.
    QString keepAsPart();
    // A kept copy to go on writing, in place: commit() gives it the
    // destination's name (drive-letter paths). Throws.
    static Destination goOnWith(const QString &partDrivePath, const QString &drivePath, const Options &options);
    // Puts what was written so far on the medium (the length stays). Throws.
    void syncData();
    // Closes, keeping what was written under its name.
    void release();

    // The most data written but not known to be on the medium.
    static constexpr qint64 kWriteBehind = WriteBehind::kLimit;

    // For tests: behave as on a file system without unnamed files, so the
    // hidden-name way is taken.
    static void setUnnamedFilesAllowed(bool allowed);
    // For tests: called on the worker between the unnamed file's link under
    // its hidden name and its rename to the destination's name.
    static void setBeforeRename(std::function<void()> step);
    // For tests: what the folder's flush and the close report after the
    // rename, as a network or FUSE file system may (0: what really happens).
    static void setFailuresAfterNaming(Committed failures);

private:
    // What the file written is, and so what abandon() may do to it.
    enum class Kind {
        None,        // nothing to abandon: never opened, named, or released
        Unnamed,     // no name at all (O_TMPFILE): it goes by itself
        Temporary,   // under a hidden temporary name beside the destination's: deleted
        Part,        // a rescue under a name of its own (NAME.part), this copy's or an earlier one's: deleted only when asked
        EarlierCopy, // an earlier copy under the destination's own name, gone on with: never deleted
        InPlace,     // the old file under the name, written over: deleted while it is still the one opened
    };

    static void truncateTo(int fd, qint64 length);
    void closeAll() noexcept;
    // Gives the unnamed file the name in its folder: 0, or errno.
    int linkAs(const QByteArray &name) const;
    const QByteArray &writtenInPlace() const { return m_inPlaceName.isEmpty() ? m_name : m_inPlaceName; }
    void throwIfGone() const;

    Kind m_kind = Kind::None;
    int m_fd = -1;
    int m_dirFd = -1;          // the folder the name lives in
    bool m_dirSyncable = false; // the folder could be opened for reading, so fsync works
    QByteArray m_name;         // the destination's name in that folder
    QByteArray m_ownName;      // Temporary, Part: the name written under
    QByteArray m_twinName;     // the differently cased entry to remove once named
    QByteArray m_inPlaceName;  // InPlace: the entry written, when cased otherwise than m_name
    dev_t m_twinDevice = 0;
    ino_t m_twinInode = 0;
    std::optional<timespec> m_modified;
    dev_t m_device = 0;        // the file opened, to delete only that one
    ino_t m_inode = 0;
    std::optional<mode_t> m_finalMode; // a replaced file's mode, given at the commit
    bool m_flushed = false;
    qint64 m_flushedLength = -1;
    WriteBehind m_writeBehind;
    std::unique_ptr<ReadBack> m_readBack; // from the first piece written
};

} // namespace rt
