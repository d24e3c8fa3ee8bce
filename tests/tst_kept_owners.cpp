#include "support/KeptKit.h"
#include "support/RescueKit.h"
#include "support/TmpfsMount.h"
#include "copy/rescue/RescueFiles.h"
#include "runtime/files/Destination.h"
#include "runtime/files/DirectReads.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/xattr.h>

using namespace copytest;
using namespace testkit;
using namespace keptkit;
using rescuekit::rescueMessage;
using rescuekit::sourceOnMedium;

// A rescue's files are never taken for someone else's: a Copy onto another
// name, a second window at the worst moment and a medium that fills at the
// end leave what was rescued and its map, each on the suite's media.

namespace {

// A Copy of a healthy file as a second window runs it; what it said.
struct SecondWindow {
    CopyEnd end = CopyEnd::Refused;
    QStringList said;
};
SecondWindow copyInASecondWindow(const QString &source, const QString &destination)
{
    PlainProgress progress;
    ScriptedDialogs dialogs;
    SecondWindow second;
    second.end = CopyJob({source, destination, destination.mid(destination.lastIndexOf(u'\\') + 1)}, progress, dialogs).run();
    second.said = dialogs.messages();
    return second;
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class TestKeptOwners : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        RescueFiles::setBeforeNaming(nullptr);
        rt::Destination::setBeforeRename(nullptr);
        resetTestSwitches();
    }

    // A rescue kept under a name that also fits a healthy copy's hidden name
    // for another file (".disk.img.part" for "disk"; ".bashrc.1.part" for
    // "bashrc", where ".bashrc.part" was taken), made by way of an unnamed file
    // or a hidden one: a Copy onto that other name leaves the part and its map.
    void aKeptPartIsNeverALeftover_data()
    {
        QTest::addColumn<QString>("rescuedOnto");
        QTest::addColumn<QString>("part");
        QTest::addColumn<QString>("copyOnto");
        QTest::addColumn<bool>("unnamed");
        QTest::newRow(".disk.img.part, Copy onto disk") << ".disk.img" << ".disk.img.part" << "disk" << true;
        QTest::newRow(".disk.img.part from a hidden file") << ".disk.img" << ".disk.img.part" << "disk" << false;
        QTest::newRow(".bashrc.1.part, Copy onto bashrc") << ".bashrc" << ".bashrc.1.part" << "bashrc" << false;
    }
    void aKeptPartIsNeverALeftover()
    {
        QFETCH(QString, rescuedOnto);
        QFETCH(QString, part);
        QFETCH(QString, copyOnto);
        QFETCH(bool, unnamed);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 41);
        f.drives.makeFile(u'c', QStringLiteral("plain.bin"), patternBytes(kLargePiece, 42));
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        rt::Destination::setUnnamedFilesAllowed(unnamed);
        const bool partTaken = part.contains(QStringLiteral(".1."));
        if (partTaken) // a file of the user's holds NAME.part: kept, and the rescue takes NAME.1.part
            f.drives.makeFile(u'd', rescuedOnto + QStringLiteral(".part"), "the user's");
        sourceOnMedium(f, medium);
        QVERIFY(startAimed(f, kSourceName, rescuedOnto));
        f.dialogs.answers = partTaken ? std::deque<int>{rt::AnswerNo, rt::AnswerYes} : std::deque<int>{rt::AnswerYes};
        CopyWatch watch(f.c());
        stopInALaterPass(f, watch);
        f.c().cmdCopy->click();
        QVERIFY2(f.drives.exists(u'd', part) && f.drives.exists(u'd', part + QStringLiteral(".map")),
                 qPrintable(filesIn(f.drives.host(u'd')).join(u' ')));
        const QByteArray rescued = f.drives.read(u'd', part), map = f.drives.read(u'd', part + QStringLiteral(".map"));

