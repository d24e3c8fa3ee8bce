#include "runtime/files/FolderListing.h"
#include "runtime/text/NameOrder.h"
#include "support/TestDrives.h"

#include <algorithm>
#include <random>
#include <QTest>

class TestNameOrder : public QObject {
    Q_OBJECT
private slots:
    void listsVisibleRepresentableNamesSorted()
    {
        TestDrives drives;
        drives.makeFile(u'c', QStringLiteral("b.txt"), "b");
        drives.makeFile(u'c', QStringLiteral("A.txt"), "a");
        drives.makeFile(u'c', QStringLiteral("c.TXT"), "c");
        drives.makeFile(u'c', QStringLiteral("a.TXT"), "a"); // equal but for case: by its exact text
        drives.makeFile(u'c', QStringLiteral(".hidden"), "h");
        drives.makeFile(u'c', QStringLiteral("back\\slash"), "x");
        drives.makeFolder(u'c', QStringLiteral("Sub"));
        drives.makeFolder(u'c', QStringLiteral("another"));
        drives.makeFolder(u'c', QStringLiteral("\u00c4rger")); // not ASCII: folded as Unicode
        drives.makeFolder(u'c', QStringLiteral(".git"));
        // A name that is not valid UTF-8 cannot be shown or typed back.
        const QByteArray badName = QFile::encodeName(drives.host(u'c')) + "/bad\xff.bin";
        FILE *f = fopen(badName.constData(), "w");
        QVERIFY(f);
        fclose(f);
        QVERIFY(symlink("b.txt", QFile::encodeName(drives.host(u'c', QStringLiteral("link.txt"))).constData()) == 0);
        QVERIFY(symlink("Sub", QFile::encodeName(drives.host(u'c', QStringLiteral("SubLink"))).constData()) == 0);
        QVERIFY(symlink("nowhere", QFile::encodeName(drives.host(u'c', QStringLiteral("dangling"))).constData()) == 0);

        QCOMPARE(rt::listFolder(QStringLiteral("C:\\"), rt::EntryKind::Files),
                 (QStringList{QStringLiteral("A.txt"), QStringLiteral("a.TXT"), QStringLiteral("b.txt"),
                              QStringLiteral("c.TXT"), QStringLiteral("link.txt")}));
        QCOMPARE(rt::listFolder(QStringLiteral("C:\\"), rt::EntryKind::Folders),
                 (QStringList{QStringLiteral("another"), QStringLiteral("\u00c4rger"), QStringLiteral("Sub"),
                              QStringLiteral("SubLink")}));
        unlink(badName.constData()); // Qt cannot remove a name it cannot decode
    }

    // Both lists order names as file managers do, in the user's language.
    void namesInNaturalOrderOfTheUsersLanguage_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QStringList>("expected");
        const QStringList english{"apple", "\u00c4rger", "eagle", "\u00e9lan", "ezra", "file1", "File2", "file10", "Zebra"};
        QTest::newRow("en_US") << "en_US" << english;
        QTest::newRow("C") << "C" << english;
        QTest::newRow("sv_SE: \u00e4 after z") << "sv_SE" << (english.first(1) + english.mid(2) << english[1]);
        QTest::newRow("ASCII only") << "en_US" << QStringList{"img1", "IMG2", "img010", "img10b", "img11", "Img100"};
    }
    void namesInNaturalOrderOfTheUsersLanguage()
    {
        QFETCH(QString, locale);
        QFETCH(QStringList, expected);
        TestDrives drives;
        for (const QString &name : expected)
            drives.makeFile(u'c', name, "x");
        QLocale::setDefault(QLocale(locale));
        const QStringList listed = rt::listFolder(QStringLiteral("C:\\"), rt::EntryKind::Files);
        QLocale::setDefault(QLocale::system());
        QCOMPARE(listed, expected);
    }

    // Where a collator ignores numeric mode (Qt's for the C locale does), runs
    // of digits are still compared by value; ASCII names, ordered by a table of
    // the collator's order of single characters, stand as the collator orders them.
    void digitsByValueAndAsciiAsTheCollator()
    {
        const rt::NameOrder plain{QCollator(QLocale::c())}, english(QLocale(QStringLiteral("en_US")));
        QVERIFY(plain.comparesDigitsItself() && english.hasAsciiTable());
        QCOMPARE(plain.sorted({"x10", "b", "x9", "x010a", "x0", "A"}), (QStringList{"A", "b", "x0", "x9", "x10", "x010a"}));
        QCollator collator{QLocale(QStringLiteral("en_US"))};
        collator.setNumericMode(true);
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        const QByteArray alphabet(" _-,;:!?.'\"()[]{}@*\\&#%`^+<=>|~$0123456789aAbBzZ\t");
        std::mt19937 random(12);
        QStringList names;
        for (int i = 0; i < 3000; ++i)
            names.append(QString(int(1 + random() % 8), u'x'));
        for (QString &name : names)
            for (QChar &c : name)
                c = QChar(alphabet[int(random() % alphabet.size())]);
        names.removeDuplicates();
        const QStringList sorted = english.sorted(names);
        for (qsizetype i = 1; i < sorted.size(); ++i)
            QVERIFY2(collator.compare(sorted[i - 1], sorted[i]) < 0 || (!collator.compare(sorted[i - 1], sorted[i]) && sorted[i - 1] < sorted[i]),
                     qPrintable(sorted[i - 1] + " before " + sorted[i]));
    }
};

QTEST_GUILESS_MAIN(TestNameOrder)
#include "tst_name_order.moc"
