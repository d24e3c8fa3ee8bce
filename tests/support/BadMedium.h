#pragma once

#include "support/SkipUnlessMounted.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <utility>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

// A damaged medium: the suite's FUSE file system (tests/support/badfs) mounted
// over a temporary folder, mirroring a source folder read-only, with reads of
// chosen byte ranges failing with EIO (or held for a while). Every read reaches
// it at the size asked. Unmounted when the object goes.
//
//   BadMedium medium(folder, {.bad = {{0, 4096}}});
//   SKIP_UNLESS_MOUNTED(medium);
class BadMedium {
public:
    struct Range {
        qint64 begin; // half-open, in bytes, within any file of the folder
        qint64 end;
        int failures = 0; // marginal ranges only
    };
    struct Options {
        QList<Range> bad = {};
        QList<Range> slow = {}; // reads touching these are held slowDelayMs first
        int badDelayMs = 0;     // each failing read takes this long
        int slowDelayMs = 0;
        int openDelayMs = 0;     // every open of a file is held this long
        int listDelayMs = 0;     // every listing of a folder is held this long
        bool shortReads = false; // a read reaching a bad block returns the whole blocks before it
        bool shortReadsExact = false; // ... every byte before the bad one, ending inside a sector
        QList<Range> marginal = {};   // each block fails its first `failures` reads, then reads
        QList<Range> fromAbove = {}; // read only when the file's previous read started above
        qint64 secured = -1; // distinct blocks delivered after which failing reads take no delay
        qint64 blksize = 4096;     // the st_blksize it reports
        bool refuseDirect = false; // an open for direct access fails with EINVAL
        QString badList = {}; // a file of more bad ranges, "A-B" a line, in order and apart
    };
    // What the medium has been asked so far.
    struct Stats {
        qint64 failedReads = 0;
        qint64 reads = 0;
        qint64 listings = 0; // of folders
        qint64 refusedDirect = 0; // opens for direct access refused
        QHash<qint64, int> blockReads; // 4096-byte block -> times read, of the file asked about
        qint64 securedFailed = -1, securedAtNs = -1; // with Options::secured: failed reads, and CLOCK_MONOTONIC ns
    };
    static constexpr qint64 kBlock = 4096;

    BadMedium(const QString &sourceFolder, const Options &options)
    {
#ifndef DUPLON_BADFS
        Q_UNUSED(sourceFolder);
        Q_UNUSED(options);
        m_whyNot = QStringLiteral("built without libfuse3 (libfuse3-dev), so there is no damaged medium to mount");
#else
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            m_whyNot = QStringLiteral("/dev/fuse is missing or not usable here, so no FUSE file system can be mounted");
            return;
        }
        if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("m"))) {
            m_whyNot = QStringLiteral("no temporary folder to mount on");
            return;
        }
        QStringList args{sourceFolder, path()};
        for (const Range &r : options.bad)
            args << QStringLiteral("--bad") << QStringLiteral("%1-%2").arg(r.begin).arg(r.end);
        for (const Range &r : options.slow)
            args << QStringLiteral("--slow") << QStringLiteral("%1-%2").arg(r.begin).arg(r.end);
        for (const Range &r : options.marginal)
            args << QStringLiteral("--marginal") << QStringLiteral("%1-%2:%3").arg(r.begin).arg(r.end).arg(r.failures);
        for (const Range &r : options.fromAbove)
            args << QStringLiteral("--from-above") << QStringLiteral("%1-%2").arg(r.begin).arg(r.end);
        args << QStringLiteral("--bad-delay") << QString::number(options.badDelayMs) << QStringLiteral("--slow-delay")
             << QString::number(options.slowDelayMs) << QStringLiteral("--open-delay")
             << QString::number(options.openDelayMs) << QStringLiteral("--list-delay")
             << QString::number(options.listDelayMs);
        if (options.secured >= 0)
            args << QStringLiteral("--secured") << QString::number(options.secured);
        if (options.shortReads)
            args << QStringLiteral("--short-reads");
        if (options.shortReadsExact)
            args << QStringLiteral("--short-reads-exact");
        if (options.refuseDirect)
            args << QStringLiteral("--refuse-direct");
        args << QStringLiteral("--blksize") << QString::number(options.blksize);
        if (!options.badList.isEmpty())
            args << QStringLiteral("--bad-list") << options.badList;
        args << QStringLiteral("-f") << QStringLiteral("-s");

        struct stat before {};
        ::stat(QFile::encodeName(path()).constData(), &before);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // Should the test die, the file system goes with it instead of
        // leaving a mount behind that nobody answers.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start(QStringLiteral(DUPLON_BADFS), args);
        if (!m_process.waitForStarted(10000)) {
            m_whyNot = QStringLiteral("badfs did not start: %1").arg(m_process.errorString());
            return;
        }
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            struct stat now {};
            if (::stat(QFile::encodeName(path()).constData(), &now) == 0 && now.st_dev != before.st_dev) {
                m_mounted = true;
                return;
            }
            QThread::msleep(10);
        }
        m_process.waitForFinished(1000);
        m_whyNot = QStringLiteral("the FUSE file system could not be mounted (is mounting allowed here?): %1")
                       .arg(QString::fromLocal8Bit(m_process.readAll()).trimmed());
        stop();
