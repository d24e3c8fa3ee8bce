#pragma once

#include "support/DiskMedium.h"
#include "support/SkipUnlessMounted.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

// A counterfeit stick: the suite's FUSE medium fakefs (tests/support/fakefs),
// which claims one size and stores less, made a disk by a loop device with
// direct I/O (so the page cache of the loop's own file is never between), and
// a real file system on it, as the seller formats it for its claimed size.
// remount() unmounts and detaches the disk and attaches and mounts it again:
// what the volume then shows is what the medium held, no cache of the
// kernel's answering for it. Gone with the object.
//
//   CounterfeitDisk disk({.kind = CounterfeitDisk::Kind::Ext4, .mode = "limbo"});
//   SKIP_UNLESS_MOUNTED(disk);
class CounterfeitDisk {
public:
    enum class Kind { Ext4, Xfs };
    struct Options {
        Kind kind = Kind::Ext4;
        QString mode = QStringLiteral("limbo"); // or "wrap"
        qint64 claims = 512LL << 20;
        qint64 stores = 160LL << 20;
        qint64 cache = 0;  // the last bytes written that its own cache answers
        qint64 flip = -1;  // a stored byte of the disk that reads with a bit flipped
    };

    explicit CounterfeitDisk(const Options &options) : m_options(options)
    {
        m_whyNot = setUp();
        m_mounted = m_whyNot.isEmpty();
    }
    ~CounterfeitDisk()
    {
        detach();
        if (m_process.state() != QProcess::NotRunning) {
            QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), medium()});
            if (!m_process.waitForFinished(10000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
    }
    CounterfeitDisk(const CounterfeitDisk &) = delete;
    CounterfeitDisk &operator=(const CounterfeitDisk &) = delete;

    bool mounted() const { return m_mounted; }
    QString whyNot() const { return m_whyNot; }
    // The mounted volume.
    QString path() const { return m_dir.filePath(QStringLiteral("v")); }
    // Unmounted and mounted again from the medium; why not, or "" (a wrapped
    // volume may no longer mount).
    QString remount()
    {
        detach();
        m_mounted = false;
        const QString why = attach();
        m_mounted = why.isEmpty();
        return why;
    }
    // From now on the stored byte of the disk at offset reads with a bit flipped.
    bool flipAt(qint64 offset) const
    {
        QFile control(medium() + QStringLiteral("/.fakefs-flip"));
        return control.open(QIODevice::WriteOnly) && control.write(QByteArray::number(offset)) > 0;
    }
    // Bytes written at or past the size the medium really stores.
    qint64 writtenBeyond() const
    {
        QFile stats(medium() + QStringLiteral("/.fakefs-stats"));
        if (!stats.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : stats.readAll().split('\n'))
            if (line.startsWith("beyond "))
                return line.mid(7).toLongLong();
        return -1;
    }

private:
    QString medium() const { return m_dir.filePath(QStringLiteral("m")); }
    QString setUp()
    {
#ifndef DUPLON_FAKEFS
        return QStringLiteral("built without libfuse3 (libfuse3-dev), so there is no counterfeit medium");
#else
        if (geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0)
            return QStringLiteral("a disk on a FUSE medium needs root, /dev/loop-control and /dev/fuse");
        if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("m")) || !QDir(m_dir.path()).mkdir(QStringLiteral("v")))
            return QStringLiteral("no temporary folder to mount on");
        QStringList args{m_dir.filePath(QStringLiteral("store")), medium(), QStringLiteral("-f"), QStringLiteral("-s"),
                         QStringLiteral("--claims"), QString::number(m_options.claims), QStringLiteral("--stores"),
                         QString::number(m_options.stores), QStringLiteral("--mode"), m_options.mode};
        if (m_options.cache > 0)
            args << QStringLiteral("--cache") << QString::number(m_options.cache);
        if (m_options.flip >= 0)
            args << QStringLiteral("--flip") << QString::number(m_options.flip);
        struct stat before {}, now {};
        ::stat(QFile::encodeName(medium()).constData(), &before);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start(QStringLiteral(DUPLON_FAKEFS), args);
        const QDeadlineTimer deadline(10000);
        bool up = false;
        while (!up && m_process.waitForStarted(10000) && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
            up = ::stat(QFile::encodeName(medium()).constData(), &now) == 0 && now.st_dev != before.st_dev;
            if (!up)
                QThread::msleep(10);
        }
        if (!up)
            return QStringLiteral("fakefs could not be mounted: %1").arg(QString::fromLocal8Bit(m_process.readAll()).trimmed());
        if (QString why = run({"losetup", "-f", "--show", "--direct-io=on", disk()}); !why.isEmpty())
            return why;
        m_loop = m_output.trimmed();
        // The file system's own tables where the medium stores them, as a
        // counterfeit stick's seller formats it: ext4's journal near the
        // start, xfs's log in its first group (its second group's head, at
        // half the disk, must be stored too).
        const QString why = m_options.kind == Kind::Ext4
            ? run({"mkfs.ext4", "-q", "-F", "-b", "4096", "-J", "location=8M", m_loop})
            : run({"mkfs.xfs", "-q", "-f", "-d", "agcount=2", "-l", "agnum=0", m_loop});
        if (!why.isEmpty())
            return why;
        return run({"mount", m_loop, path()});
#endif
    }
    QString disk() const { return medium() + QStringLiteral("/disk.img"); }
    QString attach()
    {
        if (QString why = run({"losetup", "-f", "--show", "--direct-io=on", disk()}); !why.isEmpty())
            return why;
        m_loop = m_output.trimmed();
        return run({"mount", m_loop, path()});
    }
    void detach()
    {
        if (m_mounted && QProcess::execute(QStringLiteral("umount"), {path()}) != 0)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path()});
        m_mounted = false;
        if (!m_loop.isEmpty())
            QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), m_loop});
        m_loop.clear();
    }
    QString run(const QStringList &command) { return DiskMedium::runTool(command, m_output); }

    Options m_options;
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/counterfeit-XXXXXX")};
    QProcess m_process;
    QString m_loop;
    QString m_output;
    QString m_whyNot;
    bool m_mounted = false;
};
