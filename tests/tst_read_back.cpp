#include "copy/job/CopyJob.h"
#include "copy/rescue/RescueMap.h"
#include "runtime/files/ReadBack.h"
#include "runtime/files/ReadBackPlan.h"
#include "runtime/media/Drives.h"
#include "support/CounterfeitDisk.h"
#include "support/ScriptedDialogs.h"
#include "support/TestKit.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace rt;

namespace {

constexpr qint64 M = 1048576;

struct Quiet : CopyProgress {
    void showProgress(int, qint64, qint64) override {}
    bool yieldAndGoOn() override { return true; }
    bool goingOn() const override { return true; }
};

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() && f.flush();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

// The disk offset of a byte of a file, through FIEMAP; -1 when not mapped.
qint64 diskOffsetOf(const QString &path, qint64 offset)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    alignas(fiemap) char space[sizeof(fiemap) + 64 * sizeof(fiemap_extent)] = {};
    auto *map = reinterpret_cast<fiemap *>(space);
    map->fm_start = 0;
    map->fm_length = ~0ULL;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 64;
    qint64 found = -1;
    if (ioctl(fd, FS_IOC_FIEMAP, map) == 0)
        for (quint32 i = 0; i < map->fm_mapped_extents; ++i) {
            const fiemap_extent &e = map->fm_extents[i];
            if (quint64(offset) >= e.fe_logical && quint64(offset) < e.fe_logical + e.fe_length)
                found = qint64(e.fe_physical + (quint64(offset) - e.fe_logical));
        }
    ::close(fd);
    return found;
}

// A copy from c: (a folder of the test) to e: (the counterfeit volume).
struct Copy {
    Copy(const QString &sourceFolder, const QString &volume)
    {
        Drives::instance().setFixedMap({{u'c', sourceFolder}, {u'e', volume}});
    }
    ~Copy() { Drives::instance().useSystemMap(); }
    CopyEnd run(const QString &name = QStringLiteral("copy.bin"))
    {
        Quiet progress;
        dialogs.answers = {AnswerYes}; // the replace question
        return CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("E:\\") + name, name}, progress, dialogs).run();
    }
    ScriptedDialogs dialogs;
};

const char *kindName(CounterfeitDisk::Kind kind) { return kind == CounterfeitDisk::Kind::Ext4 ? "ext4" : "xfs"; }

} // namespace

class TestReadBack : public QObject {
    Q_OBJECT
private slots:
    void cleanup()
    {
        testkit::resetTestSwitches();
        ReadBack::setDirectRefused(false);
    }

