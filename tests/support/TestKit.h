#pragma once

// What many test files need, written once.

#include "runtime/files/Destination.h"
#include "runtime/files/DirectReads.h"
#include "runtime/text/RtError.h"
#include "runtime/files/Transfer.h"

#include <QFile>
#include <QString>

#include <unistd.h>

namespace testkit {

// Root may do what a permission test needs refused.
inline bool isRoot() { return geteuid() == 0; }

inline QByteArray hostBytes(const QString &path) { return QFile::encodeName(path); }

// The operating system's reason as the program's messages give it.
inline QString reason(int osError) { return rt::reasonFromErrno(osError); }

// The start of the message of a copy whose writing failed, up to its reason.
inline QString notWritten(const QString &drivePath = QStringLiteral("D:\\out.bin"))
{
    return QStringLiteral("The destination file %1 could not be written.\r\n").arg(drivePath);
}

// Puts back every switch a test may have turned: the fault hooks and the
// destination's way of writing. Call it from cleanup().
inline void resetTestSwitches()
{
    rt::setReadFaultHook(nullptr);
    rt::setWriteFaultHook(nullptr);
    rt::setReadableHook(nullptr);
    rt::setDirectAccessRefused(false);
    rt::Destination::setUnnamedFilesAllowed(true);
    rt::Destination::setFailuresAfterNaming({});
}

} // namespace testkit
