#include "support/RescueKit.h"

using namespace rescuekit;

class TestRescueGoingOn : public QObject {
    Q_OBJECT
public:
    // The retry that interruptedRetryKeepsCopyAndMap kills: this program, run again.
    static void initMain()
    {
        // Or the rescue that aKilledRescueIsGoneOnWith kills: a copy that meets damage.
        const QString medium = qEnvironmentVariable("DUPLON_RETRY_MEDIUM"), rescue = qEnvironmentVariable("DUPLON_RESCUE_MEDIUM");
        if (medium.isEmpty() && rescue.isEmpty())
            return;
        int argc = 1;
        char *argv[] = {const_cast<char *>("retry"), nullptr};
        QCoreApplication app(argc, argv);
        rt::Drives::instance().setFixedMap({{u'c', medium + rescue}, {u'd', qEnvironmentVariable("DUPLON_RETRY_DEST")}});
        QuietProgress progress;
        ScriptedDialogs dialogs;
        CopyEngine::setSaveIntervalOfNewEngines(std::chrono::milliseconds(qEnvironmentVariableIntValue("DUPLON_SAVE_EVERY_MS")));
        if (const int user = qEnvironmentVariableIntValue("DUPLON_AS_USER"); user > 0) { // aReadOnlyRescue...
            if (setgid(gid_t(user)) != 0 || setuid(uid_t(user)) != 0)
                std::exit(99);
            const qint64 fault = qEnvironmentVariableIntValue("DUPLON_FAULT_AT");
            if (fault > 0)
                rt::setReadFaultHook([fault](qint64 at, qint64 n) { return at <= fault && at + n > fault ? EIO : 0; });
            progress.stopAfter = fault > 0 ? 3 : -1;
            dialogs.answers = {rt::AnswerYes}; // keep it; go on with it
        }
        if (!rescue.isEmpty())
            std::exit(int(CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")},
                                  progress, dialogs).run()));
        std::exit(retryRescue(-1, std::chrono::milliseconds(0)) ? 0 : 3);
    }

