#include "support/RescueKit.h"

using namespace rescuekit;

class TestRescueStop : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // ---- stopping -----------------------------------------------------------------

    // A Stop during a rescue asks: Yes keeps the copy and its map to go on later, No deletes both.
    void stopDuringTheBlockPasses_data()
    {
        QTest::addColumn<int>("answer");
        QTest::newRow("Yes keeps both") << rt::AnswerYes;
        QTest::newRow("No deletes both") << rt::AnswerNo;
    }
    void stopDuringTheBlockPasses()
    {
        QFETCH(int, answer);
        FormFixture f;
        f.dialogs.answers = {answer};
        f.drives.makeFile(u'c', kSourceName, patternBytes(3 * kLargePiece, 62));
        BadMedium medium(f.drives.host(u'c'), {.bad = {{300 * kBlock, 308 * kBlock}}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        // The first pass only ever reads forward; a read behind the furthest
        // point reached belongs to a later pass.
        qint64 furthest = 0;
        qsizetype readsAtStop = -1;
        watch.onRead = [&](qint64 offset, qint64 count) {
            if (readsAtStop < 0 && count <= kBlock && offset < furthest) {
                readsAtStop = watch.reads.size();
                clickInNextYield(f.c().cmdCopy);
            }
            furthest = std::max(furthest, offset + count);
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QVERIFY2(readsAtStop > 0, "the copy never read single blocks after its first pass");
        QCOMPARE(watch.reads.size(), readsAtStop); // no read after the Stop
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("2 MB of 3 MB were rescued.\r\nDo You Want to Keep Them in "
                                                                  "'out.bin.part' to Go On Later.")});
        QCOMPARE(f.dialogs.shown[0].style, 52);
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.part")), answer == rt::AnswerYes);
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.part.map")), answer == rt::AnswerYes);
        QVERIFY(f.readyToCopy());
    }

    void stopWhileAReadIsHeld()
    {
        constexpr int heldMs = 4000;
        constexpr int stopAfterMs = 200;
        FormFixture f;
        f.drives.makeFile(u'c', kSourceName, patternBytes(3 * kLargePiece, 63));
        BadMedium medium(f.drives.host(u'c'),
                         {.slow = {{kLargePiece, kLargePiece + 1}}, .slowDelayMs = heldMs});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        QElapsedTimer sinceRead;
        qint64 clickedAt = -1;
        qsizetype heldRead = -1;
        // The held piece moves while the window shows the one before it: the
        // clock starts as that one is met.
        watch.onRead = [&](qint64 offset, qint64) {
            if (offset != 0 || heldRead >= 0)
                return;
            heldRead = watch.reads.size();
            sinceRead.start();
            QTimer::singleShot(stopAfterMs, f.c().cmdCopy, [&] {
                clickedAt = sinceRead.elapsed();
                f.c().cmdCopy->click();
            });
        };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        // The Stop is taken while the read is still held: the window went on
        // handling events. The bound is about event delivery, far below the hold.
        QVERIFY2(heldRead > 0, "the held piece was never read");
        QVERIFY2(clickedAt >= 0 && clickedAt <= stopAfterMs + 500,
                 qPrintable(QStringLiteral("Stop, due %1 ms into a read held %2 ms, was handled after %3 ms")
                                .arg(stopAfterMs).arg(heldMs).arg(clickedAt)));
        // The copy ends with the held piece: none starts after the Stop.
        QCOMPARE(watch.reads.size(), heldRead + 1);
        QCOMPARE(f.dialogs.messages(), QStringList());
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.part"))); // a healthy copy is not kept
        QVERIFY(f.readyToCopy());
    }

    // A medium pulled during a rescue, or while an earlier one is gone on with,
    // ends it at the next failed read, naming the drive: no trimming, scraping
    // or passes over a medium that is gone. What was read is kept.
    void aMediumThatGoesEndsTheCopy_data()
    {
        QTest::addColumn<bool>("goingOn");
        QTest::newRow("a rescue") << false;
        QTest::newRow("an earlier rescue gone on with") << true;
    }
    void aMediumThatGoesEndsTheCopy()
    {
        QFETCH(bool, goingOn);
        FormFixture f;
        const QByteArray content = patternBytes(8 * kLargePiece, 64);
        f.drives.makeFile(u'c', kSourceName, content);
        BadMedium medium(f.drives.host(u'c'), {.bad = {{2 * kLargePiece, 3 * kLargePiece}}});
        SKIP_UNLESS_MOUNTED(medium);
        if (goingOn)
            QCOMPARE(firstRescue(f.drives, medium, false), QStringLiteral("out.bin.map"));
        const QByteArray firstMap = f.drives.read(u'd', QStringLiteral("out.bin.map"));
        QVERIFY(prepareRescue(f, medium));
        CopyWatch watch(f.c());
        watch.onRead = [&](qint64 offset, qint64) { if (offset == 4 * kLargePiece) medium.pull(); }; // the leap on
        int blocksRead = 0; // by the passes over the earlier rescue's unreadable blocks
        QObject::connect(f.c().lblInputLoc, &rt::Label::captionSet, f.c().lblInputLoc,
                         [&] { if (goingOn && ++blocksRead == 10) medium.pull(); });
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        const QString gone = QStringLiteral("The source file C:\\src.bin could not be read.\r\nThe medium in drive C: [m] is gone.\r\n");
        if (!goingOn) {
            QCOMPARE(watch.reads.size(), qsizetype(4));
            QCOMPARE(f.dialogs.messages(), QStringList{gone + QStringLiteral("2 MB of 8 MB were rescued and are kept in 'out.bin.part' to go on later.")});
            QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
            QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin.part")).left(2 * kLargePiece), content.left(2 * kLargePiece));
            return;
        }
        QCOMPARE(blocksRead, 10);
        QCOMPARE(f.dialogs.messages().mid(1), QStringList{gone + QStringLiteral("0 bytes could now be read and %1 bytes still could not.\r\n"
                                                                                "The map of the unreadable parts, D:\\out.bin.map, was brought up to date.").arg(kLargePiece)});
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin.map")), firstMap); // nothing changed in it
    }

    // A source whose open takes seconds (a drive spinning up, a share timing
    // out): Stop, Exit and the close box are handled while it is held, and the
    // copy ends before it has read or written anything.
    void commandsWhileTheOpenIsHeld_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("Stop") << QStringLiteral("Stop");
        QTest::newRow("Exit answered Yes") << QStringLiteral("Exit");
        QTest::newRow("close box") << QStringLiteral("close");
    }
    void commandsWhileTheOpenIsHeld()
    {
        QFETCH(QString, command);
        FormFixture f;
        f.drives.makeFile(u'c', kSourceName, patternBytes(2 * kLargePiece, 64));
        BadMedium medium(f.drives.host(u'c'), {.openDelayMs = 3000});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        QVERIFY(f.show());
        CopyWatch watch(f.c());
        f.dialogs.answers = {rt::AnswerYes};
        qsizetype readsAtCommand = -1;
        bool shownAfter = true;
        QTimer::singleShot(300, f.form.get(), [&] {
            readsAtCommand = watch.reads.size();
            if (command == u"Stop")
                f.c().cmdCopy->click();
            else if (command == u"Exit")
                f.c().cmdExit->click();
            else
                f.form->close();
            shownAfter = f.form->isVisible();
        });
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QCOMPARE(readsAtCommand, qsizetype(0)); // handled while the open was held
        QCOMPARE(f.dialogs.messages(), command == u"Exit" ? QStringList{QStringLiteral("Do You Really Want To Exit Talmo's 'DUPLON'.")}
                                                          : QStringList());
        QCOMPARE(shownAfter, command == u"Stop");
        QCOMPARE(watch.reads.size(), qsizetype(0));
        QCOMPARE(QDir(f.drives.host(u'd')).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
        QVERIFY(f.readyToCopy());
    }

};

QTEST_MAIN(TestRescueStop)
#include "tst_rescue_stop.moc"
