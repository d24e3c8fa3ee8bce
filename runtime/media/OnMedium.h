#pragma once

#include "runtime/media/AnswerWithin.h"
#include "runtime/media/Drives.h"
#include "runtime/text/RtError.h"

namespace rt {

// Runs op, which touches the medium of a drive-letter path, where it cannot
// hold the window: on a network share with the answer limit (then RtError 68,
// "not ready"), elsewhere at once. op must take what it needs by value.
template <typename F>
auto onMedium(const QString &drivePath, F op) -> decltype(op())
{
    if (drivePath.isEmpty() || !Drives::instance().isNetwork(drivePath.at(0)))
        return op();
    auto answer = answerWithin(kShareAnswerLimit, op, Waiting::Events);
    if (!answer)
        throw RtError(ErrDeviceUnavailable, QStringLiteral("Drive %1: gave no answer within %2 seconds")
                                                .arg(drivePath.at(0).toLower())
                                                .arg(kShareAnswerLimit.count() / 1000));
    return std::move(*answer);
}

} // namespace rt
