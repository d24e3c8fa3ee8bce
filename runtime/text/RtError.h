#pragma once

#include <QString>
#include <stdexcept>

namespace rt {

// The run-time error numbers the program raises. The numbers are those the
// handlers test for and are never reused for another meaning.
enum ErrorNumber : int {
    ErrNone = 0,
    ErrFileNotFound = 53,
    ErrDiskFull = 61,
    ErrTooManyFiles = 67,
    ErrDeviceUnavailable = 68,
    ErrPathFileAccess = 75,
    ErrPathNotFound = 76,
};

// A numbered run-time error: the number the handlers test, and the operating
// system's own reason for showing to the user.
class RtError : public std::runtime_error {
public:
    RtError(int number, QString reason, int osError = 0);

    int number() const { return m_number; }
    const QString &reason() const { return m_reason; }
    // The errno it came from, 0 when it has none.
    int osError() const { return m_osError; }

private:
    int m_number;
    QString m_reason;
    int m_osError;
};

// How an errno turns into a run-time error number. Folder operations report a
// missing name as "path not found", file operations as "file not found".
enum class NameKind { File, Folder };

int errorNumberFromErrno(int osError, NameKind kind = NameKind::File);
QString reasonFromErrno(int osError);
RtError errorFromErrno(int osError, NameKind kind = NameKind::File);

} // namespace rt
