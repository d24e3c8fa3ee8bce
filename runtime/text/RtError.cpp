#include "runtime/text/RtError.h"

#include <cerrno>
#include <cstring>

namespace rt {

RtError::RtError(int number, QString reason, int osError)
    : std::runtime_error(reason.toStdString()), m_number(number), m_reason(std::move(reason)), m_osError(osError)
{
}

int errorNumberFromErrno(int osError, NameKind kind)
{
    switch (osError) {
    case 0:
        return ErrNone;
    case ENOENT:
    case ENOTDIR:
        return kind == NameKind::File ? ErrFileNotFound : ErrPathNotFound;
    case ENOSPC:
    case EDQUOT:
        return ErrDiskFull;
    case EMFILE:
    case ENFILE:
        return ErrTooManyFiles;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
    case EMEDIUMTYPE:
        return ErrDeviceUnavailable;
    default:
        // Everything else the platform can refuse (permissions, read-only media,
        // damaged sectors, busy or non-empty folders) is a path or file access error.
        return ErrPathFileAccess;
    }
}

QString reasonFromErrno(int osError)
{
    return QString::fromLocal8Bit(std::strerror(osError));
}

RtError errorFromErrno(int osError, NameKind kind)
{
    return RtError(errorNumberFromErrno(osError, kind), reasonFromErrno(osError), osError);
}

} // namespace rt
