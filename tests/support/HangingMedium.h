#pragma once

#include "support/SkipUnlessMounted.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>

// One of the suite's FUSE media (badfs, fatfs) over a folder, made to hang in
// the calls named (see HangSwitch.h) when hang(true) is called; it answers
// again with hang(false), and goes with the object.
class HangingMedium {
public:
    HangingMedium(const QString &program, const QString &folder, const QString &calls)
    {
        if (program.isEmpty() || ::access("/dev/fuse", R_OK | W_OK) != 0 || !QDir().mkpath(path())) {
            m_whyNot = QStringLiteral("needs the suite's FUSE media (libfuse3-dev) and /dev/fuse");
            return;
        }
        struct stat before {}, now {};
        ::stat(QFile::encodeName(path()).constData(), &before);
        m_process.setProcessChannelMode(QProcess::ForwardedChannels);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start(program, {folder, path(), QStringLiteral("--hang"), calls, QStringLiteral("-f")});
        m_process.waitForStarted(10000);
        const QDeadlineTimer deadline(10000);
        while (!m_mounted && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            m_mounted = ::stat(QFile::encodeName(path()).constData(), &now) == 0 && now.st_dev != before.st_dev;
            QThread::msleep(10);
        }
        if (!m_mounted)
            m_whyNot = QStringLiteral("%1 did not mount (is mounting allowed here?)").arg(program);
    }
    ~HangingMedium()
    {
        hang(false);
        if (m_mounted)
            QProcess::execute(QStringLiteral("fusermount3"), {"-u", "-z", path()});
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    bool mounted() const { return m_mounted; }
    QString whyNot() const { return m_whyNot; }
    QString path() const { return m_dir.path() + QStringLiteral("/m"); }
    void hang(bool on)
    {
        if (m_process.state() == QProcess::Running)
            ::kill(pid_t(m_process.processId()), on ? SIGUSR1 : SIGUSR2);
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_whyNot;
    bool m_mounted = false;
};
