#include "support/CopyWatch.h"
#include "support/DiskMedium.h"
#include "support/SshShare.h"
#include "support/TestKit.h"
#include "runtime/controls/DriveList.h"
#include "runtime/media/Volume.h"

#include <QApplication>
#include <QTest>
#include <QTimer>
#include <QTimeZone>

#include <sys/statvfs.h>

using namespace copytest;
using Kind = DiskMedium::Kind;

// Copies onto real file systems of every kind a user meets: what fits and
// what does not, names Windows cannot open, letter case, media without owners,
// and the drive list's names for them.

namespace {

const QString kOverwriteOutBin = QStringLiteral("A file naming 'OUT.BIN' already exists.\r\nDo You Want to OverWrite the File.");

// How a medium treats a name Windows does not allow.
enum class NameFate { Plain, Asked, Refused };

QDateTime kOldTime = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5, 500), Qt::UTC);

// Writes a file of `size` bytes, or until the medium is full.
void writeFile(const QString &path, qint64 size, char fill)
{
    QFile file(path);
    const QByteArray chunk(1 << 20, fill);
    if (file.open(QIODevice::WriteOnly))
        for (qint64 left = size; left > 0 && file.write(chunk.constData(), std::min<qint64>(chunk.size(), left)) > 0;)
            left -= chunk.size();
    file.flush();
    ::fsync(file.handle());
}

