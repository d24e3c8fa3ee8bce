#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// A slow USB stick for tests: a small ext4 file system on a loop device over a
// file in /tmp, mounted on a temporary folder, whose writes the kernel lets
// through at a fixed rate (cgroup v1 blkio throttle at the root of the
// hierarchy, which every writer, the kernel's flusher threads included, is
// under). It tells how many bytes the device has taken since it was mounted.
// Needs root, losetup, mkfs.ext4 and the blkio controller; check ready() and
// skip with whyNot() otherwise. Everything is undone when the object goes.
class SlowStick {
public:
    static constexpr const char *kThrottle = "/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device";

    explicit SlowStick(qint64 bytesPerSecond, qint64 size = 96 * 1048576) { setUp(bytesPerSecond, size); }

    ~SlowStick()
    {
        if (m_throttled)
            writeRule(0);
        if (m_mounted && ::umount2(QFile::encodeName(m_mountPoint.path()).constData(), 0) != 0)
            ::umount2(QFile::encodeName(m_mountPoint.path()).constData(), MNT_DETACH);
        if (!m_device.isEmpty())
            run(m_losetup, {QStringLiteral("--detach"), QString::fromLocal8Bit(m_device)});
    }
    SlowStick(const SlowStick &) = delete;
    SlowStick &operator=(const SlowStick &) = delete;

    bool ready() const { return m_why.isEmpty(); }
    QString whyNot() const { return QStringLiteral("no slow medium here: ") + m_why; }
    // The mounted file system's folder.
    QString folder() const { return m_mountPoint.path(); }
    // The bytes the device has been given to write since it was set up.
    qint64 bytesTaken() const { return sectorsWritten() * 512 - m_base; }

private:
    void setUp(qint64 bytesPerSecond, qint64 size)
    {
        if (geteuid() != 0)
            return fail(QStringLiteral("a loop device can only be set up as root"));
        if (access(kThrottle, W_OK) != 0)
            return fail(QStringLiteral("no cgroup v1 blkio write throttle at %1 (%2)")
                            .arg(QString::fromLatin1(kThrottle), QString::fromLocal8Bit(std::strerror(errno))));
        m_losetup = tool(QStringLiteral("losetup"));
        const QString mkfs = tool(QStringLiteral("mkfs.ext4"));
        if (!ready())
            return;

        m_image.setFileTemplate(QStringLiteral("/tmp/duplon-stick-XXXXXX.img"));
        if (!m_image.open() || !m_image.resize(size))
            return fail(QStringLiteral("cannot make the image file: %1").arg(m_image.errorString()));
        m_image.close();
        // No journal and no lazy initialisation: what the device takes is the
        // files' data and little else, and nothing is written behind the test's back.
        if (!run(mkfs, {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-m"), QStringLiteral("0"),
                                               QStringLiteral("-O"), QStringLiteral("^has_journal"), QStringLiteral("-E"),
                                               QStringLiteral("lazy_itable_init=0,nodiscard"), m_image.fileName()}))
            return;
        QByteArray device;
        if (!run(m_losetup, {QStringLiteral("--find"), QStringLiteral("--show"), m_image.fileName()}, &device))
            return;
        m_device = device.trimmed();
        struct stat st {};
        if (stat(m_device.constData(), &st) != 0 || !S_ISBLK(st.st_mode))
            return fail(QStringLiteral("losetup gave no block device: %1").arg(QString::fromLocal8Bit(m_device)));
        m_rule = QByteArray::number(major(st.st_rdev)) + ':' + QByteArray::number(minor(st.st_rdev));
        m_stat = "/sys/block/" + m_device.mid(m_device.lastIndexOf('/') + 1) + "/stat";

        if (!m_mountPoint.isValid())
            return fail(QStringLiteral("cannot make a mount point"));
        if (::mount(m_device.constData(), QFile::encodeName(m_mountPoint.path()).constData(), "ext4", MS_NOSUID | MS_NODEV,
                    nullptr)
            != 0)
            return fail(QStringLiteral("cannot mount %1: %2")
                            .arg(QString::fromLocal8Bit(m_device), QString::fromLocal8Bit(std::strerror(errno))));
        m_mounted = true;
        // What mounting wrote is not counted.
        const int root = ::open(QFile::encodeName(m_mountPoint.path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = root >= 0 && ::syncfs(root) == 0;
        if (root >= 0)
            ::close(root);
        if (!synced)
            return fail(QStringLiteral("cannot flush the new file system: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (!writeRule(bytesPerSecond))
            return fail(QStringLiteral("the kernel refused the write throttle: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        m_throttled = true;
        m_base = sectorsWritten() * 512;
        if (m_base < 0)
            return fail(QStringLiteral("cannot read %1").arg(QString::fromLocal8Bit(m_stat)));
    }

    void fail(const QString &why)
    {
        if (m_why.isEmpty())
            m_why = why;
    }

    QString tool(const QString &name)
    {
        QString path = QStandardPaths::findExecutable(name);
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
        if (path.isEmpty())
            fail(QStringLiteral("%1 is not installed").arg(name));
        return path;
    }

    bool run(const QString &program, const QStringList &args, QByteArray *out = nullptr)
    {
        QProcess p;
        p.start(program, args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            fail(QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(p.readAllStandardError()).trimmed()
                                                                  + p.errorString()));
            return false;
        }
        if (out)
            *out = p.readAllStandardOutput();
        return true;
    }

    bool writeRule(qint64 bytesPerSecond) const
    {
        // A rate of 0 removes the rule.
        QFile rule(QString::fromLatin1(kThrottle));
        if (!rule.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        const QByteArray line = m_rule + ' ' + QByteArray::number(bytesPerSecond) + '\n';
        return rule.write(line) == line.size();
    }

    // Field 7 of the block device's statistics: sectors written, counted as
    // the device completes them.
    qint64 sectorsWritten() const
    {
        QFile stat(QString::fromLatin1(m_stat));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = stat.readAll().simplified().split(' ');
        return fields.size() > 6 ? fields[6].toLongLong() : -1;
    }

    QString m_why;
    QString m_losetup;
    QTemporaryFile m_image;
    QTemporaryDir m_mountPoint;
    QByteArray m_device; // /dev/loopN
    QByteArray m_rule;   // "major:minor"
    QByteArray m_stat;
    bool m_mounted = false;
    bool m_throttled = false;
    qint64 m_base = 0;
};
