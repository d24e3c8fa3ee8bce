#pragma once

#include <QDeadlineTimer>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QEventLoop;

namespace rt {

// Waiting on a medium from the window's thread: the one way, for browsing and
// for copying. A damaged stick, a disk spinning up or a share whose server is
// silent can hold a call (stat, opendir, a read, a flush) for seconds or for
// ever, and no signal ends the wait. Such a call runs on a thread other than
// the window's, which waits in an event loop that the call's end wakes, so the
// window goes on repainting and taking Stop, Exit and the close box. A medium
// that gives no answer within kMediumAnswerLimit "does not answer": the caller
// goes on without one, and the call is left on the medium, to return into
// nothing whenever the medium does.
//
// Bounds: at most one call is left behind per medium (a later call first
// waits for it, within its own limit, and is never made while it is out); no
// thread is started once the program has begun to end; and the process never
// runs its static destructors while a call is out (it ends at once instead),
// so no call outlives what it calls into.

// How long a medium may keep the window waiting before it is "not ready".
constexpr std::chrono::milliseconds kMediumAnswerLimit{10000};

// One call on a medium, run on another thread: that thread says when it is
// done, and the window's thread waits for it.
class MediumCall {
public:
    // By the thread that ran the call: wakes whoever waits for it.
    void finish();
    bool finished() const { return m_finished.load(std::memory_order_acquire); }
    // Until the call finishes or the deadline passes, and on the window's
    // thread also until the program begins to end, with the window's events
    // handled after the first moments; whether it finished.
    bool wait(const QDeadlineTimer &deadline);
    // Until the call finishes or the deadline passes, handling nothing: for
    // the window's thread once the window is gone.
    bool waitQuietly(const QDeadlineTimer &deadline);
    // Ends the window's wait under way unanswered, for its caller to look again.
    void wake();

private:
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_woken{false};
    std::mutex m_mutex;
    std::condition_variable m_done;
    // The window's waits, woken by finish (guarded by m_mutex): more than one
    // when a wait handles an event that waits for the same call.
    std::vector<QEventLoop *> m_loops;
};

// Whether the calling thread is the window's.
bool onWindowThread();

// The call out on a medium that did not answer in time: every later call on
// the medium waits for it first. Window's thread only.
void leaveOn(const QString &medium, std::shared_ptr<MediumCall> call);
// Waits, within deadline, for the call left on medium, if any; false while it
// is still out (the medium does not answer).
bool answersAgain(const QString &medium, const QDeadlineTimer &deadline);

// Runs job on a thread of its own, handling the window's events meanwhile, and
// returns whether it finished within limit; medium names the medium (a drive
// letter, a mount folder). Called off the window's thread, runs job there and returns true.
// Throws RtError 68 when no thread can be started.
bool runOffWindow(const QString &medium, std::chrono::milliseconds limit, std::function<void()> job);

// A thread that runs calls on a medium starts (counts it while it may be in a
// call when the program ends) or ends.
void callThreadStarted();
void callThreadEnded();

// How long the program may take to end, from the click that ends it (Exit,
// the close box) to the end of the process: the question, the copy's stop,
// the window's closing and the wait for a medium all count against it. A
// quarter of a second is left for the process's own ending.
constexpr std::chrono::milliseconds kEndLimit = kMediumAnswerLimit - std::chrono::milliseconds(250);

// The user clicked what ends the program at this moment (Exit, before its
// question); the next setEnding(true) counts the end's limit from there.
void endAskedAt(std::chrono::steady_clock::time_point clicked);
// The program begins to end (its window has closed; false again for a new
// window): waits on a medium return at once, unanswered, and no more start.
void setEnding(bool ending);
bool isEnding();
// Once the program is ending, when it must be gone: kEndLimit after the
// click that ended it (or after setEnding, when none was told).
std::chrono::steady_clock::time_point endDeadline();
// Ends the process at once, without static destructors: calls left waiting
// may still return into them.
[[noreturn]] void endNow(int code);
// At the end of main: ends at once when a call is still out, else returns code.
int endLeavingMedia(int code);

} // namespace rt