    // The counterfeit stick: a copy that crosses what it really stores is
    // never called completed, stops soon after, and leaves an old file.
    void aCopyPastTheRealSizeFails_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<qint64>("cache");
        QTest::addColumn<bool>("dropCache");
        for (CounterfeitDisk::Kind kind : {CounterfeitDisk::Kind::Ext4, CounterfeitDisk::Kind::Xfs})
            for (const QString &mode : {QStringLiteral("limbo"), QStringLiteral("wrap")})
                for (qint64 cache : {0LL, 8 * M})
                    QTest::addRow("%s, %s, %s", kindName(kind), qPrintable(mode), cache ? "a cache of 8 MiB" : "no cache")
                        << int(kind) << mode << cache << false;
        QTest::newRow("ext4, limbo, a cache, no direct access") << int(CounterfeitDisk::Kind::Ext4) << QStringLiteral("limbo")
                                                                << 8 * M << true;
    }
    void aCopyPastTheRealSizeFails()
    {
        QFETCH(int, kind);
        QFETCH(QString, mode);
        QFETCH(qint64, cache);
        QFETCH(bool, dropCache);
        const auto fs = CounterfeitDisk::Kind(kind);
        // ext4 lays the file out from about 136 MiB of the disk, xfs from its start.
        const qint64 stores = fs == CounterfeitDisk::Kind::Ext4 ? 160 * M : 288 * M;
        const qint64 size = fs == CounterfeitDisk::Kind::Ext4 ? 192 * M : 384 * M;
        CounterfeitDisk disk({.kind = fs, .mode = mode, .stores = stores, .cache = cache});
        SKIP_UNLESS_MOUNTED(disk);
        QTemporaryDir source;
        const QByteArray content = randomBytes(size, 7);
        const QByteArray old = randomBytes(64 * 1024, 3);
        QVERIFY(writeFile(source.filePath(QStringLiteral("src.bin")), content));
        QVERIFY(writeFile(disk.path() + QStringLiteral("/copy.bin"), old));
        QCOMPARE(QProcess::execute(QStringLiteral("sync"), {}), 0);
        const qint64 beyondBefore = disk.writtenBeyond();
        ReadBack::setDirectRefused(dropCache);

        Copy copy(source.path(), disk.path());
        QCOMPARE(int(copy.run()), int(CopyEnd::Failed));
        const QString said = copy.dialogs.messages().join(u'|');
        QVERIFY2(said.contains(QStringLiteral("The destination file E:\\copy.bin could not be written.\r\n"
                                              "The medium in drive E: [v] returned different data from about "))
                     && said.contains(QStringLiteral("into the copy: it may hold less than the 512 MB it claims.")),
                 qPrintable(said));
        QVERIFY2(!said.contains(QStringLiteral("Completed")), qPrintable(said));
        // Caught early where the medium drops: within 64 MiB of writing past
        // its real size, plus its cache.
        const qint64 beyond = disk.writtenBeyond() - beyondBefore;
        qInfo("%lld MiB written past the real size", beyond / M);
        if (mode == u"limbo")
            QVERIFY2(beyond <= 64 * M + cache, qPrintable(QString::number(beyond)));
        // The name still holds the old file, and nothing else of the copy is there.
        QCOMPARE(readFile(disk.path() + QStringLiteral("/copy.bin")), old);
        QStringList left = QDir(disk.path()).entryList(QDir::Files | QDir::Hidden);
        QCOMPARE(left, QStringList{QStringLiteral("copy.bin")});
        if (mode == u"limbo") { // a wrapped volume may not even mount again
            QCOMPARE(disk.remount(), QString());
            QCOMPARE(readFile(disk.path() + QStringLiteral("/copy.bin")), old);
        }
    }

    // What fits is completed, and is on the medium: equal after a remount.
    void aCopyThatFitsIsCompleted_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<qint64>("cache");
        QTest::newRow("ext4, limbo, a cache") << int(CounterfeitDisk::Kind::Ext4) << QStringLiteral("limbo") << 8 * M;
        QTest::newRow("ext4, wrap") << int(CounterfeitDisk::Kind::Ext4) << QStringLiteral("wrap") << 0LL;
        QTest::newRow("xfs, limbo") << int(CounterfeitDisk::Kind::Xfs) << QStringLiteral("limbo") << 0LL;
        QTest::newRow("xfs, wrap, a cache") << int(CounterfeitDisk::Kind::Xfs) << QStringLiteral("wrap") << 8 * M;
    }
    void aCopyThatFitsIsCompleted()
    {
        QFETCH(int, kind);
        QFETCH(QString, mode);
        QFETCH(qint64, cache);
        const auto fs = CounterfeitDisk::Kind(kind);
        CounterfeitDisk disk({.kind = fs, .mode = mode, .stores = fs == CounterfeitDisk::Kind::Ext4 ? 160 * M : 288 * M,
                              .cache = cache});
        SKIP_UNLESS_MOUNTED(disk);
        QTemporaryDir source;
        const QByteArray content = randomBytes(20 * M + 1234, 11);
        QVERIFY(writeFile(source.filePath(QStringLiteral("src.bin")), content));
        QVERIFY(writeFile(disk.path() + QStringLiteral("/copy.bin"), randomBytes(4096, 5)));
        Copy copy(source.path(), disk.path());
        QCOMPARE(int(copy.run()), int(CopyEnd::Completed));
        QCOMPARE(copy.dialogs.messages().last(), QStringLiteral("File Copy Completed."));
        QCOMPARE(disk.remount(), QString());
        QVERIFY(readFile(disk.path() + QStringLiteral("/copy.bin")) == content);
    }

    // An honest disk: a hundred copies of every kind of size, each completed
    // and equal after a remount, never a false alarm.
    void aHundredHealthyCopies()
    {
        CounterfeitDisk disk({.kind = CounterfeitDisk::Kind::Xfs, .stores = 512 * M});
        SKIP_UNLESS_MOUNTED(disk);
        QTemporaryDir source;
        const qint64 sizes[] = {0, 1, 4095, 4097, M - 1, M + 1, 3 * M + 512, 40 * M + 1234};
        QList<QByteArray> contents;
        for (int i = 0; i < 100; ++i) {
            const qint64 size = sizes[i % std::size(sizes)] + (i / 8) * 1024;
            contents.append(randomBytes(size + 3, quint32(100 + i)).left(size));
            QVERIFY(writeFile(source.filePath(QStringLiteral("src.bin")), contents.last()));
            Copy copy(source.path(), disk.path());
            QCOMPARE(int(copy.run(QStringLiteral("copy%1.bin").arg(i))), int(CopyEnd::Completed));
            QCOMPARE(copy.dialogs.messages().last(), QStringLiteral("File Copy Completed."));
            if (i % 8 == 7) // room for the next ones; one of each eight stays
                for (int k = i - 7; k <= i; ++k)
                    if (k % 8 != 6)
                        QVERIFY(QFile::remove(disk.path() + QStringLiteral("/copy%1.bin").arg(k)));
        }
        QCOMPARE(disk.remount(), QString());
        for (int i = 6; i < 100; i += 8)
            QVERIFY2(readFile(disk.path() + QStringLiteral("/copy%1.bin").arg(i)) == contents[i], qPrintable(QString::number(i)));
        QVERIFY(readFile(disk.path() + QStringLiteral("/copy99.bin")) == contents[99]);
    }

    // A rescue onto the counterfeit stick stops the same way and is kept as
    // after any failed write; its map calls nothing finished that the medium
    // does not hold.
    void aRescueOntoItStopsAndIsKept()
    {
        CounterfeitDisk disk({.kind = CounterfeitDisk::Kind::Ext4, .stores = 160 * M});
        SKIP_UNLESS_MOUNTED(disk);
        QTemporaryDir source;
        const QByteArray content = randomBytes(192 * M, 19);
        QVERIFY(writeFile(source.filePath(QStringLiteral("src.bin")), content));
        // One unreadable block early on makes the copy a rescue.
        const qint64 bad = 2 * M + 4096;
        setReadFaultHook([&](qint64 offset, qint64 count) { return offset < bad + 4096 && offset + count > bad ? EIO : 0; });
        Copy copy(source.path(), disk.path());
        QCOMPARE(int(copy.run()), int(CopyEnd::Failed));
        setReadFaultHook(nullptr);
        const QString said = copy.dialogs.messages().join(u'|');
        QVERIFY2(said.contains(QStringLiteral("The medium in drive E: [v] returned different data from about "))
                     && said.contains(QStringLiteral("'copy.bin.part' is kept")),
                 qPrintable(said));
        QCOMPARE(disk.remount(), QString());
        const QByteArray part = readFile(disk.path() + QStringLiteral("/copy.bin.part"));
        const std::optional<RescueMap> map = RescueMap::parse(readFile(disk.path() + QStringLiteral("/copy.bin.part.map")));
        QVERIFY(map);
        QVERIFY(map->bytes(RescueMap::Status::Finished) > 0);
        for (const RescueMap::Area &a : map->areas())
            if (a.status == RescueMap::Status::Finished)
                QVERIFY2(part.mid(a.pos, a.size) == content.mid(a.pos, a.size), qPrintable(QString::number(a.pos)));
    }

    // A medium that corrupts one stored block in place: a sampled block is
    // caught by the sweep after the final flush, before the name is taken.
    void aBlockCorruptedInPlaceIsCaught()
    {
        CounterfeitDisk disk({.kind = CounterfeitDisk::Kind::Ext4, .stores = 512 * M});
        SKIP_UNLESS_MOUNTED(disk);
        Destination::setUnnamedFilesAllowed(false); // a hidden name, to find its blocks
        QTemporaryDir source;
        QVERIFY(writeFile(source.filePath(QStringLiteral("src.bin")), randomBytes(6 * M, 13)));
        const QByteArray old = randomBytes(4096, 17);
        QVERIFY(writeFile(disk.path() + QStringLiteral("/copy.bin"), old));
        // The first piece's sample, once the copy's file holds it.
        const ReadBackSpan sample = sampleOf(0, M, 4096);
        bool flipped = false;
        Copy copy(source.path(), disk.path());
        struct Flipper : Quiet {
            std::function<void()> atPiece;
            void showProgress(int, qint64, qint64) override { atPiece(); }
        } progress;
        progress.atPiece = [&] {
            if (flipped)
                return;
            for (const QString &name : QDir(disk.path()).entryList({QStringLiteral(".copy.bin*")}, QDir::Files | QDir::Hidden))
                if (const qint64 at = diskOffsetOf(disk.path() + u'/' + name, sample.from + 100); at >= 0)
                    flipped = disk.flipAt(at);
        };
        copy.dialogs.answers = {AnswerYes};
        const CopyEnd end = CopyJob({QStringLiteral("C:\\src.bin"), QStringLiteral("E:\\copy.bin"), QStringLiteral("copy.bin")},
                                    progress, copy.dialogs)
                                .run();
        QVERIFY(flipped);
        QCOMPARE(int(end), int(CopyEnd::Failed));
        QVERIFY2(copy.dialogs.messages().join(u'|').contains(
                     QStringLiteral("returned different data from about 0 MB into the copy")),
                 qPrintable(copy.dialogs.messages().join(u'|')));
        QCOMPARE(readFile(disk.path() + QStringLiteral("/copy.bin")), old);
    }
};

QTEST_GUILESS_MAIN(TestReadBack)
#include "tst_read_back.moc"
