#include "copy/job/WritingPlan.h"
#include "runtime/files/Destination.h"
#include "runtime/text/RtError.h"
#include "support/TestKit.h"
#include "support/CopyWatch.h"
#include "support/FolderSnapshot.h"
#include "support/SlowStick.h"
#include "support/TestDrives.h"

#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testkit;

namespace {

constexpr qint64 kPiece = 1048576;
constexpr uid_t kNobody = 65534;

// Writes content through a prepared destination as a copy does: in pieces, each
// followed by the write-behind call.
void writePieces(rt::Destination &d, const QByteArray &content)
{
    for (qint64 at = 0; at < content.size(); at += kPiece) {
        const qint64 n = std::min(kPiece, content.size() - at);
        if (::pwrite(d.descriptor(), content.constData() + at, size_t(n), at) != n)
            throw rt::errorFromErrno(errno);
        d.writeBehind(at, n);
    }
}

mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

} // namespace

class TestDestination : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // Where a copy writes, what an old file keeps, and that only a complete file
    // ever holds the name. The destination is D:\sub\out.bin; a link's target
    // lies in D:\elsewhere.
    void replacesOnlyWhenComplete_data()
    {
        QTest::addColumn<QString>("existing"); // what is under the name before the copy
        QTest::addColumn<QString>("ending");   // commit, abandon, or folder removed before the commit
        QTest::addColumn<bool>("unnamed");     // whether the file system has unnamed files
        QTest::addColumn<QString>("refusal");  // the reason a refused name is given, or empty

        const QString none;
        QTest::newRow("new file") << "nothing" << "commit" << true << none;
        QTest::newRow("new file, hidden name") << "nothing" << "commit" << false << none;
        QTest::newRow("replace") << "file" << "commit" << true << none;
        QTest::newRow("replace, hidden name") << "file" << "commit" << false << none;
        QTest::newRow("replace abandoned, hidden name") << "file" << "abandon" << false << none;
        // Another file took the hidden name meanwhile: an abandon leaves it alone.
        QTest::newRow("hidden name taken over, abandoned") << "nothing" << "take over and abandon" << false << none;
        QTest::newRow("link to a file") << "link to a file" << "commit" << true << none;
        QTest::newRow("link to a file abandoned") << "link to a file" << "abandon" << true << none;
        QTest::newRow("link to nothing, hidden name") << "dangling link" << "commit" << false << none;
        QTest::newRow("link to nothing abandoned") << "dangling link" << "abandon" << true << none;
        QTest::newRow("folder removed, hidden name") << "nothing" << "folder removed" << false << none;
        QTest::newRow("folder and old file removed") << "file" << "folder removed" << true << none;
        QTest::newRow("named pipe") << "fifo" << "commit" << true << "Not a regular file: a named pipe";
        QTest::newRow("link to a block device")
            << "link to a block device" << "commit" << true << "Not a regular file: a link to a block device";
        QTest::newRow("unwritable folder, writable file: in place") << "file in unwritable folder" << "commit" << true << none;
    }
    void replacesOnlyWhenComplete()
    {
        QFETCH(QString, existing);
        QFETCH(QString, ending);
        QFETCH(bool, unnamed);
        QFETCH(QString, refusal);

        // Given
        TestDrives drives;
        drives.makeFolder(u'd', QStringLiteral("sub"));
        drives.makeFolder(u'd', QStringLiteral("elsewhere"));
        const QString root = drives.host(u'd');
        const QString name = drives.host(u'd', QStringLiteral("sub/out.bin"));
        const QByteArray nameBytes = hostBytes(name);
        const QByteArray old = patternBytes(2 * kPiece + 77, 1);
        const QByteArray fresh = patternBytes(3 * kPiece + 5, 2);
        QString replaced = name; // the path whose content a commit replaces
        if (existing == u"file" || existing == u"file in unwritable folder") {
            drives.makeFile(u'd', QStringLiteral("sub/out.bin"), old);
            QCOMPARE(::chmod(nameBytes.constData(), 0604), 0);
            if (isRoot())
                QCOMPARE(::chown(nameBytes.constData(), 1234, 5678), 0);
            if (existing == u"file") {
                // A hard link to the old file keeps the old content.
                QCOMPARE(::link(nameBytes.constData(), hostBytes(drives.host(u'd', QStringLiteral("sub/old-link"))).constData()),
                         0);
            } else if (isRoot()) {
                // Root may write into any folder, so the copy runs as an ordinary user (below).
                if (!arrangeForNobody(drives, nameBytes))
                    QSKIP("cannot hand the test's files to an ordinary user here");
            } else {
                QCOMPARE(::chmod(hostBytes(drives.host(u'd', QStringLiteral("sub"))).constData(), 0555), 0);
            }
        } else if (existing == u"link to a file") {
            replaced = drives.host(u'd', QStringLiteral("elsewhere/target.bin"));
            drives.makeFile(u'd', QStringLiteral("elsewhere/target.bin"), old);
            QCOMPARE(::chmod(hostBytes(replaced).constData(), 0604), 0);
            QCOMPARE(::symlink("../elsewhere/target.bin", nameBytes.constData()), 0);
        } else if (existing == u"dangling link") {
            QCOMPARE(::symlink(hostBytes(drives.host(u'd', QStringLiteral("elsewhere/nothing.bin"))).constData(),
                               nameBytes.constData()),
                     0);
        } else if (existing == u"fifo") {
            QCOMPARE(::mkfifo(nameBytes.constData(), 0644), 0);
        } else if (existing == u"link to a block device") {
            if (!isRoot())
                QSKIP("only root can make a device node");
            const QByteArray node = hostBytes(drives.host(u'd', QStringLiteral("elsewhere/node")));
            QCOMPARE(::mknod(node.constData(), S_IFBLK | 0600, makedev(7, 200)), 0);
            QCOMPARE(::symlink(node.constData(), nameBytes.constData()), 0);
        }
        struct stat oldStat {};
        const bool replaces = ::stat(hostBytes(replaced).constData(), &oldStat) == 0 && S_ISREG(oldStat.st_mode);
        const bool inPlace = existing == u"file in unwritable folder";
        rt::Destination::setUnnamedFilesAllowed(unnamed);
        const QMap<QString, QByteArray> before = folderSnapshot(root);
        const copytest::DescriptorGuard descriptors;
        const mode_t newMode = 0666;

        // When
        bool refused = false, failed = false;
        QString reason;
        QMap<QString, QByteArray> during;
        if (inPlace) {
            // A folder the user may not write into, with a file in it they may.
            const int outcome = isRoot() ? inPlaceAsNobody(fresh) : inPlaceCopy(fresh);
            ::chmod(hostBytes(drives.host(u'd', QStringLiteral("sub"))).constData(), 0755);
            if (outcome == 77)
                QSKIP("cannot run a copy as an ordinary user here");
            QCOMPARE(outcome, 0); // 1: not written in place, 2: failed
        } else {
            try {
                rt::Destination d = prepareDestination(QStringLiteral("D:\\sub\\out.bin"), newMode);
                QVERIFY(!d.writesInPlace());
                writePieces(d, fresh);
                // Private until complete: a replaced file's mode comes only with its name.
                struct stat open {};
                QCOMPARE(::fstat(d.descriptor(), &open), 0);
                QCOMPARE(open.st_mode & 0777, replaces ? mode_t(0600) : newMode & ~currentUmask());
                during = folderSnapshot(root);
                if (ending == u"take over and abandon") {
                    const QString hidden = root + u'/' + during.lastKey();
                    QVERIFY(QFile::rename(hidden, drives.host(u'd', QStringLiteral("sub/moved"))));
                    drives.makeFile(u'd', hidden.mid(root.size() + 1), "another file");
                    d.abandon();
                    QCOMPARE(drives.read(u'd', hidden.mid(root.size() + 1)), QByteArray("another file"));
                    QVERIFY(drives.exists(u'd', QStringLiteral("sub/moved")));
                    return;
                }
                if (ending == u"abandon") {
                    d.abandon();
                } else {
                    if (ending == u"folder removed")
                        QVERIFY(QDir(drives.host(u'd', QStringLiteral("sub"))).removeRecursively());
                    try {
                        const rt::Destination::Committed committed = d.commit(fresh.size());
                        QCOMPARE(committed.folderFlushError + committed.closeError, 0);
                    } catch (const rt::RtError &e) {
                        failed = true;
                        reason = e.reason();
                    }
                }
            } catch (const rt::RtError &e) {
                refused = true;
                QCOMPARE(e.number(), int(rt::ErrPathFileAccess));
                reason = e.reason();
            }
        }

        // Then
        QCOMPARE(refused ? reason : QString(), refusal);
        QCOMPARE(failed, ending == u"folder removed");
        const QMap<QString, QByteArray> after = folderSnapshot(root);
        if (refused || ending == u"abandon") {
            QCOMPARE(after, before); // byte for byte, and nothing else left
            return;
        }
        if (!inPlace) {
            // While the copy runs, the name and every other entry are as they were;
            // only a hidden name may stand beside them.
            QMap<QString, QByteArray> visible = during;
            for (auto it = visible.begin(); it != visible.end();)
                it = it.key().startsWith(QStringLiteral("sub/.")) ? visible.erase(it) : std::next(it);
            QCOMPARE(visible, before);
            QCOMPARE(during.size() - visible.size(), qsizetype(unnamed ? 0 : 1));
        }
        QMap<QString, QByteArray> expected = before;
        if (failed) {
            for (auto it = expected.begin(); it != expected.end();)
                it = it.key() == u"sub" || it.key().startsWith(QStringLiteral("sub/")) ? expected.erase(it) : std::next(it);
            QCOMPARE(after, expected);
            QCOMPARE(reason, rt::reasonFromErrno(ENOENT));
            return;
        }
        expected[replaced.mid(root.size() + 1)] = fileSummary(fresh);
        QCOMPARE(after, expected);

        struct stat now {};
        QCOMPARE(::lstat(hostBytes(replaced).constData(), &now), 0);
        QVERIFY(S_ISREG(now.st_mode));
        if (replaces) {
            QCOMPARE(now.st_mode & 07777, oldStat.st_mode & 07777);
            QCOMPARE(now.st_uid, oldStat.st_uid);
            QCOMPARE(now.st_gid, oldStat.st_gid);
            QCOMPARE(now.st_ino == oldStat.st_ino, inPlace);
        } else {
            QCOMPARE(now.st_mode & 07777, newMode & ~currentUmask());
            QCOMPARE(now.st_uid, geteuid());
        }
    }

    // On a medium slower than memory, what is written but not yet on it stays
    // small throughout, and a commit leaves nothing waiting.
    void writeBehindKeepsUpWithTheMedium()
    {
        SlowStick stick(20000000);
        if (!stick.ready())
            QSKIP(qPrintable(stick.whyNot()));
        TestDrives drives;
        rt::Drives::instance().setFixedMap({{u'c', drives.host(u'c')}, {u'd', stick.folder()}});
        const QByteArray content = patternBytes(40 * kPiece, 3);
        {
            rt::Destination d = prepareDestination(QStringLiteral("D:\\big.bin"), 0644);
            qint64 mostBehind = 0;
            for (qint64 at = 0; at < content.size(); at += kPiece) {
                QCOMPARE(::pwrite(d.descriptor(), content.constData() + at, size_t(kPiece), at), ssize_t(kPiece));
                d.writeBehind(at, kPiece);
                mostBehind = std::max(mostBehind, at + kPiece - stick.bytesTaken());
            }
            QVERIFY2(mostBehind <= rt::Destination::kWriteBehind + kPiece,
                     qPrintable(QStringLiteral("%1 bytes written were not yet on the medium").arg(mostBehind)));
            QCOMPARE(d.commit(content.size()).closeError, 0);
            QVERIFY2(stick.bytesTaken() >= content.size(),
                     qPrintable(QStringLiteral("the medium has taken %1 of %2 bytes").arg(stick.bytesTaken()).arg(content.size())));
        }
        QFile copy(stick.folder() + QStringLiteral("/big.bin"));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QVERIFY(copy.readAll() == content);
    }

