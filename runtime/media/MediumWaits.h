#pragma once

#include <QString>

#include <chrono>
#include <functional>

namespace rt {

// Waiting on a medium from the window's thread. A damaged stick, a disk
// spinning up or a share whose server is silent can hold a call (stat,
// opendir, a read) for seconds or for ever, and no signal ends the wait. Such
// a call runs on a thread of its own while the window goes on handling its
// events; when no answer comes in time the caller goes on without one and
// the call is left behind, to return into nothing whenever the medium does.
//
// Bounds: at most one call is left behind per medium (a later call first
// waits for it, within its own limit); no thread is started once the program has begun to end; and
// the process never runs its static destructors while a call is out (it ends
// at once instead), so no call outlives what it calls into.

// How long a medium may keep the window waiting before it is "not ready".
constexpr std::chrono::milliseconds kMediumAnswerLimit{10000};

// Runs job on a thread of its own, handling the window's events meanwhile, and
// returns whether it finished within limit; medium names the medium (a drive
// letter, a mount folder). Called off the window's thread, runs job there and returns true.
// Throws RtError 68 when no thread can be started.
bool runOffWindow(const QString &medium, std::chrono::milliseconds limit, std::function<void()> job);

// The program begins to end (its window has closed; false again for a new
// window): waits on a medium return at once, unanswered, and no more start.
void setEnding(bool ending);
bool isEnding();
// Ends the process at once, without static destructors: calls left waiting
// may still return into them.
[[noreturn]] void endNow(int code);
// At the end of main: ends at once when a call is still out, else returns code.
int endLeavingMedia(int code);

} // namespace rt