// Fills a medium until about `leave` bytes are free (btrfs's estimate may end it sooner).
void fillLeaving(const QString &folder, qint64 leave)
{
    struct statvfs fs {};
    ::statvfs(QFile::encodeName(folder).constData(), &fs);
    writeFile(folder + QStringLiteral("/filler"), qint64(fs.f_bavail) * qint64(fs.f_frsize) - leave, 'f');
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(NameFate)

class TestDisks : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { rt::Drives::instance().useSystemMap(), testkit::resetTestSwitches(); }

    void everyKindOfDisk_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("type");      // what the volume's file system is called
        QTest::addColumn<NameFate>("colon");    // a name with ':'
        QTest::addColumn<NameFate>("dotAtEnd"); // a name ending in '.'
        QTest::newRow("ext4") << Kind::Ext4 << "ext4" << NameFate::Plain << NameFate::Plain;
        QTest::newRow("xfs") << Kind::Xfs << "xfs" << NameFate::Plain << NameFate::Plain;
        QTest::newRow("btrfs") << Kind::Btrfs << "btrfs" << NameFate::Plain << NameFate::Plain;
        QTest::newRow("exFAT, exfat-fuse") << Kind::Exfat << "exfat" << NameFate::Refused << NameFate::Asked;
        QTest::newRow("NTFS, ntfs-3g") << Kind::Ntfs << "ntfs" << NameFate::Asked << NameFate::Asked;
        QTest::newRow("NTFS, windows_names") << Kind::NtfsWindowsNames << "ntfs" << NameFate::Refused << NameFate::Refused;
        QTest::newRow("FAT-like FUSE") << Kind::FatLike << "vfat" << NameFate::Refused << NameFate::Asked;
    }
    void everyKindOfDisk()
    {
        QFETCH(Kind, kind);
        QFETCH(QString, type);
        QFETCH(NameFate, colon);
        QFETCH(NameFate, dotAtEnd);
        DiskMedium medium(kind, kind == Kind::Xfs ? 320 : kind == Kind::Btrfs ? 160 : 64, QStringLiteral("MYSTICK"));
        SKIP_UNLESS_MOUNTED(medium);

        // The drive list names a device's volume by its label, the tooltip by
        // its folder, real file system and space.
        if (kind != Kind::FatLike) {
            rt::Drives::instance().useSystemMap();
            rt::DriveList list;
            const int index = list.findText(QStringLiteral(": [MYSTICK]"), Qt::MatchEndsWith);
            QVERIFY(index >= 0);
            QCOMPARE(rt::Drives::instance().root(list.itemData(index).toString().at(0)), medium.path());
            const QString tip = list.itemData(index, Qt::ToolTipRole).toString();
            QVERIFY2(tip.contains(QStringLiteral("Folder: ") + medium.path()) && tip.contains(QStringLiteral("File system: ") + type)
                         && tip.contains(u" free of "),
                     qPrintable(tip));
            QCOMPARE(list.itemText(0), QStringLiteral("c: [/]"));
        }
        const std::optional<rt::Volume> volume = rt::volumeOf(medium.path());
        QVERIFY(volume);
        QCOMPARE(volume->type, type);

        // Given a source with an old modification time, copied to D: on the medium,
        FormFixture f;
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', medium.path()}});
        QVERIFY(prepareCopy(f, QByteArray(3 * 1048576 + 7, 'a')));
        QFile source(f.drives.host(u'c', QStringLiteral("src.bin")));

        // a new copy and a replace of it (owners and modes where the medium
        // has none) complete, and keep the source's time to the medium's resolution (FAT: 2 s);
        for (const char fill : {'a', 'b'}) {
            f.drives.makeFile(u'c', QStringLiteral("src.bin"), QByteArray(3 * 1048576 + 7, fill));
            QVERIFY(source.open(QIODevice::ReadWrite) && source.setFileTime(kOldTime, QFileDevice::FileModificationTime));
            source.close();
            f.dialogs.shown.clear();
            f.dialogs.answers = {rt::AnswerYes};
            f.c().cmdCopy->click();
            QCOMPARE(f.dialogs.messages().constLast(), kCompleted);
            QCOMPARE(readAll(medium.path() + QStringLiteral("/out.bin")), QByteArray(3 * 1048576 + 7, fill));
            const qint64 drift = QFileInfo(medium.path() + QStringLiteral("/out.bin")).lastModified().msecsTo(kOldTime);
            QVERIFY2(std::abs(drift) <= (medium.windowsMedium() ? 2000 : 0), qPrintable(QString::number(drift)));
        }
        QCOMPARE(f.dialogs.shown.size(), qsizetype(2)); // the replace was asked

        // a name that differs only in letter case replaces that file on
        // Windows media, one file remaining under the typed name;
        f.dialogs.shown.clear();
        f.dialogs.answers = {rt::AnswerYes};
        f.c().txtDest->setText(QStringLiteral("OUT.BIN"));
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages().constLast(), kCompleted);
        QCOMPARE(f.dialogs.shown.size(), qsizetype(medium.windowsMedium() ? 2 : 1));
        QCOMPARE(f.dialogs.shown.first().prompt,
                 medium.windowsMedium() ? kOverwriteOutBin : kCompleted);
        QCOMPARE(entries(medium.path()).filter(QStringLiteral(".bin"), Qt::CaseInsensitive),
                 medium.windowsMedium() ? QStringList{"OUT.BIN"} : (QStringList{"OUT.BIN", "out.bin"}));

        // and names Windows cannot open are refused or asked about before a byte is written.
        for (const auto &[name, fate, rule] : {std::tuple{QStringLiteral("a:b.bin"), colon, QStringLiteral("the character ':'")},
                                               std::tuple{QStringLiteral("a.bin."), dotAtEnd, QStringLiteral("a dot at its end")}}) {
            const QStringList before = entries(medium.path());
            f.dialogs.shown.clear();
            f.c().txtDest->setText(name);
            CopyWatch watch(f.c());
            f.c().cmdCopy->click(); // a question is answered No
            QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
            const auto &shown = f.dialogs.shown.first();
            if (fate == NameFate::Plain) {
                QCOMPARE(shown.prompt, kCompleted);
                continue;
            }
            QVERIFY2(shown.prompt.contains(rule) && shown.prompt.contains(u"rive D: [") && shown.prompt.contains(type),
                     qPrintable(shown.prompt));
            QCOMPARE(shown.style, fate == NameFate::Asked ? 52 : 16);
            QCOMPARE(shown.title, std::optional<QString>(kTalmo));
            QCOMPARE(watch.reads.size(), qsizetype(0));
            QCOMPARE(entries(medium.path()), before);
        }

        // Long names in another script, 67 and 85 characters (201 and 255
        // bytes), copy and keep a map of a part that could not be read: every
        // name made beside them is cut at a whole character.
        rt::setReadFaultHook([](qint64 offset, qint64) { return offset == 0 ? EIO : 0; });
        for (const int length : {67, 85}) {
            const QString name = QString(length - 4, QChar(0x6587)) + QStringLiteral(".bin");
            f.c().txtDest->setText(name);
            f.dialogs.shown.clear();
            f.c().cmdCopy->click();
            QVERIFY2(f.dialogs.messages().constLast().contains(u"A map of the unreadable parts was written to D:\\"),
                     qPrintable(f.dialogs.messages().join(u'|')));
            QVERIFY(QFileInfo(medium.path() + u'/' + name).size() == 3 * 1048576 + 7);
            QCOMPARE(entries(medium.path()).filter(QStringLiteral(".map")).size(), qsizetype(length == 67 ? 1 : 2));
        }
        rt::setReadFaultHook(nullptr);

        // A file past the FAT limit is refused at once, naming the limit.
        if (volume->maxFileSize < 0)
            return;
        QVERIFY(QFile::resize(source.fileName(), Q_INT64_C(4294967296)));
        f.c().txtDest->setText(QStringLiteral("big.bin"));
        f.dialogs.shown.clear();
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(),
                 QStringList{QStringLiteral("The file C:\\src.bin is too large for drive D: [m] (vfat).\r\nIt has 4.0 GiB "
                                            "(4,294,967,296 bytes); the largest file that file system takes has 4 GiB \u2212 1 byte "
                                            "(4,294,967,295 bytes).")});
        QVERIFY(!QFile::exists(medium.path() + QStringLiteral("/big.bin")));
    }

    // Room on the medium, checked before a byte is written: a copy that does
    // not fit is refused with the numbers, one that fits only in place of the
    // file it replaces is asked about.
    void roomOnTheMedium_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::newRow("ext4") << Kind::Ext4;
        QTest::newRow("xfs") << Kind::Xfs;
        QTest::newRow("btrfs") << Kind::Btrfs;
        QTest::newRow("exFAT, exfat-fuse") << Kind::Exfat;
        QTest::newRow("NTFS, ntfs-3g") << Kind::Ntfs;
    }
    void roomOnTheMedium()
    {
        QFETCH(Kind, kind);
        DiskMedium medium(kind, kind == Kind::Xfs ? 320 : kind == Kind::Btrfs ? 160 : 96, QStringLiteral("FULL"));
        SKIP_UNLESS_MOUNTED(medium);
        constexpr qint64 MiB = 1048576;

        // Given an old file of 24 MiB and about 12 MiB free beside it,
        FormFixture f;
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', medium.path()}});
        writeFile(medium.path() + QStringLiteral("/old.bin"), 24 * MiB, 'o');
        fillLeaving(medium.path(), 12 * MiB);
        QVERIFY(prepareCopy(f, QByteArray(24 * MiB, 'n'), QStringLiteral("new.bin")));
        const QStringList before = entries(medium.path());

        // a new file of 24 MiB is refused at once (btrfs, which may compress, tries);
        {
            CopyWatch watch(f.c());
            f.c().cmdCopy->click();
            QCOMPARE(f.dialogs.shown.size(), qsizetype(1));
            const QString text = f.dialogs.shown.first().prompt;
            if (kind == Kind::Btrfs) {
                QVERIFY2(text.startsWith(u"The destination file D:\\new.bin could not be written."), qPrintable(text));
            } else {
                QVERIFY2(text.startsWith(u"The file C:\\src.bin does not fit on drive D: [FULL]")
                             && text.contains(u"needs 24.0 MiB (25,165,824 bytes)"),
                         qPrintable(text));
                QCOMPARE(watch.reads.size(), qsizetype(0));
            }
            QCOMPARE(entries(medium.path()), before);
        }
        // over the old file it is asked about, No keeps the old file, Yes writes it in place;
        f.c().txtDest->setText(QStringLiteral("old.bin"));
        for (const int answer : {rt::AnswerNo, rt::AnswerYes}) {
            f.dialogs.shown.clear();
            f.dialogs.answers = {rt::AnswerYes, answer};
            f.c().cmdCopy->click();
            QCOMPARE(f.dialogs.shown.size(), qsizetype(answer == rt::AnswerYes ? 3 : 2));
            const QString question = f.dialogs.shown[1].prompt;
            QVERIFY2(question.contains(u"room for the new file D:\\old.bin only in place of the old one")
                         && question.contains(u"the old file is lost if the copy is stopped or fails"),
                     qPrintable(question));
            QCOMPARE(f.dialogs.shown[1].style, 52);
            QCOMPARE(readAll(medium.path() + QStringLiteral("/old.bin")), QByteArray(24 * MiB, answer == rt::AnswerYes ? 'n' : 'o'));
        }
        QCOMPARE(f.dialogs.messages().constLast(), kCompleted);
        QCOMPARE(entries(medium.path()), before);

        // On Windows media the old file in another letter case is written in
        // place too, and named as typed.
        if (!medium.windowsMedium())
            return;
        f.drives.makeFile(u'c', QStringLiteral("src.bin"), QByteArray(24 * MiB, 'm'));
        f.c().txtDest->setText(QStringLiteral("OLD.BIN"));
        f.dialogs.shown.clear();
        f.dialogs.answers = {rt::AnswerYes, rt::AnswerYes};
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.shown.size(), qsizetype(3));
        QCOMPARE(f.dialogs.messages().constLast(), kCompleted);
        QCOMPARE(entries(medium.path()).filter(QStringLiteral("old.bin"), Qt::CaseInsensitive), QStringList{"OLD.BIN"});
        QCOMPARE(readAll(medium.path() + QStringLiteral("/OLD.BIN")), QByteArray(24 * MiB, 'm'));
    }

    // A copy onto itself under a name that differs in letter case, on a FUSE
    // medium that gives each name its own number, is refused before any
    // question, with room for a copy and without.
    void copyOntoItselfInAnotherCase_data()
    {
        QTest::addColumn<bool>("full");
        QTest::newRow("exFAT, exfat-fuse, with room") << false;
        QTest::newRow("exFAT, exfat-fuse, nearly full") << true;
    }
    void copyOntoItselfInAnotherCase()
    {
        QFETCH(bool, full);
        DiskMedium medium(Kind::Exfat, 64, QStringLiteral("SELF"));
        if (!medium.mounted())
            QSKIP(qPrintable(medium.whyNot()));
        writeFile(medium.path() + QStringLiteral("/v.bin"), 3 * 1048576, 'v');
        if (full)
            fillLeaving(medium.path(), 1048576);
        FormFixture f;
        rt::Drives::instance().setFixedMap({{u'c', f.drives.host(u'c')}, {u'd', medium.path()}});
        f.start();
        FormFixture::pickDrive(f.c().KorDrv, u'd');
        QVERIFY(f.c().KorFile->selectFile(QStringLiteral("v.bin")));
        f.c().Dir2->setPath(QStringLiteral("D:\\"));
        f.c().txtDest->setText(QStringLiteral("V.BIN"));
        f.dialogs.answers = {rt::AnswerYes, rt::AnswerYes};
        f.c().cmdCopy->click();
        QCOMPARE(f.dialogs.messages(), QStringList{QStringLiteral("Source and destination are the same file.")});
        QCOMPARE(readAll(medium.path() + QStringLiteral("/v.bin")), QByteArray(3 * 1048576, 'v'));
    }

    // A network share (sshfs over a local sshd) is a drive: browsed, copied to
    // and from; one that goes away mid-copy is a failed write that keeps the
    // old file, and one whose server stops answering leaves the window live.
    void networkShare()
    {
        SshShare share;
        SKIP_UNLESS_MOUNTED(share);
        FormFixture f;
        f.drives.makeFile(u'c', QStringLiteral("src.bin"), QByteArray(5 * 1048576, 's'));
        rt::Drives::instance().useSystemMap();
        const QChar letter = rt::Drives::instance().refresh().constLast();
        QCOMPARE(rt::Drives::instance().root(letter), share.path());
        const QString hostC = QStringLiteral("C:") + f.drives.host(u'c').replace(u'/', u'\\');
        const QString shareRoot = QStringLiteral("%1:\\").arg(letter.toUpper());
        f.start();
        QCOMPARE(f.c().drv2->itemText(f.c().drv2->count() - 1), QStringLiteral("%1: [m]").arg(letter));
        const auto copy = [&](const QString &from, const QString &name, const QString &to, const QString &as) {
            f.c().KorDir->setPath(from);
            QVERIFY(f.c().KorFile->selectFile(name));
            f.c().Dir2->setPath(to);
            f.c().txtDest->setText(as);
            f.dialogs.shown.clear();
            f.dialogs.answers = {rt::AnswerYes};
            f.c().cmdCopy->click();
        };
        copy(hostC, QStringLiteral("src.bin"), shareRoot, QStringLiteral("out.bin"));
        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        copy(shareRoot, QStringLiteral("out.bin"), hostC, QStringLiteral("back.bin"));
        QCOMPARE(f.dialogs.messages(), QStringList{kCompleted});
        QCOMPARE(f.drives.read(u'c', QStringLiteral("back.bin")), QByteArray(5 * 1048576, 's'));

        // The server stops answering: its drive is not ready after the answer
        // limit, and the window handles its events all the while.
        share.pause();
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, this, [&] { ++ticks; });
        timer.start(100);
        FormFixture::pickDrive(f.c().drv2, letter);
        QCOMPARE(f.dialogs.messages().constLast(), rt::kDeviceUnavailable);
        QVERIFY2(ticks >= 80 && ticks <= 130, qPrintable(QString::number(ticks)));
        share.resume();

        {   // the share drops during a replace: a failed write, the old file kept.
            CopyWatch watch(f.c());
            watch.onRead = [&](qint64 offset, qint64) { if (offset == 2 * 1048576) share.drop(); };
            writeFile(share.served() + QStringLiteral("/out.bin"), 1000, 'o');
            copy(hostC, QStringLiteral("src.bin"), shareRoot, QStringLiteral("out.bin"));
        }
        QVERIFY2(f.dialogs.messages().constLast().startsWith(QStringLiteral("The destination file %1out.bin could not be written.").arg(shareRoot)),
                 qPrintable(f.dialogs.messages().join(u'|')));
        QCOMPARE(readAll(share.served() + QStringLiteral("/out.bin")), QByteArray(1000, 'o'));
    }
};

QTEST_MAIN(TestDisks)
#include "tst_disks.moc"
