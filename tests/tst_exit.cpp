#include "support/CopyWatch.h"
#include "support/FormFixture.h"
#include "support/HangingMedium.h"
#include "support/SshShare.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>

// Exit on a medium that stops answering ends the program within the answer
// limit, whatever call the medium holds. The program runs in a child process
// (this test, run again), which says when the medium is to stop answering and
// when it clicks Exit; the parent stops it and times the end.
class TestExit : public QObject {
    Q_OBJECT

    static bool onDestination(const QString &call) { return call == u"write" || call == u"flush"; }

    // 32 MiB of data, no holes: every piece is read from the medium.
    static bool writeSource(const QString &folder)
    {
        QFile big(folder + QStringLiteral("/big.bin"));
        if (!big.open(QIODevice::WriteOnly))
            return false;
        const QByteArray piece(1 << 20, 'd');
        for (int i = 0; i < 32; ++i)
            if (big.write(piece) != piece.size())
                return false;
        return true;
    }

    // The child: the window over c: (a folder of its own) and s: (the medium).
    static void runProgram(const QString &medium, const QString &call)
    {
        FormFixture f;
        f.dialogs.answers = {rt::AnswerYes};
        const auto say = [](const char *line) { std::fputs(line, stdout), std::fflush(stdout); };
        const bool midCopy = call == u"read" || call == u"write";
        if (onDestination(call))
            writeSource(f.drives.host(u'c'));
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u's', medium}});
        f.start();
        f.form->show(); // the last window's close ends the program's event loop
        const auto exitSoon = [&] {
            QTimer::singleShot(1000, [&] { say("exit\n"), f.form->cmdExit_Click(); });
        };
        copytest::CopyWatch watch(f.c());
        if (call != u"list") {
            const QString from = onDestination(call) ? QStringLiteral("C:\\") : QStringLiteral("S:\\");
            f.c().KorDir->setPath(from);
            f.c().Dir2->setPath(onDestination(call) ? QStringLiteral("S:\\") : QStringLiteral("C:\\"));
            f.c().KorFile->selectFile(QStringLiteral("big.bin"));
            f.c().txtDest->setText(QStringLiteral("out.bin"));
        }
        watch.onRead = [&](qint64 offset, qint64) {
            if (midCopy && offset == 2 << 20) {
                say("silence\n");
                QThread::sleep(1);
                exitSoon();
            }
        };
        QTimer::singleShot(0, [&] {
            if (!midCopy) {
                say("silence\n");
                QThread::sleep(1);
                exitSoon();
            }
            if (call == u"list")
                FormFixture::pickDrive(f.c().KorDrv, u's');
            else
                f.c().cmdCopy->click();
        });
        // As the program's main ends.
        std::exit(rt::endLeavingMedia(qApp->exec()));
    }

private slots:
    void exitOnSilentMedium_data()
    {
        QTest::addColumn<QString>("medium");
        QTest::addColumn<QString>("call");
        QTest::newRow("sshfs, its server stopped, reading") << "server" << "read";
        QTest::newRow("sshfs, its server stopped, writing") << "server" << "write";
        QTest::newRow("sshfs stopped itself, writing") << "client" << "write";
        QTest::newRow("FUSE driver hanging in a read") << "fuse" << "read";
        QTest::newRow("FUSE driver hanging in a write") << "fuse" << "write";
        QTest::newRow("FUSE driver hanging in a flush") << "fuse" << "flush";
        QTest::newRow("FUSE driver hanging in an open") << "fuse" << "open";
        QTest::newRow("FUSE driver hanging in a listing") << "fuse" << "list";
    }
    void exitOnSilentMedium()
    {
        QFETCH(QString, medium);
        QFETCH(QString, call);
        if (qEnvironmentVariableIsSet("DUPLON_SILENT_MEDIUM"))
            return runProgram(qEnvironmentVariable("DUPLON_SILENT_MEDIUM"), qEnvironmentVariable("DUPLON_SILENT_CALL"));

        std::unique_ptr<SshShare> share;
        std::unique_ptr<HangingMedium> fuse;
        const QTemporaryDir folder;
        QString path;
        if (medium == u"fuse") {
            QString program;
#if defined(DUPLON_BADFS) && defined(DUPLON_FATFS)
            program = onDestination(call) ? QStringLiteral(DUPLON_FATFS) : QStringLiteral(DUPLON_BADFS);
#endif
            QVERIFY(writeSource(folder.path()));
            fuse = std::make_unique<HangingMedium>(program, folder.path(), call);
            if (!fuse->mounted())
                QSKIP(qPrintable(fuse->whyNot()));
            path = fuse->path();
        } else {
            share = std::make_unique<SshShare>();
            if (!share->mounted())
                QSKIP(qPrintable(share->whyNot()));
            path = share->path();
            QVERIFY(call == u"write" || writeSource(share->served()));
        }
        const auto silence = [&](bool on) {
            if (fuse)
                fuse->hang(on);
            else if (!on)
                share->resume();
            else if (medium == u"client")
                share->pauseClient();
            else
                share->pause();
        };

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DUPLON_SILENT_MEDIUM"), path);
        env.insert(QStringLiteral("DUPLON_SILENT_CALL"), call);
        const QTemporaryDir left; // what the program leaves: its drives, the copy's partial file
        env.insert(QStringLiteral("TMPDIR"), left.path());
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("exitOnSilentMedium:") + QTest::currentDataTag()});
        QByteArray said;
        bool silent = false;
        while (!said.contains("exit\n") && program.waitForReadyRead(60000))
            if ((said += program.readAllStandardOutput()).contains("silence\n") && !silent)
                silence(silent = true);
        QVERIFY2(said.contains("exit\n"), said.constData());
        // The kernel waits out a call that the medium's FUSE daemon has taken,
        // so the process is only reaped once the medium answers: until then it
        // has ended (a zombie) but is not gone.
        const auto ended = [&] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(program.processId()));
            return program.state() == QProcess::NotRunning
                || (stat.open(QIODevice::ReadOnly) && stat.readAll().split(')').last().trimmed().startsWith('Z'));
        };
        QElapsedTimer clock;
        clock.start();
        while (!ended() && clock.elapsed() < 30000)
            QThread::msleep(20);
        const qint64 took = clock.elapsed();
        qInfo("%s: the program ended %lld ms after Exit", QTest::currentDataTag(), took);
        QVERIFY2(ended() && took <= 11000, qPrintable(QString::number(took)));
        silence(false);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_MAIN(TestExit)
#include "tst_exit.moc"
