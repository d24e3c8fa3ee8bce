#include "support/BadMedium.h"
#include "support/CopyWatch.h"
#include "support/FormFixture.h"
#include "support/SshShare.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>

// The window answers while a medium is slow or silent: a slow listing, a share
// that stops answering in the middle of a copy.
class TestAnswering : public QObject {
    Q_OBJECT

    const QString kSilent = QStringLiteral("Drive S: [m] does not answer. The copy is stopped; its partial file will be "
                                           "removed when the drive answers.");

    // A copy from big.bin (2 GiB, sparse) on the share at sharePath to c:;
    // once 2 MiB are read, atSilence runs inside the read (the server is to
    // stop answering then) and whenSilent after it, on the window's thread.
    static void copyUntilSilent(FormFixture &f, const QString &sharePath, std::function<void()> atSilence,
                                std::function<void()> whenSilent)
    {
        QFile big(sharePath + QStringLiteral("/big.bin"));
        QVERIFY(big.exists() || (big.open(QIODevice::WriteOnly) && big.resize(qint64(2) << 30)));
        big.close();
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u's', sharePath}});
        f.start();
        f.c().KorDir->setPath(QStringLiteral("S:\\"));
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("big.bin")));
        f.c().txtDest->setText(QStringLiteral("out.bin"));
        copytest::CopyWatch watch(f.c());
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset == 2 << 20) {
                atSilence();
                QMetaObject::invokeMethod(qApp, whenSilent, Qt::QueuedConnection);
            }
        };
        f.c().cmdCopy->click();
    }

private slots:
    // A folder that takes 3 s to list: the window answers meanwhile, the
    // folder is listed once, and a click meanwhile is the one that stays.
    void slowListing_data()
    {
        QTest::addColumn<bool>("exitMeanwhile");
        QTest::newRow("Exit's question") << true;
        QTest::newRow("another drive picked") << false;
    }
    void slowListing()
    {
        QFETCH(bool, exitMeanwhile);
        FormFixture f;
        f.drives.makeFile(u'd', QStringLiteral("a.txt"), "a");
        BadMedium medium(f.drives.host(u'd'), {.listDelayMs = 3000});
        if (!medium.mounted())
            QSKIP(qPrintable(medium.whyNot()));
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', medium.path()}});
        f.start();
        QElapsedTimer clock;
        qint64 answered = -1;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &) { answered = clock.elapsed(); };
        QTimer::singleShot(300, this, [&] {
            clock.start();
            if (exitMeanwhile)
                f.form->cmdExit_Click();
            else
                FormFixture::pickDrive(f.c().KorDrv, u'c');
            answered = clock.elapsed();
        });
        FormFixture::pickDrive(f.c().KorDrv, u'd');
        QVERIFY2(answered >= 0 && answered < 500, qPrintable(QString::number(answered)));
        QCOMPARE(medium.stats(QString()).listings, 1);
        const QString shown = exitMeanwhile ? QStringLiteral("D:\\") : QStringLiteral("C:\\");
        QCOMPARE(f.c().KorDrv->drive(), shown.left(2).toLower());
        QCOMPARE(f.c().KorDir->path(), shown);
        QCOMPARE(f.c().KorFile->path(), shown);
    }

    // Stop during a read the share does not answer: after the answer limit the
    // copy is left to the share, and Copy starts none while it is.
    void stopWhenShareIsSilent()
    {
        SshShare share;
        if (!share.mounted())
            QSKIP(qPrintable(share.whyNot()));
        FormFixture f;
        QElapsedTimer clock;
        QList<qint64> said;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &) {
            said.append(clock.elapsed());
            QCOMPARE(f.c().cmdCopy->text(), QStringLiteral("Copy"));
            if (said.size() == 1)
                QMetaObject::invokeMethod(f.c().cmdCopy, &QPushButton::click, Qt::QueuedConnection);
            else
                share.resume();
        };
        copyUntilSilent(f, share.path(), [&] { share.pause(); }, [&] {
            clock.start();
            f.c().cmdCopy->click();
        });
        QCOMPARE(f.dialogs.messages().mid(0, 2), QStringList(2, kSilent));
        QVERIFY2(said.first() >= 9000 && said.first() < 11000, qPrintable(QString::number(said.first())));
        QCOMPARE(QDir(f.drives.host(u'c')).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    // Exit while the share is silent: the program has ended within 11 s. The
    // program runs in a child process (this test, run again), which says when
    // to stop the server and when it clicks Exit.
    void exitWhenShareIsSilent()
    {
        if (qEnvironmentVariableIsSet("DUPLON_SILENT_SHARE")) {
            FormFixture f;
            f.dialogs.answers = {rt::AnswerYes};
            const auto say = [](const QByteArray &line) { std::fputs(line.constData(), stdout), std::fflush(stdout); };
            QTimer::singleShot(0, [&] {
                copyUntilSilent(f, qEnvironmentVariable("DUPLON_SILENT_SHARE"), [&] {
                    say("silence\n");
                    QThread::sleep(1);
                }, [&] {
                    f.form->show();
                    say("exit\n");
                    f.form->cmdExit_Click();
                });
            });
            qApp->exec();
            return;
        }
        SshShare share;
        if (!share.mounted())
            QSKIP(qPrintable(share.whyNot()));
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DUPLON_SILENT_SHARE"), share.path());
        const QTemporaryDir left; // what the program leaves: its drives, the copy's partial file
        env.insert(QStringLiteral("TMPDIR"), left.path());
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("exitWhenShareIsSilent")});
        QByteArray said;
        while (!said.contains("exit\n") && program.waitForReadyRead(30000))
            if ((said += program.readAllStandardOutput()).contains("silence\n") && !said.contains("exit"))
                share.pause();
        QVERIFY2(said.contains("exit\n"), said.constData());
        // The kernel waits out a call that the share's FUSE daemon has taken, so
        // the process is only reaped once the share answers: until then it has
        // ended (a zombie) but is not gone.
        const auto ended = [&] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(program.processId()));
            return program.state() == QProcess::NotRunning
                || (stat.open(QIODevice::ReadOnly) && stat.readAll().split(')').last().trimmed().startsWith('Z'));
        };
        QElapsedTimer clock;
        clock.start();
        while (!ended() && clock.elapsed() < 11000)
            QThread::msleep(50);
        QVERIFY2(ended(), qPrintable(QString::number(clock.elapsed())));
        share.resume();
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_MAIN(TestAnswering)
#include "tst_answering.moc"
