#pragma once

#include "runtime/media/Drives.h"
#include "runtime/media/MediumWaits.h"
#include "runtime/text/RtError.h"

#include <QString>

#include <exception>
#include <memory>
#include <optional>
#include <type_traits>

namespace rt {

// Runs op, which touches a medium (named as runOffWindow takes it), off the
// window's thread and returns its result, or nothing when the medium gives no
// answer within the limit; throws what op threw. op must take what it needs
// by value: it may outlive the caller.
template <typename F>
auto answerOf(const QString &medium, F op, std::chrono::milliseconds limit)
    -> std::optional<std::conditional_t<std::is_void_v<decltype(op())>, bool, decltype(op())>>
{
    using R = decltype(op());
    using Value = std::conditional_t<std::is_void_v<R>, bool, R>;
    struct Outcome {
        std::optional<Value> value;
        std::exception_ptr error;
    };
    const auto outcome = std::make_shared<Outcome>();
    const bool answered = runOffWindow(medium, limit, [outcome, op]() mutable {
        try {
            if constexpr (std::is_void_v<R>) {
                op();
                outcome->value.emplace(true);
            } else {
                outcome->value.emplace(op());
            }
        } catch (...) {
            outcome->error = std::current_exception();
        }
    });
    if (!answered)
        return std::nullopt;
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    return std::move(outcome->value);
}

// The medium of a drive-letter path, as runOffWindow names it: by its folder,
// as the mount table's looks name it, else by its letter.
inline QString mediumOf(const QString &drivePath)
{
    const QChar letter = drivePath.isEmpty() ? QChar() : drivePath.at(0).toLower();
    const QString root = Drives::instance().root(letter);
    return root.isEmpty() ? QString(letter) + u':' : root;
}

// As answerOf, on the medium of a drive-letter path; RtError 68, "not ready",
// when it gives no answer within the limit.
template <typename F>
auto onMedium(const QString &drivePath, F op, std::chrono::milliseconds limit = kMediumAnswerLimit) -> decltype(op())
{
    const QChar letter = drivePath.isEmpty() ? QChar() : drivePath.at(0).toLower();
    auto answer = answerOf(mediumOf(drivePath), std::move(op), limit);
    if (!answer)
        throw RtError(ErrDeviceUnavailable, QStringLiteral("Drive %1: gave no answer within %2 seconds")
                                                .arg(letter)
                                                .arg(limit.count() / 1000.0));
    if constexpr (!std::is_void_v<decltype(op())>)
        return std::move(*answer);
}

} // namespace rt