private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // ---- going on with a rescue -------------------------------------------------

    // A retry over a first rescue's copy and map, on a medium that now gives
    // some of the unreadable blocks. Whether it ends, is stopped or is killed,
    // the copy and the map agree: the source's bytes where the map says
    // finished, what the first copy left everywhere else.
    void retryReadsOnlyWhatWasUnreadable_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<qint64>>("dead"); // blocks that still fail
        QTest::addColumn<Marginals>("marginal");
        QTest::addColumn<QList<qint64>>("fromAbove"); // blocks that read only after a read above them
        QTest::addColumn<QList<qint64>>("recovered");
        QTest::addColumn<int>("passes");
        QTest::addColumn<bool>("byDdrescue");
        QTest::addColumn<int>("stopAfter"); // reads before a Stop; 0: killed a while after its first save; -1: neither

        constexpr qint64 M = kLargePiece;
        // Pass 1 reads 40, pass 2 (backward) 200, pass 3 the last, partial block.
        QTest::newRow("marginal blocks read on later passes")
            << 2 * M + 5000 << QList<qint64>{10, 300} << Marginals{{40, 0}, {200, 1}, {513, 2}} << QList<qint64>{}
            << QList<qint64>{40, 200, 513} << 3 << false << -1;
        // 99 reads in pass 1 (the last read before it, a comparison, was near
        // the end), 300 in the backward pass after 301; 450, the highest, never.
        QTest::newRow("blocks that read only from above")
            << 2 * M << QList<qint64>{100, 301, 400} << Marginals{} << QList<qint64>{99, 300, 450}
            << QList<qint64>{99, 300} << 3 << false << -1;
        QTest::newRow("a map of GNU ddrescue") << M + 3000 << QList<qint64>{7} << Marginals{{20, 0}, {30, 1}}
                                               << QList<qint64>{} << QList<qint64>{20, 30} << 3 << true << -1;
        Marginals all, even;
        QList<qint64> odd;
        for (qint64 b = 0; b < 17; ++b)
            all.insert(b, 0);
        QTest::newRow("everything reads now") << 16 * kBlock + 100 << QList<qint64>{} << all << QList<qint64>{}
                                              << all.keys() << 1 << false << -1;
        for (qint64 b = 10; b < 90; ++b)
            b % 2 ? odd.append(b) : void(even.insert(b, 0));
        // 30 reads: blocks 10 to 39, of which the even ones read.
        QTest::newRow("Stop") << M << odd << even << QList<qint64>{} << even.keys().mid(0, 15) << 1 << false << 30;
        QTest::newRow("killed") << M << odd << even << QList<qint64>{} << QList<qint64>{} << 1 << false << 0;
    }
    void retryReadsOnlyWhatWasUnreadable()
    {
        QFETCH(qint64, size);
        QFETCH(QList<qint64>, dead);
        QFETCH(Marginals, marginal);
        QFETCH(QList<qint64>, fromAbove);
        QFETCH(QList<qint64>, recovered);
        QFETCH(int, passes);
        QFETCH(bool, byDdrescue);
        QFETCH(int, stopAfter);
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            QSKIP("GNU ddrescue (gddrescue) is not installed, so no map can be written or read back");

        TestDrives drives;
        const QByteArray content = patternBytes(size, 71);
        drives.makeFile(u'c', kSourceName, content);
        QList<qint64> unreadable = dead + marginal.keys() + fromAbove;
        std::sort(unreadable.begin(), unreadable.end());
        QString mapName;
        {
            BadMedium first(drives.host(u'c'), {.bad = blockRanges(unreadable, size)});
            SKIP_UNLESS_MOUNTED(first);
            mapName = firstRescue(drives, first, byDdrescue);
        }
        QVERIFY(!mapName.isEmpty());
        const QString copyHost = drives.host(u'd', QStringLiteral("out.bin"));
        const QString mapHost = drives.host(u'd', mapName);
        const QByteArray before = drives.read(u'd', QStringLiteral("out.bin"));
        const QByteArray firstMap = drives.read(u'd', mapName);
        struct stat was {};
        QCOMPARE(::stat(QFile::encodeName(copyHost).constData(), &was), 0);

        QList<Range> marginalRanges = blockRanges(marginal.keys(), size);
        for (Range &r : marginalRanges)
            r.failures = marginal.value(r.begin / kBlock);
        BadMedium medium(drives.host(u'c'), {.bad = blockRanges(dead, size), .badDelayMs = stopAfter == 0 ? 25 : 0,
                                             .marginal = marginalRanges, .fromAbove = blockRanges(fromAbove, size)});
        QVERIFY(medium.mounted());
        rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', drives.host(u'd')}});

        if (stopAfter == 0) {
            // The retry, run again as a program of its own, saves its map after every change.
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DUPLON_RETRY_MEDIUM"), medium.path());
            env.insert(QStringLiteral("DUPLON_RETRY_DEST"), drives.host(u'd'));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(child.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(drives.read(u'd', mapName) != firstMap, 20000);
            QTest::qWait(300);
            ::kill(pid_t(child.processId()), SIGKILL);
            QVERIFY(child.waitForFinished(30000)); // a read in flight on the medium ends first
            for (qint64 b : listedBlocks(mapHost, '+'))
                if (unreadable.contains(b))
                    recovered.append(b);
            QVERIFY2(!recovered.isEmpty() && recovered.size() < marginal.size(), qPrintable(QString::number(recovered.size())));
        } else {
            const std::optional<RetryPasses::Outcome> outcome = retryRescue(stopAfter);
            QVERIFY(outcome);
            QCOMPARE(int(outcome->end), int(stopAfter > 0 ? RetryPasses::Outcome::End::Stopped : RetryPasses::Outcome::End::Completed));
            QCOMPARE(outcome->mapPath, QStringLiteral("D:\\") + mapName);
            QCOMPARE(outcome->recovered, blockBytes(recovered, size));
            QCOMPARE(outcome->unreadable, blockBytes(unreadable, size) - outcome->recovered);
            QCOMPARE(outcome->passes, passes);
            QCOMPARE(outcome->complete, outcome->unreadable == 0);
            }

        // The source's bytes where the medium now gives them; nothing else changed.
        const QByteArray after = drives.read(u'd', QStringLiteral("out.bin"));
        QCOMPARE(after.size(), before.size());
        // A killed retry may have written blocks after its last save: those
        // hold the source's bytes or the old ones, never anything else.
        for (qint64 b = 0; b * kBlock < size; ++b) {
            const QByteArray got = after.mid(b * kBlock, kBlock);
            const bool wanted = got == (recovered.contains(b) ? content : before).mid(b * kBlock, kBlock);
            QVERIFY2(wanted || (stopAfter == 0 && got == content.mid(b * kBlock, kBlock)),
                     qPrintable(QStringLiteral("block %1").arg(b)));
        }
        struct stat now {};
        QCOMPARE(::stat(QFile::encodeName(copyHost).constData(), &now), 0);
        QCOMPARE(now.st_mode, was.st_mode);
        QVERIFY(stopAfter == 0 || (now.st_mtim.tv_sec == was.st_mtim.tv_sec && now.st_mtim.tv_nsec == was.st_mtim.tv_nsec));
        // The map lists what is still unreadable, or is gone with it.
        QList<qint64> stillBad = unreadable;
        stillBad.removeIf([&](qint64 b) { return recovered.contains(b); });
        if (stillBad.isEmpty())
            QVERIFY(!QFile::exists(mapHost));
        else
            QCOMPARE(listedBlocks(mapHost, '-'), stillBad);

        // Each block still unreadable was read once per pass; finished blocks
        // only to compare the copy with the source.
        const BadMedium::Stats stats = medium.stats(kSourceName);
        qint64 finishedReads = 0;
        for (auto it = stats.blockReads.begin(); it != stats.blockReads.end(); ++it) {
            if (!unreadable.contains(it.key()))
                finishedReads += it.value();
            else if (stopAfter < 0 && stillBad.contains(it.key()))
                QVERIFY2(it.value() == passes, qPrintable(QStringLiteral("block %1 read %2 times").arg(it.key()).arg(it.value())));
        }
        QVERIFY2(finishedReads <= kSampleBlocks, qPrintable(QString::number(finishedReads)));
    }

    // Copy pressed again onto a rescued copy, through the window: Yes reads
    // only what could not be read, into that copy; No asks to replace it and
    // makes a fresh copy, whose map takes a free name.
    void copyAgainOntoARescuedCopy_data()
    {
        QTest::addColumn<bool>("goOn");
        QTest::newRow("Yes: only the unreadable parts") << true;
        QTest::newRow("No: a fresh copy") << false;
    }
    void copyAgainOntoARescuedCopy()
    {
        QFETCH(bool, goOn);
        FormFixture f;
        const qint64 size = kLargePiece + 5000;
        const QByteArray content = patternBytes(size, 81);
        f.drives.makeFile(u'c', kSourceName, content);
        // Block 5 fails its first two reads (all a first copy tries), block 9 always.
        BadMedium medium(f.drives.host(u'c'), {.bad = {{9 * kBlock, 10 * kBlock}}, .marginal = {{5 * kBlock, 6 * kBlock, 2}}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(prepareRescue(f, medium));
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{rescueMessage(2 * kBlock, QStringLiteral("D:\\out.bin.map"))});

        f.dialogs.shown.clear();
        f.dialogs.answers = goOn ? std::deque<int>{rt::AnswerYes} : std::deque<int>{rt::AnswerNo, rt::AnswerYes};
        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.shown[0].prompt,
                 QStringLiteral("An earlier copy of 'out.bin' is there: 8192 bytes could not be read and 0 bytes were not yet "
                                "tried.\r\nDo You Want to Read Only Those Parts Again."));
        QCOMPARE(f.dialogs.shown[0].style, 52);
        QCOMPARE(f.dialogs.shown[0].title, std::optional<QString>(kTalmo));
        QByteArray expected = content;
        expected.replace(9 * kBlock, kBlock, QByteArray(kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
        QCOMPARE(f.c().KorBar->barValue(), 100);
        if (goOn) {
            QCOMPARE(f.dialogs.messages().mid(1),
                     QStringList{kCompleted + QStringLiteral("\r\n4096 bytes could now be read and 4096 bytes still could not.\r\n"
                                                            "The map of the unreadable parts, D:\\out.bin.map, was brought up to date.")});
            QCOMPARE(listedBlocks(f.drives.host(u'd', QStringLiteral("out.bin.map")), '-'), QList<qint64>{9});
            // The map brought up to date still names its source, for the next retry to check.
            QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin.map")).contains("\n# Source: " + QByteArray::number(size) + ' '));
        } else {
            QCOMPARE(f.dialogs.messages().mid(2), QStringList{rescueMessage(kBlock, QStringLiteral("D:\\out.bin.1.map"))});
        }
    }

    // An interrupted rescue leaves a copy and a map that ddrescuelog reads and that agree: one killed (kill -9)
    // leaves NAME.part (NAME.1.part beside another copy's), GNU ddrescue left early its own pair. Copy again
    // goes on from it with the copying passes and ends with the copy and map of an uninterrupted rescue,
    // reading again at most the sample of what was finished; ddrescue's map keeps its name, and the command
    // line ddrescue finds it by.
    void anInterruptedRescueIsGoneOnWith_data()
    {
        QTest::addColumn<QString>("copy");
        QTest::addColumn<int>("saveEveryMs"); // the rescue's periodic save, shortened; 0: killed after its first
        QTest::newRow("killed: NAME.part") << QStringLiteral("out.bin.part") << 0;
        QTest::newRow("killed after its second save") << QStringLiteral("out.bin.part") << 300;
        QTest::newRow("killed beside another copy's rescue: NAME.1.part") << QStringLiteral("out.bin.1.part") << 0;
        QTest::newRow("GNU ddrescue left early: NAME and its map") << QStringLiteral("out.bin") << 0;
    }
    void anInterruptedRescueIsGoneOnWith()
    {
        QFETCH(QString, copy);
        QFETCH(int, saveEveryMs);
        const bool byDdrescue = copy == u"out.bin", besideAnother = copy == u"out.bin.1.part";
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            QSKIP("GNU ddrescue (gddrescue) is not installed, so the kept map cannot be read back");
        FormFixture f;
        const qint64 size = 6 * kLargePiece + 3000;
        const QByteArray content = patternBytes(size, 91);
        f.drives.makeFile(u'c', kSourceName, content);
        const QList<Range> bad{{kLargePiece + 7 * kBlock, kLargePiece + 40 * kBlock}, {4 * kLargePiece + 3, 4 * kLargePiece + 4}};
        if (besideAnother) {
            f.drives.makeFile(u'd', QStringLiteral("out.bin.part"), "another source's");
            f.drives.makeFile(u'd', QStringLiteral("out.bin.part.map"), "0x00000000 + 1\n0x00000000 0x00000010 -\n");
        }
        const QString map = f.drives.host(u'd', byDdrescue ? QStringLiteral("rescue.log") : copy + QStringLiteral(".map"));
        qint64 secondFinished = 0; // the finished blocks the second save listed
        {
            BadMedium medium(f.drives.host(u'c'), {.bad = bad, .badDelayMs = 50});
            if (!medium.mounted())
                QSKIP(qPrintable(medium.whyNot()));
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DUPLON_RESCUE_MEDIUM"), medium.path());
            env.insert(QStringLiteral("DUPLON_RETRY_DEST"), f.drives.host(u'd'));
            env.insert(QStringLiteral("DUPLON_SAVE_EVERY_MS"), QString::number(saveEveryMs));
            child.setProcessEnvironment(env);
            if (byDdrescue) // the first 3 MiB only: the rest is left not yet tried
                child.start(QStringLiteral("ddrescue"), {QStringLiteral("-qb4096"), QStringLiteral("-s3Mi"),
                                                         medium.path() + u'/' + kSourceName, f.drives.host(u'd', copy), map});
            else
                child.start(QCoreApplication::applicationFilePath(), {});
            if (!byDdrescue) {
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(map), 20000);
                // Each save puts a new file in the map's place: a kill after the
                // second finds at least what it lists, more than the first did.
                const auto saved = [&] {
                    struct stat st {};
                    return ::stat(QFile::encodeName(map).constData(), &st) == 0 ? st.st_ino : ino_t(0);
                };
                const auto first = saved();
                const qint64 firstFinished = listedBlocks(map, '+').size();
                if (saveEveryMs > 0) {
                    QTRY_VERIFY_WITH_TIMEOUT(saved() != first && saved() != 0, 5000);
                    secondFinished = listedBlocks(map, '+').size();
                    QVERIFY2(secondFinished > firstFinished, qPrintable(QStringLiteral("%1 %2").arg(firstFinished).arg(secondFinished)));
                } else {
                    QTest::qWait(200);
                }
                ::kill(pid_t(child.processId()), SIGKILL);
            }
            QVERIFY(child.waitForFinished(30000));
        }
        const QList<qint64> kept = listedBlocks(map, '+');
        // Killed early in its copying passes, or (saved twice) in any of its passes.
        QVERIFY(!kept.isEmpty() && kept.first() >= 0 && (saveEveryMs > 0 || !listedBlocks(map, '?').isEmpty()));
        QVERIFY(kept.size() >= secondFinished);
        const QByteArray copyBytes = f.drives.read(u'd', copy);
        for (qint64 b : kept)
            QVERIFY2(copyBytes.mid(b * kBlock, kBlock) == content.mid(b * kBlock, kBlock), qPrintable(QString::number(b)));

        BadMedium medium(f.drives.host(u'c'), {.bad = bad});
        QVERIFY(prepareRescue(f, medium));
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        QVERIFY(f.dialogs.shown[0].prompt.startsWith(byDdrescue ? QStringLiteral("An earlier copy of 'out.bin' is there: ")
                                                                : QStringLiteral("An unfinished copy of 'out.bin' is kept as '%1': ").arg(copy)));
        const QList<qint64> badBlocks = blocksTouched(bad, size);
        QByteArray expected = content;
        for (qint64 b : badBlocks)
            expected.replace(b * kBlock, kBlock, QByteArray(kBlock, '\0'));
        const QString mapNow = byDdrescue ? QStringLiteral("rescue.log") : QStringLiteral("out.bin.map");
        QCOMPARE(f.dialogs.messages().mid(1), QStringList{rescueMessage(badBlocks.size() * kBlock, QStringLiteral("D:\\") + mapNow)});
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected.left(size));
        QCOMPARE(listedBlocks(f.drives.host(u'd', mapNow), '-'), badBlocks);
        QVERIFY(byDdrescue || (!QFile::exists(map) && !f.drives.exists(u'd', copy)));
        QCOMPARE(f.drives.exists(u'd', QStringLiteral("out.bin.part.map")), besideAnother); // another copy's stays
        QVERIFY(!byDdrescue || f.drives.read(u'd', mapNow).contains("ddrescue -qb4096 -s3Mi "));
        const BadMedium::Stats stats = medium.stats(kSourceName);
        int finishedReads = 0;
        for (qint64 b : kept)
            finishedReads += stats.blockReads.value(b);
        QVERIFY2(finishedReads <= kSampleBlocks, qPrintable(QString::number(finishedReads)));
        for (qint64 b : badBlocks)
            QVERIFY2(stats.blockReads.value(b) <= 2, qPrintable(QString::number(b)));
    }

    // A rescued copy of a read-only source is read-only too: kept at a Stop and gone on with by its owner, who is not
    // root, its mode kept.
    void aReadOnlyRescueIsGoneOnWithByItsOwner()
    {
        const passwd *nobody = getpwnam("nobody");
        if (!isRoot() || !nobody)
            QSKIP("only root can run the copy as another user, and this needs the user 'nobody'");
        TestDrives drives;
        const QByteArray content = patternBytes(3 * kLargePiece, 92);
        drives.makeFile(u'c', kSourceName, content);
        ::chmod(QFile::encodeName(drives.host(u'c', kSourceName)).constData(), 0444);
        for (const QString &folder : {drives.host(u'c'), drives.host(u'c') + QStringLiteral("/.."), drives.host(u'd')})
            ::chmod(QFile::encodeName(folder).constData(), 0755);
        QVERIFY(::chown(QFile::encodeName(drives.host(u'd')).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        const auto copyAsNobody = [&](qint64 faultAt) {
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DUPLON_RESCUE_MEDIUM"), drives.host(u'c'));
            env.insert(QStringLiteral("DUPLON_RETRY_DEST"), drives.host(u'd'));
            env.insert(QStringLiteral("DUPLON_AS_USER"), QString::number(nobody->pw_uid));
            env.insert(QStringLiteral("DUPLON_FAULT_AT"), QString::number(faultAt));
            child.setProcessEnvironment(env);
            child.start(QCoreApplication::applicationFilePath(), {});
            return child.waitForFinished(60000) ? child.exitCode() : -1;
        };
        QCOMPARE(copyAsNobody(kLargePiece + 5 * kBlock), int(CopyEnd::Stopped));
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(drives.host(u'd', QStringLiteral("out.bin.part"))).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0444));
        QCOMPARE(copyAsNobody(0), int(CopyEnd::Completed));
        QVERIFY(drives.read(u'd', QStringLiteral("out.bin")) == content);
        QVERIFY(::stat(QFile::encodeName(drives.host(u'd', QStringLiteral("out.bin"))).constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0444));
        QCOMPARE(st.st_uid, nobody->pw_uid);
        QVERIFY(!drives.exists(u'd', QStringLiteral("out.bin.part.map")));
    }

};

QTEST_MAIN(TestRescueGoingOn)
#include "tst_rescue_going_on.moc"