        const SecondWindow other = copyInASecondWindow(QStringLiteral("C:\\plain.bin"), QStringLiteral("D:\\") + copyOnto);
        QCOMPARE(other.end, CopyEnd::Completed);
        QCOMPARE(other.said, QStringList{kCompleted});
        QCOMPARE(f.drives.read(u'd', part), rescued);
        QCOMPARE(f.drives.read(u'd', part + QStringLiteral(".map")), map);
        QVERIFY(finishedBlocksHold(map, rescued, content));
    }

    // A hidden file that only fits a copy's hidden name, or carries the mark
    // of a copy onto another name, or has a map beside it, is no leftover;
    // one marked for this name, whose lock is free, is.
    void onlyAMarkedFileIsALeftover()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 43);
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', f.drives.host(u'd')}});
        const auto mark = [&](const QString &name, const QByteArray &forName) {
            const QByteArray path = QFile::encodeName(f.drives.host(u'd', name));
            return ::setxattr(path.constData(), "user.duplon.copy", forName.constData(), size_t(forName.size()), 0) == 0;
        };
        f.drives.makeFile(u'd', QStringLiteral(".out.bin.k2x9.part"), "half a copy");
        if (!mark(QStringLiteral(".out.bin.k2x9.part"), "out.bin"))
            QSKIP("this medium keeps no extended attributes");
        const QStringList kept = {QStringLiteral(".out.bin.5m.part"), QStringLiteral(".out.bin.6n.part"),
                                  QStringLiteral(".out.bin.7p.part"), QStringLiteral(".out.bin.6n.part.map")};
        for (const QString &name : kept)
            f.drives.makeFile(u'd', name, "the user's");
        QVERIFY(mark(QStringLiteral(".out.bin.6n.part"), "out.bin"));   // with a map beside it
        QVERIFY(mark(QStringLiteral(".out.bin.7p.part"), "other.bin")); // another copy's
        const SecondWindow copy = copyInASecondWindow(QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"));
        QCOMPARE(copy.end, CopyEnd::Completed);
        QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
        QVERIFY(!f.drives.exists(u'd', QStringLiteral(".out.bin.k2x9.part")));
        for (const QString &name : kept)
            QVERIFY2(f.drives.exists(u'd', name), qPrintable(name));
    }

    // A second window presses Copy onto NAME at the worst moment: a rescue
    // between its final map and the moment its part takes NAME, or a healthy
    // copy whose unnamed file is linked under its hidden name. It removes
    // nothing of the first copy's, which completes with its map there.
    void aSecondWindowRemovesNothingOfALiveCopy_data()
    {
        QTest::addColumn<bool>("rescue");
        QTest::newRow("a rescue between its final map and its name") << true;
        QTest::newRow("a healthy copy's unnamed file, linked") << false;
    }
    void aSecondWindowRemovesNothingOfALiveCopy()
    {
        QFETCH(bool, rescue);
        FormFixture f;
        const QByteArray content = sourceOnC(f, 44);
        BadMedium medium(f.drives.host(u'c'), rescue ? kEightBadBlocks : BadMedium::Options{});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        SecondWindow second;
        bool pressed = false;
        QStringList atThatMoment;
        const auto pressCopy = [&] {
            pressed = true;
            atThatMoment = filesIn(f.drives.host(u'd'));
            second = copyInASecondWindow(QStringLiteral("C:\\src.bin"), QStringLiteral("D:\\out.bin"));
        };
        if (rescue) {
            RescueFiles::setBeforeNaming([&](bool finalMap) {
                if (finalMap && !pressed)
                    pressCopy();
            });
        } else {
            // On the first copy's worker: the second window runs on the window's thread, as it would.
            rt::Destination::setBeforeRename([&] {
                if (!pressed)
                    QMetaObject::invokeMethod(qApp, pressCopy, Qt::BlockingQueuedConnection);
            });
        }
        f.c().cmdCopy->click();
        QVERIFY(pressed);
        const QStringList said = f.dialogs.messages();
        QCOMPARE(said.size(), qsizetype(1));
        if (rescue) {
            QVERIFY2(atThatMoment.contains(QStringLiteral("out.bin.map")), qPrintable(atThatMoment.join(u' ')));
            QCOMPARE(second.end, CopyEnd::Refused);
            QCOMPARE(second.said, QStringList{QStringLiteral("'out.bin.part' is not gone on with: Another copy is writing it."
                                                             "\r\nCopy it again once that copy has ended.")});
            QCOMPARE(said[0], rescueMessage(8 * kBlock, QStringLiteral("D:\\out.bin.map")));
            const QByteArray map = f.drives.read(u'd', QStringLiteral("out.bin.map"));
            QVERIFY(finishedBlocksHold(map, f.drives.read(u'd', QStringLiteral("out.bin")), content));
            QCOMPARE(finishedIn(map), content.size() - 8 * kBlock);
        } else {
            QCOMPARE(second.end, CopyEnd::Completed);
            QCOMPARE(said[0], kCompleted);
            QCOMPARE(f.drives.read(u'd', QStringLiteral("out.bin")), content);
            char mark[256]; // the mark of a copy in progress is not left on the copy
            QVERIFY(::getxattr(QFile::encodeName(f.drives.host(u'd', QStringLiteral("out.bin"))).constData(), "user.duplon.copy", mark, sizeof mark) < 0);
        }
        const QStringList left = filesIn(f.drives.host(u'd'));
        QCOMPARE(left, rescue ? QStringList({QStringLiteral("out.bin"), QStringLiteral("out.bin.map")}) : QStringList{QStringLiteral("out.bin")});
    }

    // The medium fills just as the final map is written: the rescue's own
    // map as last saved takes NAME.map (a rename needs no room), true of the
    // copy, the message says so, and the next Copy offers the retry.
    void aFullMediumAtTheEndKeepsAMap()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 45);
        QTemporaryDir mountBase;
        QVERIFY(mountBase.isValid());
        const TmpfsMount tmpfs(mountBase.path(), "size=8m");
        if (!tmpfs.mounted())
            QSKIP(qPrintable(tmpfs.whyNot()));
        BadMedium medium(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(medium);
        rt::Drives::instance().setFixedMap({{u'c', medium.path()}, {u'd', mountBase.path()}});
        QVERIFY(startAimed(f, kSourceName));
        const QString filler = mountBase.path() + QStringLiteral("/filler");
        RescueFiles::setBeforeNaming([&](bool finalMap) {
            if (finalMap)
                return;
            QFile fill(filler);
            if (!fill.open(QIODevice::WriteOnly))
                return;
            const QByteArray page(4096, 'f');
            while (fill.write(page) == page.size() && fill.flush()) {
            }
        });
        f.c().cmdCopy->click();
        RescueFiles::setBeforeNaming(nullptr);
        QVERIFY(QFile::remove(filler));
        const QStringList said = f.dialogs.messages();
        QCOMPARE(said.size(), qsizetype(1));
        QCOMPARE(said[0], kCompleted + QStringLiteral("\r\n%1 bytes could not be read and were written as zeros.").arg(8 * kBlock)
                              + QStringLiteral("\r\nThe map of the unreadable parts could not be written: ") + reason(ENOSPC)
                              + QStringLiteral("\r\nThe rescue's map as last saved was kept as D:\\out.bin.map instead: it may "
                                               "list parts read since as not yet read.")
                              + QStringLiteral("\r\nCopy pressed again later onto the same name reads only the damaged parts again."));
        QCOMPARE(filesIn(mountBase.path()), QStringList({QStringLiteral("out.bin"), QStringLiteral("out.bin.map")}));
        QFile mapFile(mountBase.path() + QStringLiteral("/out.bin.map")), copy(mountBase.path() + QStringLiteral("/out.bin"));
        QVERIFY(mapFile.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
        const QByteArray mapText = mapFile.readAll();
        QVERIFY(finishedIn(mapText) > 0);
        QVERIFY(finishedBlocksHold(mapText, copy.readAll(), content));

        // Copy again: the retry is offered (No, then No to replacing it).
        f.dialogs.shown.clear();
        f.dialogs.answers = {rt::AnswerNo, rt::AnswerNo};
        f.c().cmdCopy->click();
        const QStringList asked = f.dialogs.messages();
        QVERIFY(!asked.isEmpty());
        QVERIFY2(asked[0].startsWith(QStringLiteral("An earlier copy of 'out.bin' is there: ")), qPrintable(asked[0]));
    }

    // Going on in place with an earlier copy written over an older file: the
    // parts not yet read still hold the old file's bytes, so every block the
    // map will call finished is written, holes of the source too.
    void goingOnInPlaceWritesEveryFinishedBlock()
    {
        FormFixture f;
        const qint64 mib = kLargePiece;
        QByteArray content = patternBytes(3 * mib, 46);
        content.replace(mib, mib, QByteArray(mib, '\0')); // a hole below
        const QString source = f.drives.host(u'c', kSourceName);
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(content.left(mib)) == mib && file.seek(2 * mib) && file.write(content.mid(2 * mib)) == mib);
        }
        QByteArray earlier = content.left(mib) + QByteArray(2 * mib, '\xee'); // an old file's bytes beyond
        f.drives.makeFile(u'd', QStringLiteral("out.bin"), earlier);
        RescueMap map;
        map.set(0, mib, RescueMap::Status::Finished);
        map.set(mib, 2 * mib, RescueMap::Status::NonTried);
        f.drives.makeFile(u'd', QStringLiteral("out.bin.map"), map.mapfile("duplon C:\\src.bin D:\\out.bin"));
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', f.drives.host(u'd')}});
        QVERIFY(startAimed(f, kSourceName));
        f.dialogs.answers = {rt::AnswerYes};
        f.c().cmdCopy->click();
        const QStringList said = f.dialogs.messages();
        QVERIFY2(said.size() == 2 && said[0].startsWith(QStringLiteral("An earlier copy of 'out.bin' is there: ")), qPrintable(said.join(u'|')));
        QVERIFY2(said[1].startsWith(kCompleted), qPrintable(said[1]));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == content);
    }

    // A block of zeros that is data (not a hole) is written at the device
    // like any other, over a destination that is not zeros; a hole is written
    // only where the destination holds older data.
    void aDirectReadWritesEveryDataBlock_data()
    {
        QTest::addColumn<bool>("holesWritten");
        QTest::newRow("a fresh destination") << false;
        QTest::newRow("older data under it") << true;
    }
    void aDirectReadWritesEveryDataBlock()
    {
        QFETCH(bool, holesWritten);
        FormFixture f;
        constexpr qint64 unit = 4096;
        const QByteArray a(unit, 'a'), zeros(unit, '\0'), b(unit, 'b');
        {
            QFile file(f.drives.host(u'c', kSourceName)); // a, zeros written, a hole, b
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write(a + zeros) == 2 * unit && file.seek(3 * unit) && file.write(b) == unit);
        }
        f.drives.makeFile(u'd', QStringLiteral("out.bin"), QByteArray(4 * unit, '\xff'));
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', f.drives.host(u'd')}});
        const rt::File source = rt::File::open(QStringLiteral("C:\\src.bin"), rt::File::Access::Read);
        rt::DirectReads reads(source, unit);
        if (reads.refused())
            QSKIP("this medium takes no direct access");
        reads.setHolesWritten(holesWritten);
        QFile dest(f.drives.host(u'd', QStringLiteral("out.bin")));
        QVERIFY(dest.open(QIODevice::ReadWrite));
        const rt::PieceResult r = reads.copy(0, 4 * unit, dest.handle());
        QCOMPARE(r.failure, rt::PieceResult::Failure::None);
        QCOMPARE(r.bytes, 4 * unit);
        dest.close();
        const QByteArray copy = f.drives.read(u'd', QStringLiteral("out.bin"));
        QVERIFY(copy.left(unit) == a && copy.mid(unit, unit) == zeros && copy.mid(3 * unit) == b);
        QVERIFY(copy.mid(2 * unit, unit) == (holesWritten ? zeros : QByteArray(unit, '\xff')));
    }

    // Two damaged copies of one file, the second (made with cp) newer and
    // damaged elsewhere: Copy from the second onto the rescue of the first
    // asks, naming both files, and Yes reads only the missing parts from the
    // second, which ends with the whole file.
    void twoDamagedCopiesOfOneFileMerge()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 47);
        QTemporaryDir other;
        QVERIFY(other.isValid());
        QTest::qWait(1100); // the copy made a second later, as cp stamps it
        {
            QFile copy(other.filePath(QStringLiteral("copy.bin")));
            QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write(content) == content.size());
        }
        BadMedium first(f.drives.host(u'c'), kEightBadBlocks);
        SKIP_UNLESS_MOUNTED(first);
        BadMedium second(other.path(), {.bad = {{600 * kBlock, 608 * kBlock}}});
        SKIP_UNLESS_MOUNTED(second);
        rt::Drives::instance().setFixedMap({{u'c', first.path()}, {u'd', f.drives.host(u'd')}, {u'e', second.path()}});
        QVERIFY(startAimed(f, kSourceName));
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{rescueMessage(8 * kBlock, QStringLiteral("D:\\out.bin.map"))});

        PlainProgress progress;
        ScriptedDialogs dialogs;
        dialogs.answers = {rt::AnswerYes};
        const CopyEnd end = CopyJob({QStringLiteral("E:\\copy.bin"), QStringLiteral("D:\\out.bin"), QStringLiteral("out.bin")}, progress, dialogs).run();
        const QStringList said = dialogs.messages();
        QVERIFY2(!said.isEmpty() && said[0].startsWith(QStringLiteral("'out.bin' was rescued from another file, or another version of this one: "
                                                                      "its map out.bin.map was written for 'src.bin', 3145728 bytes, changed "))
                     && said[0].contains(QStringLiteral("; the source is 'copy.bin', 3145728 bytes, changed "))
                     && said[0].contains(QStringLiteral(" sampled blocks read the same from both; were it another version of the file, the copy would mix the two."))
                     && said[0].endsWith(QStringLiteral("\r\nDo You Want to Read Only the Missing Parts From This One.")),
                 qPrintable(said.join(u'|')));
        QCOMPARE(end, CopyEnd::Completed);
        QCOMPARE(said.size(), qsizetype(2));
        QVERIFY(f.drives.read(u'd', QStringLiteral("out.bin")) == content);
        QVERIFY(!f.drives.exists(u'd', QStringLiteral("out.bin.map")));
    }

    // A read at the device that stops inside a sector, short of the source's
    // end, is a failure there, never the source's end: the copy has the
    // source's length, and its map calls finished only what was read.
    void aShortReadInsideASectorIsAFailure()
    {
        FormFixture f;
        const QByteArray content = sourceOnC(f, 48);
        BadMedium medium(f.drives.host(u'c'), {.bad = {{300 * kBlock + 1000, 301 * kBlock}}, .shortReadsExact = true});
        SKIP_UNLESS_MOUNTED(medium);
        QVERIFY(startOnMedium(f, medium));
        f.c().cmdCopy->click();
        const QStringList said = f.dialogs.messages();
        QVERIFY2(said.size() == 1 && said[0].startsWith(kCompleted + QStringLiteral("\r\n")) && said[0].contains(QStringLiteral(" bytes could not be read")),
                 qPrintable(said.join(u'|')));
        const QByteArray copy = f.drives.read(u'd', QStringLiteral("out.bin")), map = f.drives.read(u'd', QStringLiteral("out.bin.map"));
        QCOMPARE(copy.size(), content.size());
        QVERIFY(finishedBlocksHold(map, copy, content));
        QVERIFY2(finishedIn(map) < content.size() && finishedIn(map) >= content.size() - kBlock, qPrintable(QString::fromUtf8(map)));
    }
};

QTEST_MAIN(TestKeptOwners)
#include "tst_kept_owners.moc"