#endif
    }
    ~BadMedium() { stop(); }
    BadMedium(const BadMedium &) = delete;
    BadMedium &operator=(const BadMedium &) = delete;

    bool mounted() const { return m_mounted; }
    QString whyNot() const { return m_whyNot; }
    // Where the mirror of the source folder is.
    QString path() const { return m_dir.path() + QStringLiteral("/m"); }

    // The medium goes as a pulled stick does: the file system dies, every read
    // of a file still open fails, and its folder is unmounted.
    void pull()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
        if (std::exchange(m_mounted, false))
            QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), QStringLiteral("-z"), path()});
    }

    // The counts so far; blockReads for the file at that name in the folder.
    Stats stats(const QString &fileName) const
    {
        Stats s;
        QByteArray text;
        const int fd = ::open(QFile::encodeName(path() + QStringLiteral("/.badfs-stats")).constData(), O_RDONLY);
        if (fd < 0)
            return s;
        char buf[65536];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
            text.append(buf, n);
        ::close(fd);
        const QByteArray wanted = '/' + QFile::encodeName(fileName);
        for (const QByteArray &line : text.split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() == 2 && f[0] == "failed")
                s.failedReads = f[1].toLongLong();
            else if (f.size() == 2 && f[0] == "reads")
                s.reads = f[1].toLongLong();
            else if (f.size() == 2 && f[0] == "listings")
                s.listings = f[1].toLongLong();
            else if (f.size() == 2 && f[0] == "refused")
                s.refusedDirect = f[1].toLongLong();
            else if (f.size() == 3 && f[0] == "secured")
                s.securedFailed = f[1].toLongLong(), s.securedAtNs = f[2].toLongLong();
            else if (f.size() >= 4 && f[0] == "block" && line.mid(f[0].size() + f[1].size() + f[2].size() + 3) == wanted)
                s.blockReads.insert(f[1].toLongLong(), f[2].toInt());
        }
        return s;
    }

private:
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        const QByteArray where = QFile::encodeName(path());
        if (m_mounted) {
            // Unmounting ends the file system's loop; it then exits by itself.
            if (QProcess::execute(QStringLiteral("fusermount3"), {QStringLiteral("-u"), path()}) != 0)
                QProcess::execute(QStringLiteral("umount"), {path()});
        }
        if (!m_process.waitForFinished(10000)) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(5000);
            if (m_mounted)
                QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path()});
        }
        m_mounted = false;
    }

    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/badfs-XXXXXX")};
    bool m_mounted = false;
    QString m_whyNot;
    QProcess m_process;
};
