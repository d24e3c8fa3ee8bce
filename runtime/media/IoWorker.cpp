#include "runtime/media/IoWorker.h"

#include "runtime/media/StuckCall.h"

#include <QTimer>

#include <sys/syscall.h>
#include <unistd.h>

#include <utility>

namespace rt {

namespace {

// The worker looks for the next job this long before it sleeps: about what
// the window's thread takes to show a piece and hand over the next. Waking a
// sleeping thread costs tens of microseconds, a good part of a piece on a
// fast medium.
constexpr std::chrono::nanoseconds kIdleSpin = std::chrono::microseconds(200);

} // namespace

IoWorker::IoWorker(QStringList media) : m_media(std::move(media)), m_thread([this] { workerLoop(); }) {}

IoWorker::~IoWorker()
{
    while (!m_out.empty()) {
        try {
            wait();
        } catch (...) {
            // a job nobody waited for: what it threw goes with it
        }
    }
    m_quit.store(true);
    ++m_queued;
    m_queued.notify_one();
    m_thread.join();
}

void IoWorker::post(std::function<void()> job)
{
    while (!m_out.empty())
        wait();
    queue(std::move(job));
}

void IoWorker::queue(std::function<void()> job)
{
    auto queued = std::make_shared<Job>();
    queued->run = std::move(job);
    m_out.push_back(queued);
    {
        const std::lock_guard lock(m_mutex);
        m_todo.push_back(std::move(queued));
    }
    ++m_queued;
    m_queued.notify_one();
}

void IoWorker::wait()
{
    if (m_out.empty())
        return;
    const std::shared_ptr<Job> job = m_out.front();
    MediumCall &call = job->call;
    while (!call.finished()) {
        if (isEnding() || !onWindowThread()) {
            // The window is gone (or there is none to keep live): the job gets
            // what is left of the program's time to end, or of its stop's
            // limit, and a medium that stays silent is left as it is while
            // the program ends.
            if (!onWindowThread()) {
                call.waitQuietly(QDeadlineTimer(QDeadlineTimer::Forever));
                break;
            }
            const auto by = m_stallAt ? std::min(*m_stallAt, endDeadline()) : endDeadline();
            if (!call.waitQuietly(QDeadlineTimer(by)))
                endNow(0);
            break;
        }
        const QDeadlineTimer until = m_stallAt && !m_stalled ? QDeadlineTimer(*m_stallAt)
                                                             : QDeadlineTimer(QDeadlineTimer::Forever);
        if (call.wait(until))
            break;
        checkStall();
    }
    m_out.pop_front();
    job->run = nullptr;
    if (job->error)
        std::rethrow_exception(std::exchange(job->error, nullptr));
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
        if (!m_out.empty())
            m_out.front()->call.wake();
    });
}

void IoWorker::checkStall()
{
    if (m_stalled || !m_stallAt || std::chrono::steady_clock::now() < *m_stallAt || m_out.empty()
        || m_out.front()->call.finished())
        return;
    m_stalled = true;
    // The last job queued ends after every one before it: while it is out,
    // the media are not asked again.
    const std::shared_ptr<Job> last = m_out.back();
    for (const QString &medium : m_media)
        leaveOn(medium, std::shared_ptr<MediumCall>(last, &last->call));
    if (m_onStall)
        m_onStall();
}

QString IoWorker::waitedOn() const
{
    return !m_out.empty() && !m_out.back()->call.finished() ? pathWaitedOn(m_tid.load()) : QString();
}

void IoWorker::workerLoop()
{
    m_tid.store(int(::syscall(SYS_gettid)));
    unsigned taken = 0; // jobs taken from m_todo
    for (;;) {
        unsigned queued = m_queued.load();
        const auto until = std::chrono::steady_clock::now() + kIdleSpin;
        while (queued == taken && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield(); // a worker sharing one processor with the window lets it run
            queued = m_queued.load();
        }
        while (queued == taken) {
            m_queued.wait(queued);
            queued = m_queued.load();
        }
        if (m_quit.load())
            return;
        std::shared_ptr<Job> job;
        {
            const std::lock_guard lock(m_mutex);
            job = std::move(m_todo.front());
            m_todo.pop_front();
        }
        ++taken;
        try {
            job->run();
        } catch (...) {
            job->error = std::current_exception();
        }
        job->call.finish(); // the waiter may let go of the job once finished
    }
}

} // namespace rt
