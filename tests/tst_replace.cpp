#include "support/TestKit.h"
#include "support/CopyWatch.h"
#include "runtime/files/Transfer.h"
#include "support/FolderSnapshot.h"
#include "support/SlowStick.h"
#include "support/TmpfsMount.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace copytest;

// Whole copies through the window that replace a file, or end before they
// could: only a complete file, on the medium, ever takes the destination's name.

using namespace testkit;

namespace {

const QString kOverwriteSuffix = QStringLiteral("' already exists.\r\nDo You Want to OverWrite the File.");

// The argument that makes this program the copy that the killing test kills.
const char *const kCopyUntilKilled = "--copy-until-killed";

} // namespace

class TestReplace : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The first window shown opens the platform's font files for good, and
        // the first copy whatever it sets up once; let that happen before any
        // test counts descriptors.
        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(3 * kLargePiece, 40)));
        QVERIFY(f.show());
        f.form->repaint();
        f.c().cmdCopy->click();
        QVERIFY(f.dialogs.messages().contains(kCompleted));
    }
    void cleanup() { testkit::resetTestSwitches(); }

    // A replace that ends before the copy is complete leaves the old file as it
    // was and nothing else; a destination folder removed under the copy is a
    // failed write, never a completed one. The copy goes to D:\sub\out.bin.
    void replaceThatDoesNotComplete_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("osError"); // the reason the window gives, 0 for none
        QTest::newRow("Stop") << QStringLiteral("stop") << 0;
        QTest::newRow("write failure: disk full") << QStringLiteral("full") << ENOSPC;
        QTest::newRow("window closed") << QStringLiteral("close") << 0;
        QTest::newRow("destination folder removed") << QStringLiteral("folder removed") << ENOENT;
    }
    void replaceThatDoesNotComplete()
    {
        QFETCH(QString, how);
        QFETCH(int, osError);

        // Given an old file in D:\sub,
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("sub"));
        // The disk fills up after the copy was checked and has its room set
        // aside (another writer, a file system without reservations): the
        // third piece's write fails as a full disk's does.
        if (how == u"full")
            rt::setWriteFaultHook([](qint64 offset, qint64) { return offset >= 2 * kLargePiece ? ENOSPC : 0; });
        const QByteArray old = patternBytes(kLargePiece + 333, 41);
        f.drives.makeFile(u'd', QStringLiteral("sub/out.bin"), old);
        QVERIFY(prepareCopy(f, patternBytes(6 * kLargePiece + 5, 42)));
        f.c().Dir2->setPath(QStringLiteral("D:\\sub"));
        f.form->show();
        f.dialogs.answers = {rt::AnswerYes};
        CopyWatch watch(f.c());
        bool removed = false;
        // A copy that went on after the failure would never end: stop it, and fail below.
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset == 2 * kLargePiece) {
                if (how == u"stop")
                    clickInNextYield(f.c().cmdCopy);
                else if (how == u"close")
                    inNextYield(f.form.get(), [&] { f.form->close(); });
                else if (how == u"folder removed")
                    removed = QDir(f.drives.host(u'd', QStringLiteral("sub"))).removeRecursively();
            }
            if (watch.reads.size() > 20)
                f.copy().Copying = false;
        };
        const QMap<QString, QByteArray> before = folderSnapshot(f.drives.host(u'd'));
        const DescriptorGuard descriptors;

        // when the replace is answered Yes and then does not complete,
        f.c().cmdCopy->click();

        // then the old file is untouched and nothing else is left, hidden names included;
        QMap<QString, QByteArray> expected = before;
        if (how == u"folder removed") {
            QVERIFY(removed);
            expected.clear();
        }
        QCOMPARE(folderSnapshot(f.drives.host(u'd')), expected);
        // only the question, and a failure says why.
        QVERIFY(!f.dialogs.messages().contains(kCompleted));
        QCOMPARE(f.dialogs.shown.size(), qsizetype(osError ? 2 : 1));
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("A file naming 'out.bin") + kOverwriteSuffix);
        if (osError) {
            const QString text = f.dialogs.shown[1].prompt;
            QCOMPARE(text, notWritten(QStringLiteral("D:\\sub\\out.bin")) + reason(osError));
            QCOMPARE(f.dialogs.shown[1].style, 16);
        }
        QCOMPARE(f.form->isVisible(), how != u"close");
    }

    void completedReplaceKeepsTheOldFilesPermissionsAndOwner()
    {
        // Given an old file with its own permission bits, owner and group (as
        // root), and a hard link to it,
        FormFixture f;
        f.drives.makeFile(u'd', QStringLiteral("out.bin"), patternBytes(5000, 43));
        const QByteArray name = hostBytes(f.drives.host(u'd', QStringLiteral("out.bin")));
        QCOMPARE(::chmod(name.constData(), 0604), 0);
        if (isRoot())
            QCOMPARE(::chown(name.constData(), 1234, 5678), 0);
        QCOMPARE(::link(name.constData(), hostBytes(f.drives.host(u'd', QStringLiteral("old-link"))).constData()), 0);
        struct stat old {};
        QCOMPARE(::stat(name.constData(), &old), 0);
        const QByteArray content = patternBytes(3 * kLargePiece + 17, 44);
        QVERIFY(prepareCopy(f, content));
        f.dialogs.answers = {rt::AnswerYes};
        QByteArray atMessage;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &s) {
            if (s.prompt == kCompleted)
                atMessage = f.drives.read(u'd', QStringLiteral("out.bin"));
        };

        f.c().cmdCopy->click();

        // the completed copy holds the name when the message shows, with the old
        // file's bits and owner; the hard link keeps the old content.
        QCOMPARE(f.dialogs.messages().last(), kCompleted);
        QVERIFY(atMessage == content);
        struct stat now {};
        QCOMPARE(::stat(name.constData(), &now), 0);
        QCOMPARE(now.st_mode & 07777, old.st_mode & 07777);
        QCOMPARE(now.st_uid, old.st_uid);
        QCOMPARE(now.st_gid, old.st_gid);
        QCOMPARE(f.drives.read(u'd', QStringLiteral("old-link")), patternBytes(5000, 43));
        if (!isRoot())
            qInfo("owner and group are only given away as root; checked that they stayed the user's");
    }

    void linkToNothingIsAskedAndReplacedItself()
    {
        // Given a destination name that is a link to a name that does not exist,
        FormFixture f;
        f.drives.makeFolder(u'd', QStringLiteral("elsewhere"));
        QCOMPARE(::symlink(hostBytes(f.drives.host(u'd', QStringLiteral("elsewhere/nothing.bin"))).constData(),
                           hostBytes(f.drives.host(u'd', QStringLiteral("out.bin"))).constData()),
                 0);
        const QByteArray content = patternBytes(2 * kLargePiece + 9, 45);
        QVERIFY(prepareCopy(f, content));
        f.dialogs.answers = {rt::AnswerYes};

        f.c().cmdCopy->click();

        // the question is asked; Yes puts a file under the name, nothing where the link pointed.
        QCOMPARE(f.dialogs.messages(),
                 (QStringList{QStringLiteral("A file naming 'out.bin") + kOverwriteSuffix, kCompleted}));
        QCOMPARE(f.dialogs.shown[0].style, 20);
        const QMap<QString, QByteArray> expected{{QStringLiteral("elsewhere"), "folder"},
                                                 {QStringLiteral("out.bin"), fileSummary(content)}};
        QCOMPARE(folderSnapshot(f.drives.host(u'd')), expected);
    }

    void killedMidCopyLeavesTheOldFile()
    {
        // Given a copy replacing a file, run by another instance of this program
        // from a slow source,
        TestDrives drives;
        const QByteArray old = patternBytes(kLargePiece + 5, 46);
        drives.makeFile(u'd', QStringLiteral("out.bin"), old);
        drives.makeFile(u'c', QStringLiteral("src.bin"), patternBytes(8 * kLargePiece, 47));
        const QMap<QString, QByteArray> before = folderSnapshot(drives.host(u'd'));
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QString::fromLatin1(kCopyUntilKilled), drives.host(u'c'), drives.host(u'd')});
        QVERIFY2(child.waitForStarted(), qPrintable(child.errorString()));
        QByteArray said;
        while (!said.contains("copying") && child.state() == QProcess::Running)
            if (child.waitForReadyRead(30000))
                said += child.readAllStandardOutput();
            else
                break;
        QVERIFY2(said.contains("copying"), said.constData());

        // when it is killed half way,
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(30000));

        // the old file is as it was and nothing else is left, hidden names included.
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QCOMPARE(folderSnapshot(drives.host(u'd')), before);
    }

    void slowMediumHasTheDataAtTheMessage()
    {
        // Given a destination medium that takes 20 MB/s,
        SlowStick stick(20000000);
        if (!stick.ready())
            QSKIP(qPrintable(stick.whyNot()));
        FormFixture f;
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', stick.folder()}});
        const qint64 size = 40 * kLargePiece;
        const QByteArray content = patternBytes(size, 48);
        QVERIFY(prepareCopy(f, content));
        struct Sample {
            int bar;
            qint64 taken;
        };
        QList<Sample> samples;
        QObject::connect(f.c().KorBar, &rt::ProgressBar::barValueSet, f.c().KorBar,
                         [&](int v) { samples.append({v, stick.bytesTaken()}); });
        qint64 takenAtMessage = -1;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &) { takenAtMessage = stick.bytesTaken(); };

        f.c().cmdCopy->click();

        // the message comes when the medium has every byte, and the bar follows
        // what the medium has taken, not what memory has.
        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QVERIFY2(takenAtMessage >= size, qPrintable(QStringLiteral("%1 of %2 bytes on the medium").arg(takenAtMessage).arg(size)));
        int compared = 0;
        for (const Sample &s : samples) {
            if (s.bar < 10 || s.bar > 90)
                continue;
            ++compared;
            const double share = double(s.taken) / double(size);
            QVERIFY2(std::abs(s.bar / 100.0 - share) <= 0.15,
                     qPrintable(QStringLiteral("the bar at %1 % while the medium had %2 % of the file").arg(s.bar).arg(share * 100)));
        }
        QVERIFY(compared > 0);
        QFile copy(stick.folder() + QStringLiteral("/out.bin"));
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QVERIFY(copy.readAll() == content);
    }
};

