#pragma once

#include <QByteArray>

#include <utility>

namespace rt {

// A file of this program's on the destination's medium is known by more than
// its name: a copy marks its own unnamed or hidden file with an extended
// attribute only this program writes ("user.duplon.copy", holding the name
// the copy is written for), and holds its writer's lock on it from its
// creation to its end. Each clearing takes the lock of what it clears before
// it removes anything, and checks again that the name still holds that file.

// Marks a file this program has just made, and holds the writer's lock on,
// as the copy onto forName. A medium without extended attributes keeps no
// mark: what a cut leaves there is then never taken for ours.
void markAsOurs(int fd, const QByteArray &forName);
// Whether the file carries the mark of a copy onto forName.
bool markedAsOurs(int fd, const QByteArray &forName);
// Takes the mark off: a copy kept as a rescue is never a leftover.
void unmarkAsOurs(int fd);

// The lock a clearing takes on a file before removing it (a read lock, which
// the writer's lock keeps out and which keeps the writer out in turn): taken,
// held by a copy that writes it, or not known on this medium.
enum class ClearLock { Taken, Held, Unknown };
ClearLock lockToClear(int fd);

// Removes name from the folder while it is still the open file fd: 0, or
// errno (ENOENT: another file holds the name now).
int unlinkStill(int dirFd, const QByteArray &name, int fd);

// A file kept open with the writer's lock, so that no clearing takes it for
// a cut's until it is let go (a final map until its copy has its name).
class HeldFile {
public:
    HeldFile() = default;
    explicit HeldFile(int fd) : m_fd(fd) {}
    HeldFile(HeldFile &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    HeldFile &operator=(HeldFile &&other) noexcept;
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;
    ~HeldFile() { letGo(); }
    // Closes it: the lock goes with it. May wait on the medium.
    void letGo();

private:
    int m_fd = -1;
};

} // namespace rt
