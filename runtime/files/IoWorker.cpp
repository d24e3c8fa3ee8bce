#include "runtime/files/IoWorker.h"

#include "runtime/media/MediumWaits.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace rt {

namespace {

// m_state: the one job's hand-over between the two threads.
constexpr int kIdle = 0;     // nothing to do
constexpr int kPosted = 1;   // a job waits for the worker
constexpr int kDone = 2;     // the worker has run it
constexpr int kQuit = 3;     // the worker is to end

// How long the window's thread sleeps on a job before it goes back to its
// events: short enough that nobody sees the window pause, long enough that
// a piece of ordinary speed never needs an event loop of its own.
constexpr auto kQuietWait = std::chrono::milliseconds(10);
// The longest a thread waits actively for the other. Waking a sleeping thread
// costs tens of microseconds, more than a whole piece on a fast medium.
constexpr std::chrono::nanoseconds kMaxSpin = std::chrono::microseconds(1000);
constexpr std::chrono::nanoseconds kMinSpin = std::chrono::microseconds(50);
// The worker waits this long for the next job: about what the window's thread
// takes to show a piece and yield.
constexpr std::chrono::nanoseconds kIdleSpin = std::chrono::microseconds(200);

// Waits actively for pred up to `spin`, giving the processor away between
// looks, so a worker that shares one processor with the waiter still runs.
template <typename Pred>
bool spinUntil(Pred pred, std::chrono::nanoseconds spin)
{
    const auto until = std::chrono::steady_clock::now() + spin;
    do {
        for (int i = 0; i < 32; ++i) {
            if (pred())
                return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < until);
    return pred();
}

} // namespace

IoWorker::IoWorker() : m_thread([this] { workerLoop(); }) {}

IoWorker::~IoWorker()
{
    m_state.store(kQuit);
    m_state.notify_one();
    m_thread.join();
}

void IoWorker::runJob(std::function<void()> job)
{
    m_job = std::move(job);
    m_state.store(kPosted);
    m_state.notify_one();

    // Wait actively about as long as the jobs have lately taken (a piece on a
    // fast medium), within bounds; a slow medium is slept on.
    const auto started = std::chrono::steady_clock::now();
    const auto spin = std::clamp(m_typical + m_typical / 2, kMinSpin, kMaxSpin);
    const auto done = [this] { return m_state.load(std::memory_order_acquire) == kDone; };
    if (!spinUntil(done, spin)) {
        std::unique_lock lock(m_mutex);
        m_sleeping = true;
        m_wake.wait_for(lock, kQuietWait, done);
        m_sleeping = false;
    }
    if (!done()) {
        // A slow operation: let the window live until the worker says it is
        // done. A quit left over from an earlier job only ends one round.
        bool quitting = false;
        while (!quitting && m_state.load() != kDone) {
            m_waiting.store(true);
            // Once the program is quitting, exec() returns at once (-1): the
            // window is gone by then, so sleep until the worker is done
            // rather than spin.
            if (m_stallAt && !m_stalled) {
                // A stop came before this job: the caller looks again when its limit is up.
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*m_stallAt - std::chrono::steady_clock::now());
                QTimer::singleShot(std::max(left, std::chrono::milliseconds(0)), &m_loop, [this] { m_loop.quit(); });
            }
            if (m_state.load() != kDone)
                quitting = m_loop.exec() < 0;
            m_waiting.store(false);
            checkStall();
        }
        if (quitting) {
            // The window is gone: the job gets what is left of its stop's
            // limit, and a medium that stays silent is left as it is.
            if (!m_stallAt)
                m_stallAt = std::chrono::steady_clock::now() + kMediumAnswerLimit;
            std::unique_lock lock(m_mutex);
            m_sleeping = true;
            const bool returned = m_wake.wait_until(lock, *m_stallAt, done);
            m_sleeping = false;
            if (!returned)
                endNow(0);
        }
    }
    const auto took = std::chrono::steady_clock::now() - started;
    m_typical = (3 * m_typical + std::min<std::chrono::nanoseconds>(took, 4 * kMaxSpin)) / 4;
    m_state.store(kIdle);
    m_job = nullptr;
    if (m_error)
        std::rethrow_exception(std::exchange(m_error, nullptr));
}

void IoWorker::stopAsked(std::chrono::milliseconds limit, std::function<void()> onStall)
{
    if (m_stallAt)
        return; // the first stop's limit holds
    m_stallAt = std::chrono::steady_clock::now() + limit;
    m_onStall = std::move(onStall);
    // Wakes the caller's wait on the job when the limit has passed.
    QTimer::singleShot(limit, &m_loop, [this] { m_loop.quit(); });
}

void IoWorker::checkStall()
{
    if (m_stalled || !m_stallAt || std::chrono::steady_clock::now() < *m_stallAt || m_state.load() == kDone)
        return;
    m_stalled = true;
    if (m_onStall)
        m_onStall();
}

void IoWorker::workerLoop()
{
    for (;;) {
        const auto idle = [](int s) { return s == kIdle || s == kDone; };
        int s = m_state.load();
        if (idle(s) && !spinUntil([&] { return !idle(s = m_state.load()); }, kIdleSpin)) {
            while (idle(s)) {
                m_state.wait(s);
                s = m_state.load();
            }
        }
        if (s == kQuit)
            return;
        try {
            m_job();
        } catch (...) {
            m_error = std::current_exception();
        }
        m_state.store(kDone); // seq_cst: pairs with m_waiting below
        {
            std::lock_guard lock(m_mutex);
            if (m_sleeping)
                m_wake.notify_one();
        }
        if (m_waiting.load())
            QMetaObject::invokeMethod(&m_loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
}

} // namespace rt
