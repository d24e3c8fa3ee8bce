#include "runtime/media/MediumWaits.h"

#include "runtime/text/RtError.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace rt {

namespace {

struct Call {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false; // guarded by mutex
};

std::atomic<bool> g_ending{false};
std::atomic<int> g_out{0}; // calls started and not yet returned
// The call left behind on each medium; only the window's thread touches the map.
std::map<QString, std::shared_ptr<Call>> g_left;

// How long a call first waits without handling events: nearly every call
// answers within it, and then nothing of the window runs inside the caller.
constexpr auto kQuietWait = std::chrono::milliseconds(20);

bool onWindowThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Waits for a call until the deadline or the program's end, with the window's
// events handled after the first moments.
bool waitFor(Call &call, const QDeadlineTimer &deadline)
{
    std::unique_lock lock(call.mutex);
    if (call.done.wait_for(lock, kQuietWait, [&] { return call.finished; }))
        return true;
    while (!call.finished && !deadline.hasExpired() && !g_ending.load()) {
        lock.unlock();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        lock.lock();
        call.done.wait_for(lock, std::chrono::milliseconds(5), [&] { return call.finished; });
    }
    return call.finished;
}

} // namespace

bool runOffWindow(const QString &medium, std::chrono::milliseconds limit, std::function<void()> job)
{
    if (!onWindowThread()) {
        job();
        return true;
    }
    if (g_ending.load())
        return false;
    const QDeadlineTimer deadline(limit);
    if (const auto left = g_left.find(medium); left != g_left.end()) {
        // The call left on this medium is waited for first, within this
        // call's limit: a medium is never asked twice at once by left calls.
        const std::shared_ptr<Call> earlier = left->second;
        const bool answered = waitFor(*earlier, deadline);
        if (!answered)
            return false;
        if (const auto still = g_left.find(medium); still != g_left.end() && still->second == earlier)
            g_left.erase(still);
    }
    const auto call = std::make_shared<Call>();
    ++g_out;
    try {
        std::thread([call, job = std::move(job)]() mutable {
            try {
                job();
            } catch (...) {
                // the job keeps what it threw for its caller
            }
            job = nullptr; // what the job holds goes before it counts as returned
            {
                const std::lock_guard lock(call->mutex);
                call->finished = true;
            }
            call->done.notify_all();
            --g_out;
        }).detach();
    } catch (const std::system_error &e) {
        --g_out;
        throw RtError(ErrDeviceUnavailable, QStringLiteral("no thread to wait on %1 in: %2")
                                                .arg(medium, QString::fromLocal8Bit(e.what())));
    }
    if (waitFor(*call, deadline))
        return true;
    g_left[medium] = call;
    return false;
}

void setEnding(bool ending)
{
    g_ending.store(ending);
}

bool isEnding()
{
    return g_ending.load();
}

void endNow(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}

int endLeavingMedia(int code)
{
    if (g_out.load() > 0)
        endNow(code);
    return code;
}

} // namespace rt
