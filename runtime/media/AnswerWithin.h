#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace rt {

// A network share whose server has stopped answering holds every call on it
// (stat, opendir, statvfs) for as long as the server is silent, and no signal
// ends the wait. Such calls run here on a thread of their own that is left
// behind if no answer comes in time: the caller gets nothing and goes on,
// while the abandoned call returns whenever the share does, into nothing.
//
// Events: the window's events are handled while waiting (as the copy's own
// calls do on the I/O worker); Quietly: a short look that blocks the caller.
enum class Waiting { Events, Quietly };

// How long a share may keep the window waiting before it is "not ready".
constexpr std::chrono::milliseconds kShareAnswerLimit{10000};

template <typename F>
auto answerWithin(std::chrono::milliseconds limit, F op, Waiting waiting) -> std::optional<decltype(op())>
{
    using R = decltype(op());
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<R> result;
        std::exception_ptr error;
        bool finished = false;
    };
    const auto state = std::make_shared<State>();
    std::thread([state, op]() mutable {
        std::optional<R> result;
        std::exception_ptr error;
        try {
            result.emplace(op());
        } catch (...) {
            error = std::current_exception();
        }
        const std::lock_guard lock(state->mutex);
        state->result = std::move(result);
        state->error = error;
        state->finished = true;
        state->done.notify_all();
    }).detach();

    const QDeadlineTimer deadline(limit);
    std::unique_lock lock(state->mutex);
    while (!state->finished && !deadline.hasExpired()) {
        if (waiting == Waiting::Events) {
            lock.unlock();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            lock.lock();
            state->done.wait_for(lock, std::chrono::milliseconds(5));
        } else {
            state->done.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(1, deadline.remainingTime())));
        }
    }
    if (!state->finished)
        return std::nullopt;
    if (state->error)
        std::rethrow_exception(state->error);
    return std::move(state->result);
}

} // namespace rt
