#pragma once

#include "runtime/media/MediumWaits.h"

#include <QObject>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace rt {

// One copy's worker: runs its calls on its two media, one at a time, on a
// thread of its own, while the window's thread waits for each the one way
// (MediumCall): a damaged medium can hold a single read for seconds, and the
// window must still repaint and take Stop, Exit and the close box meanwhile.
// Only the operation moves; whoever calls run() keeps its state on its own
// thread. A call that outlasts its stop's limit is left on both media, so
// nothing else asks them while it is out.
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
    // Starts job on the worker and returns at once; wait() takes its end. A
    // job still out is waited for first: one job at a time.
    void post(std::function<void()> job);
    // Waits for the job posted last, if it is still to be waited for, and
    // throws again what it threw.
    void wait();
    // Whether a posted job has not been waited for.
    bool posted() const { return m_call != nullptr; }

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

    QStringList m_media;
    std::function<void()> m_job;
    std::exception_ptr m_error; // what the job threw, thrown again on the caller's thread
    std::shared_ptr<MediumCall> m_call; // the job posted and not yet waited for
    std::atomic<int> m_state{0}; // see the .cpp
    std::atomic<int> m_tid{0};   // the worker's thread, for what it waits on
    std::atomic<bool> m_stopAsked{false};
    std::optional<std::chrono::steady_clock::time_point> m_stallAt; // the first stop's limit
    std::function<void()> m_onStall;
    bool m_stalled = false;
    QObject m_timers; // the stop's timer goes with the worker
    std::thread m_thread;
};

} // namespace rt
