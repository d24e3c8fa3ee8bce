#include "support/BadMedium.h"
#include "support/CopyWatch.h"
#include "support/FormFixture.h"
#include "support/SshShare.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

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
    // copy is left to the share, its drive is "not ready" to browsing without
    // a second call on it, and Copy starts none while it is.
    void stopWhenShareIsSilent()
    {
        SshShare share;
        if (!share.mounted())
            QSKIP(qPrintable(share.whyNot()));
        FormFixture f;
        QElapsedTimer clock;
        QList<qint64> said;
        const auto threads = [] { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
        qsizetype threadsBefore = -1, threadsAfter = -1;
        f.dialogs.onMessage = [&](const ScriptedDialogs::Shown &) {
            said.append(clock.elapsed());
            QCOMPARE(f.c().cmdCopy->text(), QStringLiteral("Copy"));
            if (said.size() == 1)
                QMetaObject::invokeMethod(f.c().cmdCopy, [&] {
                    threadsBefore = threads();
                    FormFixture::pickDrive(f.c().KorDrv, u's');
                    threadsAfter = threads();
                    f.c().cmdCopy->click();
                }, Qt::QueuedConnection);
            else if (said.size() == 3)
                share.resume();
        };
        copyUntilSilent(f, share.path(), [&] { share.pause(); }, [&] {
            clock.start();
            f.c().cmdCopy->click();
        });
        QCOMPARE(f.dialogs.messages().mid(0, 3), (QStringList{kSilent, rt::kDeviceUnavailable, kSilent}));
        QVERIFY2(said.first() >= 9000 && said.first() < 11000, qPrintable(QString::number(said.first())));
        QVERIFY2(threadsAfter <= threadsBefore, qPrintable(QStringLiteral("%1 -> %2").arg(threadsBefore).arg(threadsAfter)));
        QCOMPARE(QDir(f.drives.host(u'c')).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_MAIN(TestAnswering)
#include "tst_answering.moc"
