#pragma once

#include "support/SkipUnlessMounted.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

// A medium that loses power: the suite's FUSE file system cutfs
// (tests/support/cutfs) mounted over a backing folder, which holds only what
// was flushed. After a cut every call fails with EIO; remount() puts a fresh
// medium over the same folder, showing what survived, as the disk powered
// up again. Unmounted (cleanly: all is written) when the object goes.
//
//   CutMedium medium(folder, {.holdNames = true, .cutAfter = 12});
//   SKIP_UNLESS_MOUNTED(medium);
class CutMedium {
public:
    struct Options {
        bool holdNames = false; // folder changes wait for a folder flush too
        qint64 cutAfter = -1;   // the cut, right after this counted call (1, 2 …)
        QString cutAt = {};     // or after a call named so: "rename:out.bin.part.map:2+1" (see cutfs.cpp)
        int keepOneIn = 0;      // about one unflushed page in this many survives the cut
        quint64 seed = 1;       // which ones
    };
    // One counted call of the medium's log: "create", "write", "flush", "dirsync", "rename" …
    struct Call {
        qint64 number;
        QByteArray call;
        QByteArray name;
    };

    CutMedium(const QString &backing, const Options &options) : m_backing(backing) { mount(options); }
    ~CutMedium() { unmount(); }
    CutMedium(const CutMedium &) = delete;
    CutMedium &operator=(const CutMedium &) = delete;

    bool mounted() const { return m_mounted; }
    QString whyNot() const { return m_whyNot; }
    QString path() const { return m_dir.path() + QStringLiteral("/m"); }

    // The calls counted so far, and after which the cut came (-1: none yet).
    QList<Call> calls(qint64 *cutAfter = nullptr) const
    {
        QFile log(path() + QStringLiteral("/.cutfs-log"));
        QList<Call> out;
        if (cutAfter)
            *cutAfter = -1;
        if (!log.open(QIODevice::ReadOnly))
            return out;
        for (const QByteArray &line : log.readAll().split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 3)
                out.append({f[0].toLongLong(), f[1], f[2]});
            else if (f.size() == 2 && f[0] == "cut" && cutAfter)
                *cutAfter = f[1].toLongLong();
        }
        return out;
    }
    // Cuts the power now (at the medium's next call, or as it is unmounted).
    void cut()
    {
        if (m_process.state() == QProcess::Running)
            ::kill(pid_t(m_process.processId()), SIGUSR1);
    }
    // The power back: the medium, cut or not, is unmounted (a cut one loses
    // what it held) and mounted again over the same folder, with new options.
    bool remount() { return remount(Options()); }
    bool remount(const Options &options)
    {
        unmount();
        return mount(options);
    }

private:
    bool mount(const Options &options)
    {
#ifndef DUPLON_CUTFS
        Q_UNUSED(options);
        m_whyNot = QStringLiteral("built without libfuse3 (libfuse3-dev), so there is no medium that loses power to mount");
        return false;
#else
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            m_whyNot = QStringLiteral("/dev/fuse is missing or not usable here, so no FUSE file system can be mounted");
            return false;
        }
        if (!m_dir.isValid() || !QDir().mkpath(path())) {
            m_whyNot = QStringLiteral("no temporary folder to mount on");
            return false;
        }
        QStringList args{m_backing, path(), QStringLiteral("-f"), QStringLiteral("-s")};
        if (options.holdNames)
            args << QStringLiteral("--hold-names");
        if (options.cutAfter > 0 || !options.cutAt.isEmpty())
            args << QStringLiteral("--cut-after") << (options.cutAt.isEmpty() ? QString::number(options.cutAfter) : options.cutAt);
        if (options.keepOneIn > 0)
            args << QStringLiteral("--keep-one-in") << QString::number(options.keepOneIn) << QStringLiteral("--seed")
                 << QString::number(options.seed);
        struct stat before {}, now {};
        ::stat(QFile::encodeName(path()).constData(), &before);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // Should the test die, the medium goes with it rather than leave a mount nobody answers.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start(QStringLiteral(DUPLON_CUTFS), args);
        const QDeadlineTimer deadline(10000);
        while (m_process.waitForStarted(10000) && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (::stat(QFile::encodeName(path()).constData(), &now) == 0 && now.st_dev != before.st_dev)
                return m_mounted = true;
            QThread::msleep(10);
        }
        m_process.waitForFinished(1000);
        m_whyNot = QStringLiteral("cutfs could not be mounted (is mounting allowed here?): %1")
                       .arg(QString::fromLocal8Bit(m_process.readAll()).trimmed());
        unmount();
        return false;
#endif
    }
    void unmount()
    {
        if (m_mounted)
            QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), path()});
        m_mounted = false;
        if (m_process.state() == QProcess::NotRunning)
            return;
        // Unmounting ends its loop: it writes what it holds (or, cut, drops it) and exits.
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString m_backing;
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/cutfs-XXXXXX")};
    bool m_mounted = false;
    QString m_whyNot;
    QProcess m_process;
};
