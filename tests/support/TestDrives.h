#pragma once

#include "runtime/media/Drives.h"
#include "support/SkipUnlessMounted.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <unistd.h>

// A drive map over a temporary folder: c: and d: are real folders, e: points
// to a folder that does not exist (a drive with no medium). The process's
// current folder moves into c: for the life of the object.
class TestDrives {
public:
    TestDrives()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("c"));
        QDir(m_dir.path()).mkpath(QStringLiteral("d"));
        rt::Drives::instance().setFixedMap({{u'c', host(u'c')}, {u'd', host(u'd')},
                                            {u'e', m_dir.path() + QStringLiteral("/missing")}});
        m_oldCwd = QDir::currentPath();
        (void)chdir(QFile::encodeName(host(u'c')).constData());
    }
    ~TestDrives()
    {
        (void)chdir(QFile::encodeName(m_oldCwd).constData());
        rt::Drives::instance().useSystemMap();
    }
    TestDrives(const TestDrives &) = delete;
    TestDrives &operator=(const TestDrives &) = delete;

    QString host(QChar letter) const { return m_dir.path() + u'/' + letter; }
    // A host path for a drive-letter-relative name: host(u'c', "Data/a.txt").
    QString host(QChar letter, const QString &relative) const { return host(letter) + u'/' + relative; }

    void makeFolder(QChar letter, const QString &relative) const
    {
        QVERIFY(QDir().mkpath(host(letter, relative)));
    }
    void makeFile(QChar letter, const QString &relative, const QByteArray &content) const
    {
        QFile f(host(letter, relative));
        QDir().mkpath(QFileInfo(f).absolutePath());
        QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(f.errorString()));
        QCOMPARE(f.write(content), content.size());
    }
    QByteArray read(QChar letter, const QString &relative) const
    {
        QFile f(host(letter, relative));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool exists(QChar letter, const QString &relative) const { return QFile::exists(host(letter, relative)); }
    void cd(QChar letter, const QString &relative) const
    {
        QVERIFY(chdir(QFile::encodeName(host(letter, relative)).constData()) == 0);
    }

private:
    QTemporaryDir m_dir;
    QString m_oldCwd;
};

// A small ext4 volume on a loop device, mounted at a folder of its own: a real
// medium as the drive map sees one. Needs root; mounted() tells whether it worked.
class LoopVolume {
public:
    explicit LoopVolume(const QString &folder)
        : m_image(QFile::encodeName(folder + QStringLiteral("/volume.img")))
        , m_mountPoint(QFile::encodeName(folder + QStringLiteral("/usb")))
    {
        QDir().mkpath(mountPoint());
        m_mounted = geteuid() == 0
            && system(("truncate -s 8M '" + m_image + "' && mkfs.ext4 -q '" + m_image + "' 2>/dev/null").constData()) == 0
            && system(("mount -o loop '" + m_image + "' '" + m_mountPoint + "' 2>/dev/null").constData()) == 0;
    }
    ~LoopVolume() { unmount(); }
    LoopVolume(const LoopVolume &) = delete;
    LoopVolume &operator=(const LoopVolume &) = delete;

    bool mounted() const { return m_mounted; }
    static QString whyNot() { return QStringLiteral("Mounting a loop device needs root and a loop device; not available here."); }
    QString mountPoint() const { return QFile::decodeName(m_mountPoint); }
    bool unmount()
    {
        if (m_mounted && system(("umount '" + m_mountPoint + "'").constData()) == 0)
            m_mounted = false;
        return !m_mounted;
    }
    // The letter the system map gave the volume, after a refresh; null if none.
    QChar letter() const
    {
        for (QChar l : rt::Drives::instance().refresh())
            if (rt::Drives::instance().root(l) == mountPoint())
                return l;
        return QChar();
    }

private:
    QByteArray m_image;
    QByteArray m_mountPoint;
    bool m_mounted = false;
};

// Bytes that differ from offset to offset, so a shifted copy never compares equal.
inline QByteArray patternBytes(qint64 size, quint32 seed = 1)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 12345u;
    for (qint64 i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}
