#pragma once

#include <QEventLoop>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <exception>
#include <functional>
#include <thread>

namespace rt {

// Runs one blocking file operation at a time on a thread of its own, while
// the window's thread goes on handling its events: a damaged medium can hold
// a single read for seconds, and the window must still repaint and take Stop,
// Exit and the close box meanwhile. Only the operation moves; whoever calls
// run() keeps its state on its own thread.
class IoWorker {
public:
    IoWorker();
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
            runJob([&op] { op(); });
        } else {
            R result{};
            runJob([&] { result = op(); });
            return result;
        }
    }

    // A stop was asked. The job in flight is not interrupted, but if it has
    // not returned within limit of the first stop, onStall runs on the
    // caller's thread (once); and once the program is ending, it ends then,
    // leaving the job to the medium (see MediumWaits.h).
    void stopAsked(std::chrono::milliseconds limit, std::function<void()> onStall);
    // Whether a job has outlasted its stop: it is left to the medium.
    bool stalled() const { return m_stalled; }

private:
    void runJob(std::function<void()> job);
    // The caller's look at a job that outlasts its stop.
    void checkStall();
    void workerLoop();

    std::function<void()> m_job;
    std::exception_ptr m_error; // what the job threw, thrown again on the caller's thread
    std::atomic<int> m_state{0}; // see the .cpp
    std::chrono::nanoseconds m_typical{0}; // how long jobs have lately taken
    std::atomic<bool> m_waiting{false}; // the caller runs its event loop
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_sleeping = false; // the caller sleeps on m_wake (guarded by m_mutex)
    QEventLoop m_loop;
    std::optional<std::chrono::steady_clock::time_point> m_stallAt; // the first stop's limit
    std::function<void()> m_onStall;
    bool m_stalled = false;
    std::thread m_thread;
};

} // namespace rt
