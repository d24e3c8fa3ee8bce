#include "support/KeptKit.h"
#include "copy/job/WritingPlan.h"
#include "copy/rescue/SourceIdentity.h"
#include "runtime/files/WriterLock.h"
#include "runtime/text/NumberText.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <sys/xattr.h>

using namespace copytest;
using namespace testkit;
using namespace keptkit;

// The kept rescue's life on the suite's damaged medium: what a medium that
// refuses a flush, the program's own files, a changed source and a cut can do to it.

class TestKept : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        failingflush::failAfter(-1);
        resetTestSwitches();
    }


    // A medium that refuses a flush of the part never costs the rescue: it is
    // kept with the last map saved after a successful flush, no newer map is
    // saved for it, and the message says what is kept. At a Stop answered Yes
    // (the first save flushed, the Stop's flush fails) and going on with a
    // kept part (the final flush fails).
    void aRefusedFlushKeepsThePartAndItsMap_data()
    {
        QTest::addColumn<bool>("goingOn");
        QTest::newRow("Stop, Yes: kept with its first map") << false;
        QTest::newRow("going on with a kept part: kept with its map as it was") << true;
    }
    void aRefusedFlushKeepsThePartAndItsMap()
    {
        QFETCH(bool, goingOn);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 25);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        const QByteArray part = hostBytes(f.drives.host(u'd', kPart));
        failingflush::failAfter(goingOn ? -1 : 0, part.constData()); // the first save flushes the copy before it has the name
        keepARescue(f, medium);
        if (QTest::currentTestFailed())
            return;
        QByteArray mapBefore = f.drives.read(u'd', kPartMap);
        QVERIFY(finishedIn(mapBefore) > 0);
        const QString rescuedAtStop = QStringLiteral("2 MB of 3 MB were rescued");
        if (!goingOn) {
            QCOMPARE(f.dialogs.messages(), (QStringList{rescuedAtStop + QStringLiteral(".\r\nDo You Want to Keep Them in "
                                                                                        "'out.bin.part' to Go On Later."),
                                                        keptWithOlderMap(rescuedAtStop, mapBefore)}));
            QVERIFY(finishedIn(mapBefore) < 2 * kLargePiece); // the first map, saved at the first failure
        } else {
            f.dialogs.shown.clear();
            f.dialogs.answers = {rt::AnswerYes}; // go on with it
            failingflush::failAfter(0, part.constData());
            f.c().cmdCopy->click();
            QVERIFY(failingflush::flushes() > 0);
            const QStringList said = f.dialogs.messages();
            QCOMPARE(said.size(), 2);
            QVERIFY(said[0].startsWith(QStringLiteral("An unfinished copy of 'out.bin' is kept as 'out.bin.part': ")));
            QCOMPARE(said[1], notWritten() + reason(EIO) + QStringLiteral("\r\n")
                                  + keptWithOlderMap(rt::megabytesText(content.size() - 8 * kBlock) + QStringLiteral(" of 3 MB were rescued"), mapBefore));
            QCOMPARE(f.drives.read(u'd', kPartMap), mapBefore); // nothing newer than the last flush that worked
        }
        QVERIFY(!f.dialogs.messages().join(u'\n').contains(QStringLiteral("could not be kept")));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
        QVERIFY(finishedBlocksHold(f.drives.read(u'd', kPartMap), f.drives.read(u'd', kPart), content));
        QVERIFY(f.readyToCopy());

        // The next Copy, with a medium that flushes, goes on from it and ends as one rescue.
        failingflush::failAfter(-1);
        f.dialogs.shown.clear();
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        QVERIFY(f.dialogs.messages().size() == 2 && f.dialogs.messages()[1].startsWith(kCompleted));
        QByteArray expected = content;
        expected.replace(300 * kBlock, 8 * kBlock, QByteArray(8 * kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
        QVERIFY(!f.drives.exists(u'd', kPart) && !f.drives.exists(u'd', kPartMap));
    }

    // Anything thrown while a rescue is kept with a saved map (here out of
    // memory at a write) ends the copy as failed, and the part stays with its
    // map, which the message names: rescued data goes only on the user's No.
    void aRescueOutlivesWhatIsThrown()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 34);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        const QString map = f.drives.host(u'd', kPartMap);
        bool thrown = false;
        rt::setWriteFaultHook([&](qint64, qint64) -> int {
            if (!thrown && QFileInfo::exists(map)) {
                thrown = true;
                throw std::bad_alloc();
            }
            return 0;
        });
        f.c().cmdCopy->click();
        QVERIFY(thrown);
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("The destination file D:\\out.bin could not be written.\r\n")
                                                   + reason(ENOMEM)
                                                   + QStringLiteral("\r\n'out.bin.part' is kept to go on later with its map "
                                                                    "'out.bin.part.map' as last saved.")});
        QVERIFY(finishedIn(f.drives.read(u'd', kPartMap)) > 0);
        QVERIFY(finishedBlocksHold(f.drives.read(u'd', kPartMap), f.drives.read(u'd', kPart), content));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin")));
    }

    // The program's own files are never taken for a rescue to go on with: the
    // kept part chosen as the source and copied onto NAME is a plain copy (its
    // blocks never read would "read" as zeros), and says what it copied; a
    // link under the part's name, pointing outside the folder, is never
    // written through, though the map beside it fits the source.
    void ownFilesAreNotGoneOnWith_data()
    {
        QTest::addColumn<bool>("linked");
        QTest::newRow("NAME.part copied onto NAME") << false;
        QTest::newRow("NAME.part a link to a file outside") << true;
    }
    void ownFilesAreNotGoneOnWith()
    {
        QFETCH(bool, linked);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 26);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        keepARescue(f, medium);
        if (QTest::currentTestFailed())
            return;
        f.dialogs.shown.clear();
        const QByteArray part = f.drives.read(u'd', kPart), map = f.drives.read(u'd', kPartMap);
        if (!linked) {
            PlainProgress progress;
            const CopyEnd end = CopyJob({QStringLiteral("D:\\out.bin.part"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")},
                                        progress, f.dialogs)
                                    .run();
            QCOMPARE(int(end), int(CopyEnd::Completed));
            QCOMPARE(f.dialogs.messages(),
                     QStringList{kCompleted + QStringLiteral("\r\nThe file copied is an unfinished rescue: %1 bytes of it were "
                                                             "never read, as its map D:\\out.bin.part.map says.")
                                                  .arg(content.size() - finishedIn(map))});
            QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == part);
            QVERIFY(f.drives.read(u'd', kPart) == part);
            QCOMPARE(f.drives.read(u'd', kPartMap), map);
            return;
        }
        QTemporaryDir outside;
        const QString target = outside.filePath(QStringLiteral("elsewhere.bin"));
        QVERIFY(QFile::rename(f.drives.host(u'd', kPart), target));
        QVERIFY(QFile::link(target, f.drives.host(u'd', kPart)));
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        QVERIFY(!f.dialogs.messages().join(u'\n').contains(QStringLiteral("An unfinished copy")));
        QVERIFY(f.dialogs.messages().size() == 1 && f.dialogs.messages()[0].startsWith(kCompleted));
        QVERIFY(QFile(target).open(QIODevice::ReadOnly) && QFile(target).size() == part.size());
        QFile kept(target);
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == part); // never written through
        QCOMPARE(f.drives.read(u'd', kPartMap), map);
        QVERIFY(QFileInfo(f.drives.host(u'd', kPart)).isSymLink());
        QByteArray expected = content;
        expected.replace(300 * kBlock, 8 * kBlock, QByteArray(8 * kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
    }

    // A source changed since the rescue was kept, in a block the samples do
    // not read, is never gone on with without a question that names both
    // times; No leaves the kept part, and the copy is made afresh beside it.
    void aChangedSourceIsNotGoneOnWith()
    {
        FormFixture f;
        QByteArray content = sourceOnC(f, 27);
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        keepARescue(f, medium);
        if (QTest::currentTestFailed())
            return;
        f.dialogs.shown.clear();
        const QByteArray part = f.drives.read(u'd', kPart), map = f.drives.read(u'd', kPartMap);
        const QString host = f.drives.host(u'c', kSourceName);
        const QString before = QFileInfo(host).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QTest::qWait(1100); // changed a second later, as a user would change it
        content[5000] = char(~content[5000]); // block 1: between the first two samples
        QFile source(host);
        QVERIFY(source.open(QIODevice::ReadWrite) && source.seek(5000) && source.write(content.mid(5000, 1)) == 1);
        source.close();
        const QString after = QFileInfo(host).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QTest::qWait(1100); // the medium's driver tells the new time after its second of caching

        f.dialogs.answers = {rt::AnswerNo};
        f.c().cmdCopy->click();
        const QStringList said = f.dialogs.messages();
        QVERIFY2(said.value(0).startsWith(
                     QStringLiteral("'out.bin.part' was rescued from another file, or another version of this one: its map "
                                    "out.bin.part.map was written for 'src.bin', 3145728 bytes, changed %1; the source is "
                                    "'src.bin', 3145728 bytes, changed %2.\r\n")
                         .arg(before, after))
                     && said.value(0).endsWith(QStringLiteral("\r\nDo You Want to Read Only the Missing Parts From This One.")),
                 qPrintable(said.value(0)));
        QVERIFY(said.size() == 2 && said[1].startsWith(kCompleted));
        QVERIFY(f.drives.read(u'd', kPart) == part);
        QCOMPARE(f.drives.read(u'd', kPartMap), map);
        QByteArray expected = content;
        expected.replace(300 * kBlock, 8 * kBlock, QByteArray(8 * kBlock, '\0'));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == expected);
    }

    // What a cut leaves is recognised on the next Copy onto the name: a map of
    // ours whose copy is gone (the part took NAME, or never had a name, or
    // NAME.map was written before the part took NAME) and its temporary
    // files are cleared, and the rescue takes NAME.part again;
    // a map GNU ddrescue wrote is not ours to clear.
    void leftoversOfACutAreCleared_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<bool>("ours"); // cleared, and the rescue takes NAME.part
        QTest::newRow("this program's stale part map") << QStringLiteral("our map") << true;
        QTest::newRow("GNU ddrescue's map under that name") << QStringLiteral("ddrescue's map") << false;
        QTest::newRow("a part without its map, Yes deletes it") << QStringLiteral("part") << true;
        QTest::newRow("this program's final map without its copy") << QStringLiteral("our final map") << true;
    }
    void leftoversOfACutAreCleared()
    {
        QFETCH(QString, left);
        QFETCH(bool, ours);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 31);
        RescueMap stale;
        stale.set(0, content.size(), RescueMap::Status::NonTried);
        if (left == u"part") {
            f.drives.makeFile(u'd', kPart, content.left(kLargePiece));
            f.dialogs.answers = {rt::AnswerYes};
        } else if (left == u"our final map") { // a cut after NAME.map was written, before the part took NAME
            f.drives.makeFile(u'd', QStringLiteral("out.bin.map"), stale.mapfile("duplon C:\\src.bin D:\\out.bin"));
        } else {
            f.drives.makeFile(u'd', kPartMap, left == u"our map" ? stale.mapfile("duplon C:\\src.bin D:\\out.bin")
                                                                 : "# Mapfile. Created by GNU ddrescue version 1.27\n0x0 ? 1\n0x0 0x300000 ?\n");
        }
        const QString temporary = QStringLiteral(".out.bin.part.map.x1y2.tmp");
        f.drives.makeFile(u'd', temporary, "half a map");
        BadMedium medium(f.drives.host(u'c'), {.bad = {{300 * kBlock, 301 * kBlock}}});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        CopyWatch watch(f.c());
        bool keptAsPart = false;
        watch.onRead = [&](qint64, qint64) { keptAsPart = keptAsPart || f.drives.exists(u'd', kPart); };
        f.c().cmdCopy->click();
        QStringList said = f.dialogs.messages();
        if (left == u"part")
            QCOMPARE(said.takeFirst(), QStringLiteral("'out.bin.part' holds an unfinished copy of 'out.bin' without its map: what "
                                                      "in it was read is not known.\r\nDo You Want to Delete It."));
        QVERIFY(said.size() == 1 && said[0].startsWith(kCompleted));
        QCOMPARE(keptAsPart, ours);
        QCOMPARE(f.drives.exists(u'd', kPartMap), left == u"ddrescue's map");
        QCOMPARE(f.drives.exists(u'd', temporary), left == u"ddrescue's map"); // cleared once NAME.part is ours again
        QVERIFY(f.drives.exists(u'd', QStringLiteral("out.bin.map")) && !f.drives.exists(u'd', QStringLiteral("out.bin.1.part.map")));
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.1.map"))); // the map of this copy takes NAME.map
    }

    // Where the medium takes no unnamed file, a healthy copy is written under
    // a hidden name of its own, which a cut or a kill leaves. The next Copy
    // onto the name clears such a file of ours, but never the one another
    // copy (another window) is writing now, nor a file not named as ours.
    void aHiddenLeftoverGoesButNotACopyBeingWritten()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 34);
        rt::Destination::setUnnamedFilesAllowed(false);
        rt::Destination writing = prepareDestination(QStringLiteral("D:\\out.bin"), 0644); // the other window's
        QCOMPARE(::pwrite(writing.descriptor(), "another copy", 12, 0), ssize_t(12));
        const QStringList beforeCut = QDir(f.drives.host(u'd')).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(beforeCut.size(), 1);
        const QString beingWritten = beforeCut[0];
        QVERIFY2(beingWritten.startsWith(QStringLiteral(".out.bin.")) && beingWritten.endsWith(QStringLiteral(".part")), qPrintable(beingWritten));
        const QStringList cutLeft = {QStringLiteral(".out.bin.k2x9.part"), QStringLiteral(".out.bin.1z.part")};
        const QStringList notOurs = {QStringLiteral(".out.bin.notes.txt"), QStringLiteral(".other.bin.k2x9.part"),
                                     QStringLiteral(".out.bin.Not-Ours.part"), QStringLiteral(".out.bin.k2x9.part.bak")};
        for (const QString &name : cutLeft + notOurs)
            f.drives.makeFile(u'd', name, "half a copy");
        // What a copy onto the name left carries its mark; a name that only fits does not.
        for (const QString &name : cutLeft)
            if (::setxattr(QFile::encodeName(f.drives.host(u'd', name)).constData(), "user.duplon.copy", "out.bin", 7, 0) != 0)
                QSKIP("this medium keeps no extended attributes");

        PlainProgress progress;
        ScriptedDialogs dialogs;
        const CopyEnd end = CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")}, progress, dialogs).run();
        QCOMPARE(end, CopyEnd::Completed);
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
        for (const QString &name : cutLeft)
            QVERIFY2(!f.drives.exists(u'd', name), qPrintable(name));
        for (const QString &name : notOurs + QStringList{beingWritten})
            QVERIFY2(f.drives.exists(u'd', name), qPrintable(name));
        // The other window's copy goes on untouched and takes the name in its turn.
        const rt::Destination::Committed committed = writing.commit(12);
        QCOMPARE(committed.folderFlushError + committed.closeError, 0);
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), QByteArray("another copy"));
    }
};

QTEST_MAIN(TestKept)
#include "tst_kept.moc"
