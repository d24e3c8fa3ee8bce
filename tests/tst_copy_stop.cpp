#include "support/TestKit.h"
#include "support/CopyWatch.h"

#include <QMouseEvent>
#include <QTest>

using namespace copytest;

using namespace testkit;

class TestCopyStop : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // ---- stopping -------------------------------------------------------------

    void stopAfterTheFirstPiece()
    {
        FormFixture f;
        const qint64 size = 5 * kLargePiece;
        QVERIFY(prepareCopy(f, patternBytes(size, 11)));
        CopyWatch watch(f.c());
        QString captionAtStop;
        bool copyingAtStop = true;
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset != 0)
                return;
            clickInNextYield(f.c().cmdCopy);
            inNextYield(f.c().cmdCopy, [&] {
                captionAtStop = f.c().cmdCopy->caption();
                copyingAtStop = f.copy().Copying;
            });
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        // The click turned the caption back at once; the piece under way finished.
        QCOMPARE(captionAtStop, QStringLiteral("Copy"));
        QCOMPARE(copyingAtStop, false);
        // No other piece started, nothing was said, and the partial file is gone.
        QCOMPARE(watch.reads, (QList<CopyWatch::Read>{{0, kLargePiece}}));
        QVERIFY(f.dialogs.shown.isEmpty());
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QVERIFY(f.readyToCopy());
        // The bar and labels keep what the last piece showed.
        QCOMPARE(f.c().KorBar->barValue(), expectedPercent(kLargePiece, size));
        QCOMPARE(f.c().lblCopied->caption(), QStringLiteral("1 MB"));
        QCOMPARE(f.c().lblInputLoc->caption(), QStringLiteral("1048576"));
        QCOMPARE(f.c().KorBar->value(), expectedPercent(kLargePiece, size));
        QCOMPARE(f.c().lblInputLoc->text(), QStringLiteral("1048576"));
    }

    void stopInTheYieldOfTheLastPiece_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("last piece reads the tail") << kLargePiece + 500;
        QTest::newRow("last piece reads nothing") << qint64(8192);
    }
    void stopInTheYieldOfTheLastPiece()
    {
        QFETCH(qint64, size);
        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(size, 12)));
        CopyWatch watch(f.c());
        // The piece that runs into the end of the source has moved its bytes
        // once it shows them (or at once, when it reads nothing); the click
        // comes in the yield right after.
        QString shownAtStop;
        bool lastPiece = false;
        const auto stopNow = [&] {
            shownAtStop = f.c().lblInputLoc->caption();
            clickInNextYield(f.c().cmdCopy);
        };
        watch.onRead = [&](qint64 offset, qint64 count) {
            lastPiece = offset + count > size;
            if (offset >= size)
                stopNow();
        };
        QObject::connect(f.c().lblInputLoc, &rt::Label::captionSet, f.c().cmdCopy, [&] {
            if (lastPiece && shownAtStop.isEmpty())
                stopNow();
        });

        f.c().cmdCopy->click();

        QCOMPARE(shownAtStop, QString::number(size)); // everything had been read
        QCOMPARE(watch.reads, CopyWatch::readsOf(expectedPieces(size)));
        QVERIFY(f.dialogs.shown.isEmpty());
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QCOMPARE(f.copy().Copying, false);
        QVERIFY(f.readyToCopy());
        QCOMPARE(f.c().lblInputLoc->caption(), QString::number(size));
    }

    void stopDuringTheFirstPieceStopsAfterIt_data()
    {
        QTest::addColumn<bool>("accessKey");
        QTest::newRow("mouse click") << false;
        QTest::newRow("Alt+T") << true;
    }
    void stopDuringTheFirstPieceStopsAfterIt()
    {
        // A real click on the button, or its access key, arriving while the first piece runs.
        QFETCH(bool, accessKey);
        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(3 * kLargePiece, 13)));
        QVERIFY(f.show(FormFixture::Active));
        CopyWatch watch(f.c());
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset != 0)
                return;
            rt::CommandButton *button = f.c().cmdCopy;
            if (accessKey) {
                inNextYield(button, [&f] { QTest::keyClick(f.form.get(), Qt::Key_T, Qt::AltModifier); });
                return;
            }
            const QPointF at(button->width() / 2.0, button->height() / 2.0);
            const QPointF global = button->mapToGlobal(at);
            QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton,
                                                                Qt::LeftButton, Qt::NoModifier));
            QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton,
                                                                Qt::NoButton, Qt::NoModifier));
        };

        f.c().cmdCopy->click();

        QCOMPARE(watch.reads, (QList<CopyWatch::Read>{{0, kLargePiece}}));
        QVERIFY(f.dialogs.shown.isEmpty());
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QCOMPARE(f.copy().Copying, false);
        QVERIFY(f.readyToCopy());
    }

    void copyClickPendingWithStopStartsNothing()
    {
        // Stop, then Copy, both waiting at the same yield: the second click finds
        // "Copy" but must not start a copy inside the running one.
        FormFixture f;
        const qint64 size = 3 * kLargePiece;
        const QByteArray content = patternBytes(size, 14);
        QVERIFY(prepareCopy(f, content));
        CopyWatch watch(f.c());
        // A nested copy would find the partial file and be told to replace it.
        f.dialogs.answers = {rt::AnswerYes};
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset != 0)
                return;
            clickInNextYield(f.c().cmdCopy);
            clickInNextYield(f.c().cmdCopy);
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QCOMPARE(watch.reads, (QList<CopyWatch::Read>{{0, kLargePiece}}));
        QVERIFY2(f.dialogs.shown.isEmpty(), qPrintable(f.dialogs.messages().join(u'|')));
        QCOMPARE(f.dialogs.answers.size(), size_t(1));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QCOMPARE(f.copy().Copying, false);
        QVERIFY(f.readyToCopy());
        QCOMPARE(watch.shown.inputLoc.size(), qsizetype(1));

        // The held-off click started nothing later either; the next one copies afresh.
        QCoreApplication::processEvents();
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        watch.onRead = nullptr;
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
    }

    // ---- ending the program during a copy -------------------------------------

    void exitDuringACopy_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("No: the copy goes on") << int(rt::AnswerNo);
        QTest::newRow("Yes: the copy is abandoned") << int(rt::AnswerYes);
    }
    void exitDuringACopy()
    {
        QFETCH(int, answer);
        FormFixture f;
        const qint64 size = 3 * kLargePiece + 100;
        const QByteArray content = patternBytes(size, 15);
        QVERIFY(prepareCopy(f, content));
        f.form->show();
        CopyWatch watch(f.c());
        f.dialogs.answers = {answer};
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset == 0)
                clickInNextYield(f.c().cmdExit);
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QVERIFY(!f.dialogs.shown.isEmpty());
        QCOMPARE(f.dialogs.shown[0].prompt, QStringLiteral("Do You Really Want To Exit Talmo's 'DUPLON'."));
        QCOMPARE(f.dialogs.shown[0].style, 52);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        if (answer == rt::AnswerNo) {
            QCOMPARE(f.dialogs.messages(), (QStringList{f.dialogs.shown[0].prompt, kCompleted}));
            QCOMPARE(watch.reads, CopyWatch::readsOf(expectedPieces(size)));
            QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
            QVERIFY(f.form->isVisible());
        } else {
            // Abandoned as a stop: no "completed", the partial file removed, the window closed.
            QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
            QCOMPARE(watch.reads.size(), qsizetype(1));
            QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
            QVERIFY(!f.form->isVisible());
        }
    }

    void closeBoxDuringACopyAbandonsIt()
    {
        FormFixture f;
        QVERIFY(prepareCopy(f, patternBytes(3 * kLargePiece, 16)));
        f.form->show();
        CopyWatch watch(f.c());
        bool shownAfterClose = true;
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset != 0)
                return;
            inNextYield(f.form.get(), [&] {
                f.form->close();
                shownAfterClose = f.form->isVisible();
            });
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        // The window went at once; the copy unwound after the piece in flight.
        QVERIFY(!shownAfterClose);
        QVERIFY(!f.form->isVisible());
        QVERIFY(f.dialogs.shown.isEmpty());
        QCOMPARE(watch.reads.size(), qsizetype(1));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
    }

    // ---- other handlers during a copy -----------------------------------------

    void pickingAnotherFileDuringACopy_data()
    {
        QTest::addColumn<bool>("damaged");
        QTest::newRow("clean") << false;
        QTest::newRow("with a damaged piece") << true;
    }
    void pickingAnotherFileDuringACopy()
    {
        // The pieces, the percentage, the messages and the map follow the copy
        // that runs, not the list.
        QFETCH(bool, damaged);
        FormFixture f;
        const qint64 size = 3000000;
        const QByteArray content = patternBytes(size, 17);
        f.drives.makeFile(u'c', QStringLiteral("tiny.bin"), "0123456789");
        QVERIFY(prepareCopy(f, content));
        CopyWatch watch(f.c());
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset == 0)
                inNextYield(f.c().KorFile, [&] { QVERIFY(f.c().KorFile->selectFile(QStringLiteral("tiny.bin"))); });
        };
        if (damaged)
            watch.unreadable = {kLargePiece};

        f.c().cmdCopy->click();

        QCOMPARE(f.c().txtDest->text(), QStringLiteral("tiny.bin"));
        if (damaged) {
            QCOMPARE(f.dialogs.messages().size(), qsizetype(1));
            QVERIFY2(f.dialogs.messages()[0].contains(QStringLiteral("written to D:\\out.bin.map.\r\n")),
                     qPrintable(f.dialogs.messages()[0]));
            const QByteArray map = f.drives.read(u'd', QStringLiteral("out.bin.map"));
            QVERIFY2(map.contains("# Command line: duplon C:\\src.bin D:\\out.bin\n"), map.constData());
            return;
        }
        const QList<Piece> model = expectedPieces(size);
        QCOMPARE(watch.reads, CopyWatch::readsOf(model));
        const Progress display = expectedProgress(model, size);
        QCOMPARE(watch.shown.bar, display.bar);
        QCOMPARE(watch.shown.copied, display.copied);
        QCOMPARE(watch.shown.inputLoc, display.inputLoc);
        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
        // The click itself took effect as always.
        QCOMPARE(f.c().txtDest->text(), QStringLiteral("tiny.bin"));
        QVERIFY(f.copy().SourceFile.endsWith(QStringLiteral("tiny.bin")));
        QCOMPARE(f.c().lblBytes->caption(), QStringLiteral("Source File Size: 0 MB"));
        QCOMPARE(f.copy().DestFile, QStringLiteral("D:\\out.bin"));
    }
};

QTEST_MAIN(TestCopyStop)
#include "tst_copy_stop.moc"
