#include "runtime/media/MediumWaits.h"

#include "runtime/text/RtError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

namespace rt {

namespace {

std::atomic<bool> g_ending{false};
// The click that ends the program, and the deadline it set; window's thread only.
std::optional<std::chrono::steady_clock::time_point> g_endClicked;
std::chrono::steady_clock::time_point g_endBy;
std::atomic<int> g_out{0}; // threads that may be in a call on a medium
// The call left behind on each medium; only the window's thread touches the map.
std::map<QString, std::shared_ptr<MediumCall>> g_left;
// The window's waits under way, woken when the program begins to end.
std::set<QEventLoop *> g_waits;

// How long a call is first waited for without handling events: nearly every
// call answers within it, and then nothing of the window runs inside the caller.
constexpr auto kQuietWait = std::chrono::milliseconds(5);

} // namespace

bool onWindowThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void MediumCall::finish()
{
    {
        const std::lock_guard lock(m_mutex);
        m_finished.store(true, std::memory_order_release);
        for (QEventLoop *loop : m_loops)
            QMetaObject::invokeMethod(loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
    m_done.notify_all();
}

void MediumCall::wake()
{
    const std::lock_guard lock(m_mutex);
    m_woken.store(true);
    for (QEventLoop *loop : m_loops)
        loop->quit();
}

bool MediumCall::waitQuietly(const QDeadlineTimer &deadline)
{
    std::unique_lock lock(m_mutex);
    const auto done = [this] { return finished(); };
    if (deadline.isForever())
        m_done.wait(lock, done);
    else
        m_done.wait_until(lock, deadline.deadline<std::chrono::steady_clock>(), done);
    return finished();
}

bool MediumCall::wait(const QDeadlineTimer &deadline)
{
    if (finished())
        return true;
    if (!onWindowThread())
        return waitQuietly(deadline);
    {
        std::unique_lock lock(m_mutex);
        if (m_done.wait_for(lock, kQuietWait, [this] { return finished(); }))
            return true;
    }
    // Woken by the call's end, the deadline or the program's; a loop that
    // cannot run (the program has quit its event loop) leaves a quiet wait.
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    g_waits.insert(&loop);
    int ran = 0;
    m_woken.store(false);
    while (!finished() && !deadline.hasExpired() && !g_ending.load() && ran >= 0 && !m_woken.load()) {
        {
            const std::lock_guard lock(m_mutex);
            if (finished())
                break;
            m_loops.push_back(&loop);
        }
        if (!deadline.isForever())
            timer.start(std::chrono::milliseconds(std::max<qint64>(deadline.remainingTime(), 0)));
        ran = loop.exec();
        const std::lock_guard lock(m_mutex);
        std::erase(m_loops, &loop);
    }
    g_waits.erase(&loop);
    if (ran < 0 && !g_ending.load())
        return waitQuietly(deadline);
    return finished();
}

void leaveOn(const QString &medium, std::shared_ptr<MediumCall> call)
{
    if (!call->finished())
        g_left[medium] = std::move(call);
}

bool answersAgain(const QString &medium, const QDeadlineTimer &deadline)
{
    const auto left = g_left.find(medium);
    if (left == g_left.end())
        return true;
    // A medium is never asked twice at once while a call on it is left out.
    const std::shared_ptr<MediumCall> earlier = left->second;
    if (!earlier->wait(deadline))
        return false;
    if (const auto still = g_left.find(medium); still != g_left.end() && still->second == earlier)
        g_left.erase(still);
    return true;
}

bool runOffWindow(const QString &medium, std::chrono::milliseconds limit, std::function<void()> job)
{
    if (!onWindowThread()) {
        job();
        return true;
    }
    if (g_ending.load())
        return false;
    const QDeadlineTimer deadline(limit);
    if (!answersAgain(medium, deadline))
        return false;
    const auto call = std::make_shared<MediumCall>();
    callThreadStarted();
    try {
        std::thread([call, job = std::move(job)]() mutable {
            try {
                job();
            } catch (...) {
                // the job keeps what it threw for its caller
            }
            job = nullptr; // what the job holds goes before it counts as returned
            call->finish();
            callThreadEnded();
        }).detach();
    } catch (const std::system_error &e) {
        callThreadEnded();
        throw RtError(ErrDeviceUnavailable, QStringLiteral("no thread to wait on %1 in: %2")
                                                .arg(medium, QString::fromLocal8Bit(e.what())));
    }
    if (call->wait(deadline))
        return true;
    leaveOn(medium, call);
    return false;
}

void callThreadStarted()
{
    ++g_out;
}

void callThreadEnded()
{
    --g_out;
}

void endAskedAt(std::chrono::steady_clock::time_point clicked)
{
    g_endClicked = clicked;
}

std::chrono::steady_clock::time_point endDeadline()
{
    return g_endBy;
}

void setEnding(bool ending)
{
    if (ending && !g_ending.load())
        g_endBy = g_endClicked.value_or(std::chrono::steady_clock::now()) + kEndLimit;
    g_endClicked.reset();
    g_ending.store(ending);
    if (ending)
        for (QEventLoop *loop : g_waits)
            loop->quit();
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
