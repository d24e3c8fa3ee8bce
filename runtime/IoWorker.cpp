#include "runtime/IoWorker.h"

#include <QMetaObject>

#include <chrono>
#include <utility>

namespace rt {

namespace {

// m_state: the one job's hand-over between the two threads.
constexpr int kIdle = 0;     // nothing to do
constexpr int kPosted = 1;   // a job waits for the worker
constexpr int kDone = 2;     // the worker has run it
constexpr int kQuit = 3;     // the worker is to end

// Spinning this long before sleeping keeps the hand-over of a quick job (the
// small pieces take microseconds) cheaper than a wake-up from sleep, without
// taking a core from anyone for long.
constexpr auto kSpin = std::chrono::microseconds(100);
// How long the window's thread sleeps on a job before it goes back to its
// events: short enough that nobody sees the window pause, long enough that
// a piece of ordinary speed never needs an event loop of its own.
constexpr auto kQuietWait = std::chrono::milliseconds(10);

template <typename Pred>
bool spinUntil(Pred pred)
{
    const auto until = std::chrono::steady_clock::now() + kSpin;
    do {
        for (int i = 0; i < 64; ++i) {
            if (pred())
                return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
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

    const auto done = [this] { return m_state.load(std::memory_order_acquire) == kDone; };
    if (!spinUntil(done)) {
        std::unique_lock lock(m_mutex);
        m_sleeping = true;
        m_wake.wait_for(lock, kQuietWait, done);
        m_sleeping = false;
    }
    if (!done()) {
        // A slow operation: let the window live until the worker says it is
        // done. A quit left over from an earlier job only ends one round.
        while (m_state.load() != kDone) {
            m_waiting.store(true);
            if (m_state.load() != kDone)
                m_loop.exec();
            m_waiting.store(false);
        }
    }
    m_state.store(kIdle);
    m_job = nullptr;
    if (m_error)
        std::rethrow_exception(std::exchange(m_error, nullptr));
}

void IoWorker::workerLoop()
{
    for (;;) {
        const auto idle = [](int s) { return s == kIdle || s == kDone; };
        int s = m_state.load();
        if (idle(s) && !spinUntil([&] { return !idle(s = m_state.load()); })) {
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
