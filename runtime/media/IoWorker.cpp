#include "runtime/media/IoWorker.h"

#include "runtime/media/StuckCall.h"

#include <QTimer>

#include <sys/syscall.h>
#include <unistd.h>

#include <utility>

namespace rt {

namespace {

// m_state: the one job's hand-over between the two threads.
constexpr int kIdle = 0;   // nothing to do
constexpr int kPosted = 1; // a job waits for the worker
constexpr int kQuit = 2;   // the worker is to end

// The worker looks for the next job this long before it sleeps: about what
// the window's thread takes to show a piece and hand over the next. Waking a
// sleeping thread costs tens of microseconds, a good part of a piece on a
// fast medium.
constexpr std::chrono::nanoseconds kIdleSpin = std::chrono::microseconds(200);

} // namespace

IoWorker::IoWorker(QStringList media) : m_media(std::move(media)), m_thread([this] { workerLoop(); }) {}

IoWorker::~IoWorker()
{
    try {
        wait();
    } catch (...) {
        // a job nobody waited for: what it threw goes with it
    }
    m_state.store(kQuit);
    m_state.notify_one();
    m_thread.join();
}

void IoWorker::post(std::function<void()> job)
{
    wait();
    m_job = std::move(job);
    m_call = std::make_shared<MediumCall>();
    m_state.store(kPosted);
    m_state.notify_one();
}

void IoWorker::wait()
{
    if (!m_call)
        return;
    const std::shared_ptr<MediumCall> call = m_call;
    while (!call->finished()) {
        if (isEnding() || !onWindowThread()) {
            // The window is gone (or there is none to keep live): the job gets
            // what is left of its stop's limit, and a medium that stays silent
            // is left as it is while the program ends.
            if (!onWindowThread()) {
                call->waitQuietly(QDeadlineTimer(QDeadlineTimer::Forever));
                break;
            }
            if (!m_stallAt)
                m_stallAt = std::chrono::steady_clock::now() + kMediumAnswerLimit;
            if (!call->waitQuietly(QDeadlineTimer(*m_stallAt)))
                endNow(0);
            break;
        }
        const QDeadlineTimer until = m_stallAt && !m_stalled ? QDeadlineTimer(*m_stallAt)
                                                             : QDeadlineTimer(QDeadlineTimer::Forever);
        if (call->wait(until))
            break;
        checkStall();
    }
    m_call.reset();
    m_job = nullptr;
    if (m_error)
        std::rethrow_exception(std::exchange(m_error, nullptr));
}

void IoWorker::stopAsked(std::chrono::milliseconds limit, std::function<void()> onStall)
{
    m_stopAsked.store(true, std::memory_order_relaxed);
    if (m_stallAt)
        return; // the first stop's limit holds
    m_stallAt = std::chrono::steady_clock::now() + limit;
    m_onStall = std::move(onStall);
    // The wait under way has no end of its own: it looks again at the limit.
    QTimer::singleShot(limit, &m_timers, [this] {
        if (m_call)
            m_call->wake();
    });
}

void IoWorker::checkStall()
{
    if (m_stalled || !m_stallAt || std::chrono::steady_clock::now() < *m_stallAt || !m_call || m_call->finished())
        return;
    m_stalled = true;
    for (const QString &medium : m_media)
        leaveOn(medium, m_call);
    if (m_onStall)
        m_onStall();
}

QString IoWorker::waitedOn() const
{
    return m_call && !m_call->finished() ? pathWaitedOn(m_tid.load()) : QString();
}

void IoWorker::workerLoop()
{
    m_tid.store(int(::syscall(SYS_gettid)));
    for (;;) {
        int s = m_state.load();
        const auto until = std::chrono::steady_clock::now() + kIdleSpin;
        while (s == kIdle && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield(); // a worker sharing one processor with the window lets it run
            s = m_state.load();
        }
        while (s == kIdle) {
            m_state.wait(s);
            s = m_state.load();
        }
        if (s == kQuit)
            return;
        const std::shared_ptr<MediumCall> call = m_call; // the waiter may let go of it once finished
        try {
            m_job();
        } catch (...) {
            m_error = std::current_exception();
        }
        m_state.store(kIdle);
        call->finish();
    }
}

} // namespace rt
