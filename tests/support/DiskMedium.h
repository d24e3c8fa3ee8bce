#pragma once

#include "support/SkipUnlessMounted.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <unistd.h>

// A real file system for a test on a loop device over a sparse image (exFAT
// through exfat-fuse, NTFS through ntfs-3g), or the suite's FAT-like FUSE
// medium (fatfs) over a folder; gone with the object. SKIP_UNLESS_MOUNTED(medium) first.
class DiskMedium {
public:
    enum class Kind { Ext4, Xfs, Btrfs, Exfat, Ntfs, NtfsWindowsNames, FatLike };

    DiskMedium(Kind kind, int sizeMiB, const QString &label) : m_kind(kind)
    {
        m_whyNot = setUp(sizeMiB, label);
        m_mounted = m_whyNot.isEmpty();
    }
    ~DiskMedium()
    {
        if (m_mounted && QProcess::execute(QStringLiteral("umount"), {path()}) != 0)
            QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), path()});
        if (!m_loop.isEmpty())
            QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), m_loop});
    }
    // A disk made of an ext4 image already there (on a damaged medium, say):
    // attached read-only with 4 KiB sectors and direct I/O, so that every
    // read of the block layer reaches the image's medium as asked, and
    // mounted read-only.
    explicit DiskMedium(const QString &ext4Image) : m_kind(Kind::Ext4)
    {
        if (geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0)
            m_whyNot = QStringLiteral("attaching a disk image needs root and /dev/loop-control");
        else if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("m")))
            m_whyNot = QStringLiteral("no temporary folder to mount on");
        else if ((m_whyNot = run({"losetup", "-r", "--direct-io=on", "--sector-size", "4096", "-f", "--show", ext4Image})).isEmpty()
                 && (m_loop = m_output.trimmed(), true))
            m_whyNot = run({"mount", "-t", "ext4", "-o", "ro", m_loop, path()});
        m_mounted = m_whyNot.isEmpty();
    }
    DiskMedium(const DiskMedium &) = delete;
    DiskMedium &operator=(const DiskMedium &) = delete;

    bool mounted() const { return m_mounted; }
    QString whyNot() const { return m_whyNot; }
    QString path() const { return m_dir.filePath(QStringLiteral("m")); }
    Kind kind() const { return m_kind; }
    bool windowsMedium() const { return m_kind != Kind::Ext4 && m_kind != Kind::Xfs && m_kind != Kind::Btrfs; }

private:
    // Makes and mounts the medium; why not, or "".
    QString setUp(int sizeMiB, const QString &label)
    {
        if (!m_dir.isValid() || !QDir(m_dir.path()).mkdir(QStringLiteral("m")))
            return QStringLiteral("no temporary folder to mount on");
        if (m_kind == Kind::FatLike) {
#ifndef DUPLON_FATFS
            return QStringLiteral("built without libfuse3 (libfuse3-dev), so there is no FAT-like medium");
#else
            // fatfs goes into the background once it is mounted.
            QDir(m_dir.path()).mkdir(QStringLiteral("backing"));
            return ::access("/dev/fuse", R_OK | W_OK) != 0 ? QStringLiteral("/dev/fuse is missing or not usable here")
                                                           : run({DUPLON_FATFS, m_dir.filePath("backing"), path()});
#endif
        }
        if (geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0)
            return QStringLiteral("making a file system on a loop device needs root and /dev/loop-control");
        const QString image = m_dir.filePath(QStringLiteral("image"));
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(sizeMiB) << 20))
            return QStringLiteral("cannot make the image: %1").arg(file.errorString());
        const char *const types[] = {"ext4", "xfs", "btrfs", "exfat", "ntfs", "ntfs"};
        const QString type = QLatin1String(types[int(m_kind)]);
        const QStringList mkfs = type == u"exfat" ? QStringList{"mkfs.exfat"}
            : type == u"ntfs"                     ? QStringList{"mkntfs", "-F", "-Q"}
                                                  : QStringList{"mkfs." + type, "-q", type == u"ext4" ? "-F" : "-f"};
        QString why = run(mkfs + QStringList{"-L", label, image});
        if (why.isEmpty() && (why = run({"losetup", "-f", "--show", image})).isEmpty())
            m_loop = m_output.trimmed();
        if (!why.isEmpty())
            return why;
        return run(m_kind == Kind::Exfat ? QStringList{"mount.exfat-fuse", m_loop, path()}
                       : m_kind == Kind::Ntfs ? QStringList{"ntfs-3g", m_loop, path()}
                       : m_kind == Kind::NtfsWindowsNames ? QStringList{"ntfs-3g", "-o", "windows_names", m_loop, path()}
                                                          : QStringList{"mount", "-t", type, m_loop, path()});
    }

    QString run(const QStringList &command) { return runTool(command, m_output); }

public:
    // Runs a tool; why it failed (a tool missing included: scripts/install-deps.sh
    // installs them), or "". output takes what it wrote on its standard output.
    static QString runTool(const QStringList &command, QString &output)
    {
        QProcess p;
        p.start(command[0], command.mid(1));
        const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        output = QString::fromLocal8Bit(p.readAllStandardOutput());
        const QString errors = QString::fromLocal8Bit(p.readAllStandardError());
        return ok ? QString() : QStringLiteral("%1 failed: %2 %3 %4").arg(command.join(u' '), p.errorString(), output.trimmed(), errors.trimmed());
    }

private:

    Kind m_kind;
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/duplon-disk-XXXXXX")};
    QString m_loop;
    QString m_output;
    QString m_whyNot;
    bool m_mounted = false;
};
