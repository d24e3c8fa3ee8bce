#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

// A real file system for a test on a loop device over a sparse image (exFAT
// through exfat-fuse, NTFS through ntfs-3g), or the suite's FAT-like FUSE
// medium (fatfs) over a folder; gone with the object. Skip on !mounted().
class DiskMedium {
public:
    enum class Kind { Ext4, Xfs, Btrfs, Exfat, Ntfs, NtfsWindowsNames, FatLike };

    DiskMedium(Kind kind, int sizeMiB, const QString &label) : m_kind(kind)
    {
        if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("m")))
            { fail(QStringLiteral("no temporary folder to mount on")); return; }
        if (kind == Kind::FatLike) {
            mountFatLike();
            return;
        }
        if (geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0)
            { fail(QStringLiteral("making a file system on a loop device needs root and /dev/loop-control")); return; }
        const QString image = m_dir.filePath(QStringLiteral("image"));
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(sizeMiB) << 20))
            { fail(QStringLiteral("cannot make the image: %1").arg(file.errorString())); return; }
        file.close();
        const char *const types[] = {"ext4", "xfs", "btrfs", "exfat", "ntfs", "ntfs"};
        const QString type = QLatin1String(types[int(kind)]);
        const QStringList mkfs = type == u"exfat" ? QStringList{"mkfs.exfat"}
            : type == u"ntfs"                     ? QStringList{"mkntfs", "-F", "-Q"}
                                                  : QStringList{"mkfs." + type, "-q", type == u"ext4" ? "-F" : "-f"};
        if (!run(mkfs + QStringList{"-L", label, image}) || !run({"losetup", "-f", "--show", image}))
            return;
        m_loop = m_output.trimmed();
        m_mounted = run(kind == Kind::Exfat ? QStringList{"mount.exfat-fuse", m_loop, path()}
                            : kind == Kind::Ntfs ? QStringList{"ntfs-3g", m_loop, path()}
                            : kind == Kind::NtfsWindowsNames
                            ? QStringList{"ntfs-3g", "-o", "windows_names", m_loop, path()}
                            : QStringList{"mount", "-t", type, m_loop, path()});
    }
    ~DiskMedium()
    {
        if (m_mounted && QProcess::execute(QStringLiteral("umount"), {path()}) != 0)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path()});
        if (!m_loop.isEmpty())
            QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), m_loop});
    }
    DiskMedium(const DiskMedium &) = delete;
    DiskMedium &operator=(const DiskMedium &) = delete;

    bool mounted() const { return m_mounted; }
    QString whyNot() const { return m_whyNot; }
    QString path() const { return m_dir.filePath(QStringLiteral("m")); }
    Kind kind() const { return m_kind; }
    bool windowsMedium() const { return m_kind != Kind::Ext4 && m_kind != Kind::Xfs && m_kind != Kind::Btrfs; }

private:
    void fail(const QString &why) { m_whyNot = why; }

    bool run(const QStringList &command)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(command[0], command.mid(1));
        const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        m_output = QString::fromLocal8Bit(p.readAll());
        if (!ok) // a tool missing included: scripts/install-deps.sh installs them
            fail(QStringLiteral("%1 failed: %2 %3").arg(command.join(u' '), p.errorString(), m_output.trimmed()));
        return ok;
    }

    void mountFatLike()
    {
#ifndef DUPLON_FATFS
        fail(QStringLiteral("built without libfuse3 (libfuse3-dev), so there is no FAT-like medium"));
#else
        if (::access("/dev/fuse", R_OK | W_OK) != 0)
            { fail(QStringLiteral("/dev/fuse is missing or not usable here")); return; }
        QDir(m_dir.path()).mkdir(QStringLiteral("backing"));
        struct stat before {};
        ::stat(QFile::encodeName(path()).constData(), &before);
        // fatfs goes into the background once it is mounted.
        if (!run({QStringLiteral(DUPLON_FATFS), m_dir.filePath(QStringLiteral("backing")), path()}))
            return;
        struct stat now {};
        m_mounted = ::stat(QFile::encodeName(path()).constData(), &now) == 0 && now.st_dev != before.st_dev;
        if (!m_mounted)
            fail(QStringLiteral("fatfs did not mount: ") + m_output);
#endif
    }

    Kind m_kind;
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/duplon-disk-XXXXXX")};
    QString m_loop;
    QString m_output;
    QString m_whyNot;
    bool m_mounted = false;
};