private:
    // Writes in place where the folder takes no new file; 0 when it did.
    static int inPlaceCopy(const QByteArray &fresh)
    {
        try {
            rt::Destination d = prepareDestination(QStringLiteral("D:\\sub\\out.bin"), 0666);
            if (!d.writesInPlace())
                return 1;
            writePieces(d, fresh);
            const rt::Destination::Committed committed = d.commit(fresh.size());
            return committed.folderFlushError || committed.closeError ? 3 : 0;
        } catch (const rt::RtError &) {
            return 2;
        }
    }

    // Root may write into any folder, so the in-place way is tried by a child
    // that has become an ordinary user.
    // The drives readable by everyone, the folder root's alone, the file the ordinary user's.
    static bool arrangeForNobody(const TestDrives &drives, const QByteArray &nameBytes)
    {
        const QString top = QFileInfo(drives.host(u'd')).absolutePath();
        return ::chmod(hostBytes(top).constData(), 0755) == 0 && ::chmod(hostBytes(drives.host(u'd')).constData(), 0755) == 0
            && ::chmod(hostBytes(drives.host(u'c')).constData(), 0755) == 0
            && ::chmod(hostBytes(drives.host(u'd', QStringLiteral("sub"))).constData(), 0755) == 0
            && ::chown(nameBytes.constData(), kNobody, kNobody) == 0;
    }
    static int inPlaceAsNobody(const QByteArray &fresh)
    {
        const pid_t child = ::fork();
        if (child < 0)
            return 77;
        if (child == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(77);
            ::_exit(inPlaceCopy(fresh));
        }
        int status = 0;
        if (::waitpid(child, &status, 0) != child || !WIFEXITED(status))
            return 2;
        return WEXITSTATUS(status);
    }
};

QTEST_GUILESS_MAIN(TestDestination)
#include "tst_destination.moc"
