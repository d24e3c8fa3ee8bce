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

// Spinning this long before sleeping keeps the hand-over of a quick job
// (most pieces take microseconds) far cheaper than a wake-up from sleep,
// while no wait is long enough for the window to notice.
constexpr auto kSpin = std::chrono::microseconds(1000);

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

    if (!spinUntil([this] { return m_state.load(std::memory_order_acquire) == kDone; })) {
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
        if (m_waiting.load())
            QMetaObject::invokeMethod(&m_loop, &QEventLoop::quit, Qt::QueuedConnection);
    }
}

} // namespace rt
