#pragma once

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

// A network share for a test: a folder served by an sshd of the test's own on
// 127.0.0.1 and mounted with sshfs (type fuse.sshfs). pause() stops the server
// as a share whose server hangs; everything goes with the object.
class SshShare {
public:
    SshShare()
    {
        const QString d = m_dir.path();
        QDir().mkpath(d + QStringLiteral("/served"));
        QDir().mkpath(d + QStringLiteral("/m"));
        QDir().mkpath(QStringLiteral("/run/sshd")); // sshd's privilege separation folder
        const int port = 20000 + int(getpid() % 20000);
        QFile config(d + QStringLiteral("/sshd_config"));
        if (geteuid() != 0 || !run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", d + "/key"})
            || !run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", d + "/hostkey"})
            || !QFile::copy(d + "/key.pub", d + "/authorized_keys") || !config.open(QIODevice::WriteOnly)) {
            fail(QStringLiteral("needs root and ssh-keygen (openssh-client)"));
            return;
        }
        config.write(QStringLiteral("ListenAddress 127.0.0.1\nPort %1\nHostKey %2/hostkey\nAuthorizedKeysFile %2/authorized_keys\n"
                                    "PidFile none\nStrictModes no\nUsePAM no\nPermitRootLogin yes\nSubsystem sftp internal-sftp\n")
                         .arg(port).arg(d).toUtf8());
        config.close();
        start(m_sshd, QStringLiteral("/usr/sbin/sshd"), {"-D", "-e", "-f", config.fileName()});
        QThread::msleep(300);
        start(m_sshfs, QStringLiteral("sshfs"),
              {"-f", QStringLiteral("root@127.0.0.1:%1/served").arg(d), path(), "-p", QString::number(port), "-o",
               "IdentityFile=" + d + "/key,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,"
               "dir_cache=no,attr_timeout=0,entry_timeout=0" /* every look reaches the server */});
        struct stat folder {}, mounted {};
        ::stat(QFile::encodeName(d).constData(), &folder);
        const QDeadlineTimer deadline(15000);
        while (!m_mounted && !deadline.hasExpired() && m_sshfs.state() == QProcess::Running) {
            m_mounted = ::stat(QFile::encodeName(path()).constData(), &mounted) == 0 && mounted.st_dev != folder.st_dev;
            QThread::msleep(20);
        }
        if (!m_mounted)
            fail(QStringLiteral("sshfs did not mount (openssh-server, sshfs): ") + m_sshd.readAll() + m_sshfs.readAll());
    }
    ~SshShare()
    {
        resume();
        if (m_mounted)
            QProcess::execute(QStringLiteral("fusermount3"), {"-u", "-z", path()});
        for (QProcess *p : {&m_sshfs, &m_sshd}) {
            p->terminate();
            if (!p->waitForFinished(5000))
                p->kill();
            p->waitForFinished(5000);
        }
    }

    bool mounted() const { return m_mounted; }
    QString whyNot() const { return m_whyNot; }
    QString path() const { return m_dir.path() + QStringLiteral("/m"); }
    QString served() const { return m_dir.path() + QStringLiteral("/served"); }
    // The server stops answering (its processes stopped), or answers again.
    void pause() { signalServer(SIGSTOP); }
    void resume() { signalServer(SIGCONT), signalClient(SIGCONT); }
    // The share's own client (sshfs) stops answering, or answers again.
    void pauseClient() { signalClient(SIGSTOP); }
    // The share goes away as when its connection drops.
    void drop() { ::kill(pid_t(m_sshfs.processId()), SIGKILL); }

private:
    void signalClient(int sig)
    {
        if (m_sshfs.state() == QProcess::Running)
            ::kill(pid_t(m_sshfs.processId()), sig);
    }
    void fail(const QString &why) { m_whyNot = why; }
    static bool run(const QStringList &command) { return QProcess::execute(command[0], command.mid(1)) == 0; }
    void start(QProcess &p, const QString &program, const QStringList &args)
    {
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        p.start(program, args);
        p.waitForStarted(5000);
    }
    // The session processes the listening sshd started, and theirs (found by parent).
    void signalServer(int sig)
    {
        QList<qint64> server{m_sshd.processId()};
        for (int depth = 0; depth < 3; ++depth)
            for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
                if (stat.open(QIODevice::ReadOnly) && !server.contains(pid.toLongLong())
                    && server.contains(QString::fromLatin1(stat.readAll()).section(u')', -1).section(u' ', 2, 2).toLongLong()))
                    server.append(pid.toLongLong());
            }
        for (qint64 pid : server.mid(1))
            ::kill(pid_t(pid), sig);
    }

    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/duplon-share-XXXXXX")};
    QProcess m_sshd, m_sshfs;
    QString m_whyNot;
    bool m_mounted = false;
};
