#pragma once

#include "runtime/media/MediumWaits.h"

#include <QObject>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace rt {

// One copy's worker: runs its calls on its two media, one at a time, on a
// thread of its own, while the window's thread waits for each the one way
// (MediumCall): a damaged medium can hold a single read for seconds, and the
// window must still repaint and take Stop, Exit and the close box meanwhile.
// Only the operation moves; whoever calls run() keeps its state on its own
// thread. Jobs may also be queued, for the worker to run several in a row
// while the caller is busy with the ends of earlier ones. A call that outlasts
// its stop's limit is left on both media, so nothing else asks them while it
// (or a job queued behind it) is out.
class IoWorker {
public:
    // media: as runOffWindow names them (see mediumOf).
    explicit IoWorker(QStringList media = {});
    ~IoWorker();
    IoWorker(const IoWorker &) = delete;
    IoWorker &operator=(const IoWorker &) = delete;

    // Runs op on the worker and returns once it has returned, with its result
    // or its exception. Events of the calling thread are handled while it
    // runs, unless it returns at once.
    template <typename F>
    auto run(F op) -> decltype(op())
    {
        using R = decltype(op());
        if constexpr (std::is_void_v<R>) {
            post([&op] { op(); });
            wait();
        } else {
            R result{};
            post([&] { result = op(); });
            wait();
            return result;
        }
    }
    // Starts job on the worker and returns at once; wait() takes its end. Any
    // job still out is waited for first: one job at a time.
    void post(std::function<void()> job);
    // Starts job on the worker behind the jobs still out and returns at once:
    // the worker runs them one after another without waiting for the caller,
    // and wait() takes their ends in the order they were queued.
    void queue(std::function<void()> job);
    // Waits for the oldest job not yet waited for, if any, and throws again
    // what it threw.
    void wait();
    // Whether a posted job has not been waited for.
    bool posted() const { return !m_out.empty(); }

    // A stop was asked. The job in flight is not interrupted, but if it has
    // not returned within limit of the first stop, onStall runs on the
    // caller's thread (once); and once the program is ending, it ends then,
    // leaving the job to the medium.
    void stopAsked(std::chrono::milliseconds limit, std::function<void()> onStall);
    // Whether a stop was asked: a job that makes many calls looks between
    // them, so the stop takes effect after the call under way. Any thread.
    bool stopWasAsked() const { return m_stopAsked.load(std::memory_order_relaxed); }
    // Whether a job has outlasted its stop: it is left to the medium.
    bool stalled() const { return m_stalled; }
    // The file or folder the job in flight waits on, as the system tells it;
    // empty when it tells nothing.
    QString waitedOn() const;

private:
    // The caller's look at a job that outlasts its stop.
    void checkStall();
    void workerLoop();

    struct Job {
        std::function<void()> run;
        std::exception_ptr error; // what it threw, thrown again on the caller's thread
        MediumCall call;          // its end, which the caller waits for
    };
    QStringList m_media;
    std::deque<std::shared_ptr<Job>> m_out; // the caller's: queued and not yet waited for, oldest first
    std::mutex m_mutex;
    std::deque<std::shared_ptr<Job>> m_todo; // the worker's next jobs (guarded by m_mutex)
    std::atomic<unsigned> m_queued{0};       // jobs ever queued: the worker sleeps on it
    std::atomic<bool> m_quit{false};
    std::atomic<int> m_tid{0}; // the worker's thread, for what it waits on
    std::atomic<bool> m_stopAsked{false};
    std::optional<std::chrono::steady_clock::time_point> m_stallAt; // the first stop's limit
    std::function<void()> m_onStall;
    bool m_stalled = false;
    QObject m_timers; // the stop's timer goes with the worker
    std::thread m_thread;
};

} // namespace rt
