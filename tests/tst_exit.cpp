#include "support/CopyWatch.h"
#include "support/FormFixture.h"
#include "support/HangingMedium.h"
#include "support/SshShare.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <QRegularExpression>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

// Exit on a medium that stops answering ends the program within the answer
// limit, whatever call the medium holds. The program runs in a child process
// (this test, run again), which says when the medium is to stop answering and
// when it clicks Exit; the parent stops it and times the end.
class TestExit : public QObject {
    Q_OBJECT

    // "as a user": a large copy onto the medium through the real window and
    // its real question, stopped 1.3 s in; Exit 1 s later, Yes 0.3 s after
    // the question shows ("as a user, slow to answer": 3 s after, which counts
    // against the same 10 s).
    static bool onDestination(const QString &call)
    {
        return call == u"write" || call == u"flush" || call.startsWith(u"as a user") || call == u"write, close box";
    }

    // 32 MiB of data (512 MiB as a user would copy), no holes: every piece is read from the medium.
    static bool writeSource(const QString &folder, int mebibytes = 32)
    {
        QFile big(folder + QStringLiteral("/big.bin"));
        if (!big.open(QIODevice::WriteOnly))
            return false;
        const QByteArray piece(1 << 20, 'd');
        for (int i = 0; i < mebibytes; ++i)
            if (big.write(piece) != piece.size())
                return false;
        return true;
    }

    // Yes, 0.3 s after the question shows.
    static void answerYes(int afterMs)
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) {
            QTimer::singleShot(10, [afterMs] { answerYes(afterMs); });
            return;
        }
        QTimer::singleShot(afterMs, Qt::PreciseTimer, box, [box] { box->button(QMessageBox::Yes)->click(); });
    }

    static qint64 nowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    // The child: the window over c: (a folder of its own) and s: (the medium).
    static void runProgram(const QString &medium, const QString &call)
    {
        FormFixture f;
        f.dialogs.answers = {rt::AnswerYes};
        const auto say = [](const char *line) { std::fputs(line, stdout), std::fflush(stdout); };
        // The moment, for the parent to time the end from the click itself.
        const auto sayAt = [&](const char *word) { say(qPrintable(QStringLiteral("%1 %2\n").arg(word).arg(nowMs()))); };
        const bool asUser = call.startsWith(u"as a user");
        const int answerAfterMs = call.endsWith(u"slow to answer") ? 3000 : 300;
        const bool closeBox = call == u"write, close box"; // the window's close box instead of Exit
        const bool midCopy = call == u"read" || call == u"write" || closeBox;
        if (onDestination(call))
            writeSource(f.drives.host(u'c'), asUser ? 512 : 32);
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u's', medium}});
        if (asUser)
            f.form = std::make_unique<MyForm>(); // the real question
        else
            f.start();
        f.form->show(); // the last window's close ends the program's event loop
        if (asUser) {
            QObject::connect(qApp, &QGuiApplication::lastWindowClosed, [&] { sayAt("gone"); });
            QObject::connect(f.c().cmdCopy, &QPushButton::pressed, [&] { // the copy runs inside clicked
                QTimer::singleShot(1300, [&] {
                    say("silence\n");
                    QTimer::singleShot(1000, [&] {
                        QTimer::singleShot(0, [&] { answerYes(answerAfterMs); });
                        sayAt("clicked"), say("exit\n"), f.c().cmdExit->click();
                    });
                });
            });
        }
        const auto exitSoon = [&] {
            QTimer::singleShot(1000, [&] {
                sayAt("clicked"), say("exit\n");
                closeBox ? void(f.form->close()) : f.form->cmdExit_Click();
            });
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
            if (!midCopy && !asUser) {
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
        QTest::newRow("sshfs, its server stopped, writing, the close box") << "server" << "write, close box";
        QTest::newRow("sshfs, its server stopped, writing 512 MiB, the real question") << "server" << "as a user";
        QTest::newRow("sshfs, its server stopped, writing 512 MiB, Yes after 3 s") << "server" << "as a user, slow to answer";
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
        // Timed from the click as the program saw it, on the same clock.
        const QRegularExpression at(QStringLiteral("(clicked|gone) (\\d+)\n"));
        const auto when = [&](const QString &word) {
            for (const QRegularExpressionMatch &m : at.globalMatch(QString::fromUtf8(said)))
                if (m.captured(1) == word)
                    return m.captured(2).toLongLong();
            return qint64(-1);
        };
        const qint64 clicked = when(QStringLiteral("clicked"));
        QVERIFY(clicked > 0);
        while (!ended() && nowMs() - clicked < 30000) {
            program.waitForReadyRead(20);
            said += program.readAllStandardOutput();
        }
        const qint64 took = nowMs() - clicked;
        said += program.readAllStandardOutput();
        const qint64 gone = when(QStringLiteral("gone")) < 0 ? -1 : when(QStringLiteral("gone")) - clicked;
        qInfo("%s: the program ended %lld ms after Exit%s", QTest::currentDataTag(), took,
              gone < 0 ? "" : qPrintable(QStringLiteral(", its window %1 ms after it").arg(gone)));
        QVERIFY2(ended() && took <= 11000, qPrintable(QString::number(took)));
        if (call.startsWith(u"as a user")) { // at once after Yes
            const qint64 answered = call == u"as a user" ? 300 : 3000;
            QVERIFY2(gone >= answered && gone <= answered + 1200, qPrintable(QString::number(gone)));
        }
        silence(false);
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    }
};

QTEST_MAIN(TestExit)
#include "tst_exit.moc"
