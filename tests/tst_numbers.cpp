#include "runtime/text/NumberText.h"

#include <QLocale>
#include <QTest>

class TestNumbers : public QObject {
    Q_OBJECT
private slots:
    void init() { QLocale::setDefault(QLocale::c()); }

    void roundsHalvesToEven_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("twoDecimals");
        QTest::newRow("0.125 down to even") << 0.125 << 0.12;
        QTest::newRow("0.375 up to even") << 0.375 << 0.38;
        QTest::newRow("not a half") << 1.17737579345703125 << 1.18;
        QTest::newRow("whole") << 2560.0 << 2560.0;
        QTest::newRow("tiny") << 0.00390625 << 0.0;
    }
    void roundsHalvesToEven()
    {
        QFETCH(double, value);
        QFETCH(double, twoDecimals);
        QCOMPARE(rt::roundHalfEven(value, 2), twoDecimals);
    }

    void wholeNumbersHalfToEven_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<qint64>("whole");
        QTest::newRow("12.5") << 12.5 << qint64(12);
        QTest::newRow("37.5") << 37.5 << qint64(38);
        QTest::newRow("62.5") << 62.5 << qint64(62);
        QTest::newRow("87.5") << 87.5 << qint64(88);
        QTest::newRow("99.51") << 99.51 << qint64(100);
        QTest::newRow("0.49") << 0.49 << qint64(0);
    }
    void wholeNumbersHalfToEven()
    {
        QFETCH(double, value);
        QFETCH(qint64, whole);
        QCOMPARE(rt::toWholeHalfEven(value), whole);
    }

    // The source-size captions, sizes of 2 GiB and more included.
    void megabyteCaptions_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << qint64(0) << "0 MB";
        QTest::newRow("4,000") << qint64(4000) << "0 MB";
        QTest::newRow("10,000") << qint64(10000) << "0.01 MB";
        QTest::newRow("131,072 (a half)") << qint64(131072) << "0.12 MB";
        QTest::newRow("1,000,000") << qint64(1000000) << "0.95 MB";
        QTest::newRow("1,048,576") << qint64(1048576) << "1 MB";
        QTest::newRow("1,234,567") << qint64(1234567) << "1.18 MB";
        QTest::newRow("1,572,864") << qint64(1572864) << "1.5 MB";
        QTest::newRow("123,456,789") << qint64(123456789) << "117.74 MB";
        QTest::newRow("2 GiB + 512 MiB") << qint64(2684354560) << "2560 MB";
        QTest::newRow("5 TiB") << qint64(5) * 1024 * 1024 * 1024 * 1024 << "5242880 MB";
    }
    void megabyteCaptions()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(rt::megabytesText(bytes), text);
    }

    void decimalSeparatorFollowsTheLocale()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(rt::megabytesText(131072), QStringLiteral("0,12 MB"));
        QCOMPARE(rt::numberToText(1234567.5), QStringLiteral("1234567,5")); // no group separator
        QLocale::setDefault(QLocale::c());
        QCOMPARE(rt::numberToText(1234567.5), QStringLiteral("1234567.5"));
        QCOMPARE(rt::numberToText(-0.0), QStringLiteral("0"));
    }

    // Messages and tooltips: binary units, one decimal, the locale's figures.
    void sizesInUnitsAUserKnows_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("exact");
        QTest::newRow("FAT's limit") << "en_US" << qint64(4294967295) << "4.0 GiB" << "4 GiB \u2212 1 byte (4,294,967,295 bytes)";
        QTest::newRow("4 GiB") << "en_US" << qint64(4294967296) << "4.0 GiB" << "4.0 GiB (4,294,967,296 bytes)";
        QTest::newRow("a stick") << "de_DE" << qint64(241069670) << "229,9 MiB" << "229,9 MiB (241.069.670 bytes)";
        QTest::newRow("1,000") << "en_US" << qint64(1000) << "1,000 bytes" << "1,000 bytes";
        QTest::newRow("2 TiB") << "C" << (qint64(2) << 40) << "2.0 TiB" << "2.0 TiB (2199023255552 bytes)";
    }
    void sizesInUnitsAUserKnows()
    {
        QFETCH(QString, locale);
        QFETCH(qint64, bytes);
        QLocale::setDefault(QLocale(locale));
        QTEST(rt::sizeText(bytes), "size");
        QTEST(rt::exactSizeText(bytes), "exact");
    }
};

QTEST_APPLESS_MAIN(TestNumbers)
#include "tst_numbers.moc"
