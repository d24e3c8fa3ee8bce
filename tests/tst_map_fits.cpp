#include "copy/rescue/MapFinder.h"
#include "runtime/files/FileAccess.h"
#include "runtime/media/IoWorker.h"
#include "support/TestKit.h"
#include "support/TestDrives.h"

#include <QTest>

using namespace testkit;

class TestMapFits : public QObject {
    Q_OBJECT
private slots:
    void offersOnlyAMapThatFits_data()
    {
        QTest::addColumn<QStringList>("names"); // maps beside D:\out.bin
        QTest::addColumn<QByteArrayList>("texts");
        QTest::addColumn<bool>("copyDiffers"); // a byte of a finished block changed in the copy
        QTest::addColumn<QString>("offered");  // the map offered, or none
        QTest::addColumn<qint64>("unfinished");

        // 40960 bytes, of which block 4 was not read, as the copy lacks it.
        const auto map = [](const QByteArray &time, const QByteArray &areas,
                            const QByteArray &command = "ddrescue -b 4096 /dev/sdb1 out.bin out.bin.map") {
            return "# Mapfile. Created by GNU ddrescue version 1.27\n# Command line: " + command
                + "\n# Current time: " + time + "\n0x00004000     -               2\n" + areas;
        };
        const QByteArray fits = "0x0 0x4000 +\n16384 4096 - # marginal\n0x5000 0x5000 +\n";
        const QByteArray own = RescueMap::parse(map("t", fits))->mapfile("duplon"); // read, then written back
        const QString name = QStringLiteral("out.bin.map"), log = QStringLiteral("rescue.log");
        const QString newer = QStringLiteral("out.bin.1.map");

        QTest::newRow("this program's map") << QStringList{name} << QByteArrayList{own} << false << name << qint64(4096);
        QTest::newRow("a finished block differs") << QStringList{name} << QByteArrayList{own} << true << QString() << qint64(0);
        QTest::newRow("ddrescue's statuses")
            << QStringList{name} << QByteArrayList{map("t", "0 8192 +\n8192 4096 ?\n12288 8192 /\n20480 20480 +\n")}
            << false << name << qint64(12288);
        for (const auto &[row, text] : {std::pair<const char *, QByteArray>{"another length", map("t", "0 16384 +\n16384 8192 -\n")},
                                        {"nothing left to read", map("t", "0 40960 +\n")},
                                        {"a gap", map("t", "0 16384 +\n20480 20480 -\n")},
                                        {"an unknown status", map("t", "0 40960 x\n")},
                                        {"no status line", "0 40960 -\n"}})
            QTest::newRow(row) << QStringList{name} << QByteArrayList{text} << false << QString() << qint64(0);
        // 40960 bytes have 80 sectors: a map of 81 areas is another source's,
        // and so is one of another length however large; neither is read whole.
        QByteArray tooMany = "0x0 0x4000 +\n16384 4096 -\n";
        for (qint64 pos = 20480; pos < 40960; pos += 256)
            tooMany += QByteArray::number(pos) + " 256 " + (pos % 512 ? "+\n" : "-\n");
        QByteArray large = map("t", "");
        for (qint64 pos = 0; pos < 200000 * 512; pos += 512)
            large += QByteArray::number(pos) + " 512 " + (pos % 1024 ? "+\n" : "-\n");
        for (const auto &[row, text] : {std::pair<const char *, QByteArray>{"more areas than sectors", map("t", tooMany)},
                                        {"a large map of another source", large},
                                        {"areas out of order", map("t", "0x5000 0 +\n0 0x5000 +\n0x5000 0x5000 -\n")}})
            QTest::newRow(row) << QStringList{name} << QByteArrayList{text} << false << QString() << qint64(0);
        QTest::newRow("ddrescue's log for the pair")
            << QStringList{log} << QByteArrayList{map("t", fits, "ddrescue -b4096 /dev/sdb1 out.bin rescue.log -r3")}
            << false << log << qint64(4096);
        QTest::newRow("ddrescue's log for another copy")
            << QStringList{log} << QByteArrayList{map("t", fits, "ddrescue /dev/sdb1 other.bin rescue.log")} << false
            << QString() << qint64(0);
        QTest::newRow("the newest fits")
            << QStringList{name, newer} << QByteArrayList{map("2026-01-01 10:00:00", "0 40960 -\n"), map("2026-01-02 09:00:00", fits)}
            << false << newer << qint64(4096);
        QTest::newRow("the newest does not fit")
            << QStringList{name, newer} << QByteArrayList{map("2026-01-03 10:00:00", "0 8192 -\n"), map("2026-01-02 09:00:00", fits)}
            << false << QString() << qint64(0);
    }
    void offersOnlyAMapThatFits()
    {
        QFETCH(QStringList, names);
        QFETCH(QByteArrayList, texts);
        QFETCH(bool, copyDiffers);
        QFETCH(QString, offered);
        QFETCH(qint64, unfinished);
        TestDrives drives;
        const QByteArray content = patternBytes(40960, 9);
        drives.makeFile(u'c', QStringLiteral("src.bin"), content);
        QByteArray copy = content;
        copy.replace(16384, 4096, QByteArray(4096, '\0'));
        if (copyDiffers)
            copy[30000] = char(~copy[30000]);
        drives.makeFile(u'd', QStringLiteral("out.bin"), copy);
        for (qsizetype i = 0; i < names.size(); ++i)
            drives.makeFile(u'd', names[i], texts[i]);

        const rt::File source = rt::File::open(QStringLiteral("C:\\src.bin"), rt::File::Access::Read);
        rt::IoWorker io;
        const std::optional<Resumable> found = findResumable(QStringLiteral("D:\\out.bin"), source, io);
        QCOMPARE(found ? found->mapPath() : QString(), offered.isEmpty() ? QString() : QStringLiteral("D:\\") + offered);
        QCOMPARE(found ? found->unfinished : 0, unfinished);
    }
};

QTEST_GUILESS_MAIN(TestMapFits)
#include "tst_map_fits.moc"
