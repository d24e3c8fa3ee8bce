#include "support/RescueKit.h"

using namespace rescuekit;

class TestRescue : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { testkit::resetTestSwitches(); }

    // ---- every readable block is rescued ---------------------------------------

    void rescuesEveryReadableBlock_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<Range>>("bad");
        QTest::addColumn<bool>("shortReads"); // reads return the blocks before a bad one, then fail there
        QTest::addColumn<int>("oldMaps");     // maps of an earlier rescue beside the destination
        QTest::addColumn<QString>("folder");  // a folder part of the name typed, after a '/'
        QTest::addColumn<QString>("medium");  // "1 MiB": st_blksize says 1 MiB; "no direct": O_DIRECT refused

        constexpr qint64 M = kLargePiece;
        QTest::newRow("bad first block") << 3 * M + 5000 << QList<Range>{{0, kBlock}} << false << 0 << QString() << QString();
        QTest::newRow("bad last partial block")
            << 2 * M + 5000 << QList<Range>{{2 * M + 4990, 2 * M + 5000}} << false << 0 << QString() << QString();
        // One byte in each, in large pieces, the small pieces of the tail and
        // the last partial block; the map takes the first free name.
        QList<Range> scattered;
        for (qint64 b : {3, 300, 1000, 1250, 1300, 1353})
            scattered.append({b * kBlock + 17, b * kBlock + 18});
        QTest::newRow("scattered single blocks") << 5 * M + 300000 << scattered << false << 2 << QString() << QString();
        QTest::newRow("a run across a 1 MiB boundary")
            << 3 * M << QList<Range>{{M - 3 * kBlock + 5, M + 2 * kBlock - 5}} << false << 0 << QString() << QString();
        QTest::newRow("a read that fails part-way through a piece")
            << 3 * M + 777 << QList<Range>{{M + 300000, M + 300100}, {2 * M + 2 * kBlock, 2 * M + 4 * kBlock}} << true
            << 0 << QString() << QString();
        QTest::newRow("a name typed with a folder part") << 2 * M << QList<Range>{{M, M + 1}} << false << 1 << "sub" << QString();
        // One bad sector costs its own bytes, not the 1 MiB a network share names as its I/O size.
        QTest::newRow("a medium that says 1 MiB blocks")
            << 3 * M << QList<Range>{{M + 5 * kBlock + 9, M + 5 * kBlock + 10}} << false << 0 << QString() << "1 MiB";
        // Where direct access is refused, the rescue reads buffered with read-ahead off.
        QTest::newRow("direct access refused") << 3 * M + 777 << scattered.mid(0, 3) << false << 0 << QString() << "no direct";
        QTest::newRow("direct access refused, reads fail part-way")
            << 3 * M << QList<Range>{{M + 300000, M + 300100}} << true << 0 << QString() << "no direct";
        QTest::newRow("entirely unreadable file") << M + 200000 << QList<Range>{{0, M + 200000}} << false << 0 << QString() << QString();
    }
    void rescuesEveryReadableBlock()
    {
        QFETCH(qint64, size);
        QFETCH(QList<Range>, bad);
        QFETCH(bool, shortReads);
        QFETCH(int, oldMaps);
        QFETCH(QString, folder);
        QFETCH(QString, medium);
        const QString at = folder.isEmpty() ? QString() : folder + u'/';

        FormFixture f;
        const QByteArray content = patternBytes(size, 61);
        f.drives.makeFile(u'c', kSourceName, content);
        QStringList oldMapNames;
        for (int i = 0; i < oldMaps; ++i) {
            oldMapNames.append(i == 0 ? QStringLiteral("out.bin.map") : QStringLiteral("out.bin.%1.map").arg(i));
            f.drives.makeFile(u'd', at + oldMapNames.last(), "an earlier map");
        }
        const QString mapName = oldMaps == 0 ? QStringLiteral("out.bin.map") : QStringLiteral("out.bin.%1.map").arg(oldMaps);
        BadMedium disk(f.drives.host(u'c'), {.bad = bad, .shortReads = shortReads,
                                             .blksize = medium == u"1 MiB" ? kLargePiece : kBlock,
                                             .refuseDirect = medium == u"no direct"});
        SKIP_UNLESS_MOUNTED(disk);
        QVERIFY(prepareRescue(f, disk));
        if (!folder.isEmpty())
            f.drives.makeFolder(u'd', folder), f.c().txtDest->setText(at + QStringLiteral("out.bin"));
        CopyWatch watch(f.c());
        bool keptTogether = folder.isEmpty(); // the rescue's map beside its copy while it runs
        watch.onRead = [&](qint64, qint64) { keptTogether = keptTogether || f.drives.exists(u'd', at + QStringLiteral("out.bin.part.map")); };
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        QVERIFY(keptTogether);
        const QList<qint64> badBlocks = blocksTouched(bad, size);
        qint64 zeros = 0;
        QSet<qint64> piecesHit;
        for (qint64 b : badBlocks) {
            zeros += std::min(kBlock, size - b * kBlock);
            piecesHit.insert(b * kBlock / kLargePiece);
        }
        QCOMPARE(f.dialogs.messages(), QStringList{rescueMessage(zeros, QStringLiteral("D:\\") + QString(at).replace(u'/', u'\\') + mapName, zeros == size)});
        QCOMPARE(f.dialogs.shown[0].style, 48);
        QCOMPARE(f.dialogs.shown[0].title, std::nullopt);

        // Block by block: the bad ones zeros, every other one the source's.
        const QByteArray copied = f.drives.read(u'd', at + QStringLiteral("out.bin"));
        QCOMPARE(copied.size(), content.size());
        for (qint64 b = 0; b * kBlock < size; ++b) {
            const qint64 n = std::min(kBlock, size - b * kBlock);
            const QByteArray expected = badBlocks.contains(b) ? QByteArray(n, '\0') : content.mid(b * kBlock, n);
            QVERIFY2(copied.mid(b * kBlock, n) == expected,
                     qPrintable(QStringLiteral("block %1 (%2) differs").arg(b).arg(badBlocks.contains(b) ? "bad" : "good")));
        }

        // Bad spots cost little: at most two reads of each bad block, and no
        // more failing reads than two per bad block and one per piece holding any.
        const BadMedium::Stats stats = disk.stats(kSourceName);
        QCOMPARE(stats.refusedDirect > 0, medium == u"no direct");
        QVERIFY2(stats.failedReads <= 2 * badBlocks.size() + piecesHit.size(),
                 qPrintable(QStringLiteral("%1 failing reads for %2 bad blocks in %3 pieces")
                                .arg(stats.failedReads).arg(badBlocks.size()).arg(piecesHit.size())));
        for (qint64 b : badBlocks)
            QVERIFY2(stats.blockReads.value(b) <= 2,
                     qPrintable(QStringLiteral("bad block %1 read %2 times").arg(b).arg(stats.blockReads.value(b))));
        // Every read, in every pass, is followed by a yield.
        QVERIFY(watch.yieldedAfterEveryPiece);
        QCOMPARE(f.c().KorBar->barValue(), 100);
        QVERIFY(f.readyToCopy());
        for (const QString &old : oldMapNames)
            QCOMPARE(f.drives.read(u'd', at + old), QByteArray("an earlier map"));

        // The map lists exactly the bad blocks, as ddrescue reads it.
        const QString mapHost = f.drives.host(u'd', at + mapName);
        QVERIFY2(QFile::exists(mapHost), qPrintable(mapHost));
        QVERIFY(f.drives.read(u'd', at + mapName).contains("\n# Sector size: 4096 bytes (ddrescuelog -b 4096)\n"));
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            QSKIP("ddrescuelog (gddrescue) is not installed, so the map was not read back");
        QCOMPARE(listedBlocks(mapHost, '-'), badBlocks);
    }

    // ---- holes and devices ---------------------------------------------------------

    void holesStayHoles()
    {
        constexpr qint64 size = 2 * 1024 * kLargePiece;
        FormFixture f;
        struct statvfs fs {};
        QCOMPARE(::statvfs(QFile::encodeName(f.drives.host(u'd')).constData(), &fs), 0);
        if (qint64(fs.f_bavail) * qint64(fs.f_frsize) < size + 512 * kLargePiece)
            QSKIP("less than 2.5 GiB free next to the temporary files, which a copy that fills the holes would need");
        const QString sourceHost = f.drives.host(u'c', kSourceName);
        {
            const int fd = ::open(QFile::encodeName(sourceHost).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            QVERIFY(fd >= 0);
            QCOMPARE(::ftruncate(fd, size), 0);
            // Data at the start, off any block boundary in the middle, and at the end.
            const struct {
                qint64 offset;
                qint64 bytes;
            } data[] = {{0, kLargePiece}, {1024 * kLargePiece + 100, 2 * kLargePiece}, {size - kLargePiece / 2, kLargePiece / 2}};
            for (const auto &d : data) {
                const QByteArray bytes = patternBytes(d.bytes, quint32(d.offset));
                QCOMPARE(::pwrite(fd, bytes.constData(), size_t(bytes.size()), d.offset), ssize_t(bytes.size()));
            }
            QCOMPARE(::close(fd), 0);
        }
        f.start();
        aimCopy(f, kSourceName);
        CopyWatch watch(f.c());

        f.c().cmdCopy->click();

        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        const QString destHost = f.drives.host(u'd', QStringLiteral("out.bin"));
        QCOMPARE(QFileInfo(destHost).size(), size);
        QCOMPARE(QProcess::execute(QStringLiteral("cmp"), {QStringLiteral("-s"), sourceHost, destHost}), 0);
        const qint64 sourceAllocated = allocatedBytes(sourceHost);
        const qint64 destAllocated = allocatedBytes(destHost);
        QVERIFY2(destAllocated <= sourceAllocated + 4 * kLargePiece,
                 qPrintable(QStringLiteral("the copy takes %1 bytes on disk, the source %2")
                                .arg(destAllocated).arg(sourceAllocated)));
        // The bar and captions move over the holes as over any other bytes.
        QCOMPARE(f.c().KorBar->barValue(), 100);
        QCOMPARE(f.c().lblCopied->caption(), QStringLiteral("2048 MB"));
        QFile::remove(destHost);
    }

    void deviceAsDestinationIsRefused_data()
    {
        QTest::addColumn<bool>("block"); // a loop device over a file of the test's own, else the null device
        QTest::newRow("character device") << false;
        QTest::newRow("block device") << true;
    }
    void deviceAsDestinationIsRefused()
    {
        QFETCH(bool, block);
        if (!isRoot())
            QSKIP("only root can make device nodes");
        FormFixture f;
        const QByteArray backing = patternBytes(kLargePiece, 64);
        QString loop;
        struct DetachLoop {
            QString &device;
            ~DetachLoop()
            {
                if (!device.isEmpty())
                    QProcess::execute(QStringLiteral("losetup"), {QStringLiteral("-d"), device});
            }
        } detach{loop};
        dev_t rdev = makedev(1, 3);
        if (block) {
            const QString backingHost = f.drives.host(u'c', QStringLiteral("backing.img"));
            f.drives.makeFile(u'c', QStringLiteral("backing.img"), backing);
            QProcess setup;
            setup.start(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), backingHost});
            if (!setup.waitForFinished(30000) || setup.exitCode() != 0)
                QSKIP(qPrintable(QStringLiteral("no loop device here: %1")
                                     .arg(QString::fromLocal8Bit(setup.readAllStandardError()).trimmed())));
            loop = QString::fromLocal8Bit(setup.readAllStandardOutput()).trimmed();
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(loop).constData(), &st), 0);
            rdev = st.st_rdev;
        }
        const mode_t type = block ? S_IFBLK : S_IFCHR;
        const QByteArray node = QFile::encodeName(f.drives.host(u'd', QStringLiteral("out.bin")));
        QCOMPARE(::mknod(node.constData(), type | 0666, rdev), 0);
        QVERIFY(prepareCopy(f, patternBytes(5000, 65)));
        f.dialogs.answers = {rt::AnswerYes, rt::AnswerYes}; // replace, were it asked
        CopyWatch watch(f.c());
        const DescriptorGuard descriptors;

        f.c().cmdCopy->click();

        const QString text = f.dialogs.messages().value(f.dialogs.messages().size() - 1);
        QVERIFY2(text.contains(QStringLiteral("D:\\out.bin")), qPrintable(text));
        QCOMPARE(f.dialogs.shown.last().style, 16);
        QCOMPARE(f.dialogs.shown.last().title, std::optional<QString>(kTalmo));
        QVERIFY(!f.dialogs.messages().contains(kCompleted));
        QVERIFY(watch.reads.isEmpty());
        struct stat after {};
        QCOMPARE(::lstat(node.constData(), &after), 0);
        QCOMPARE(after.st_mode & S_IFMT, type);
        QCOMPARE(after.st_rdev, rdev);
        if (block)
            QVERIFY(f.drives.read(u'c', QStringLiteral("backing.img")) == backing);
        QVERIFY(f.readyToCopy());
    }
};

QTEST_MAIN(TestRescue)
#include "tst_rescue.moc"
