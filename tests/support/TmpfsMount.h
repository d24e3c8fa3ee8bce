#pragma once

#include "runtime/text/RtError.h"
#include "support/SkipUnlessMounted.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cerrno>
#include <sys/mount.h>

// A small tmpfs (a full or read-only medium in tests), unmounted when the object goes.
class TmpfsMount {
public:
    TmpfsMount(const QString &where, const char *options)
        : m_where(QFile::encodeName(where))
    {
        m_mounted = ::mount("tmpfs", m_where.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
        m_error = m_mounted ? 0 : errno;
    }
    ~TmpfsMount()
    {
        if (m_mounted)
            ::umount2(m_where.constData(), MNT_DETACH);
    }
    TmpfsMount(const TmpfsMount &) = delete;
    TmpfsMount &operator=(const TmpfsMount &) = delete;
    bool mounted() const { return m_mounted; }
    int error() const { return m_error; }
    QString whyNot() const { return QStringLiteral("cannot mount a tmpfs here (%1)").arg(rt::reasonFromErrno(m_error)); }

private:
    QByteArray m_where;
    bool m_mounted = false;
    int m_error = 0;
};