// The child of killedMidCopyLeavesTheOldFile: copies C:\src.bin over D:\out.bin
// through the window, slowly, saying "copying" half way, until it is killed.
static int copyUntilKilled(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString c = QString::fromLocal8Bit(argv[2]);
    rt::Drives::instance().setFixedMap({{u'c', c}, {u'd', QString::fromLocal8Bit(argv[3])}});
    if (::chdir(argv[2]) != 0)
        return 2;
    ScriptedDialogs dialogs;
    dialogs.answers = {rt::AnswerYes};
    MyForm form(&dialogs);
    MyFormControls &controls = form.controls();
    if (!controls.KorFile->selectFile(QStringLiteral("src.bin")))
        return 2;
    controls.Dir2->setPath(QStringLiteral("D:\\"));
    controls.txtDest->setText(QStringLiteral("out.bin"));
    rt::setReadFaultHook([](qint64 offset, qint64) {
        if (offset == 3 * kLargePiece) {
            const char said[] = "copying\n";
            (void)::write(STDOUT_FILENO, said, sizeof said - 1);
        }
        ::usleep(200000);
        return 0;
    });
    controls.cmdCopy->click();
    return 3; // never reached: the copy takes longer than the parent waits
}

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], kCopyUntilKilled) == 0)
        return copyUntilKilled(argc, argv);
    QApplication app(argc, argv);
    TestReplace test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_replace.moc"
