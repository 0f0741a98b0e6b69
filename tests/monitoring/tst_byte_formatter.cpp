#include "monitoring/ByteFormatter.h"

#include <QLocale>
#include <QTest>

#include <clocale>
#include <limits>

class TestByteFormatter : public QObject {
    Q_OBJECT

private slots:
    void decimalStorage_data() {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("expected");
        QTest::newRow("negative") << qint64(-5) << "0 B";
        QTest::newRow("zero") << qint64(0) << "0 B";
        QTest::newRow("bytes") << qint64(999) << "999 B";
        QTest::newRow("1 KB") << qint64(1000) << "1 KB";
        QTest::newRow("half rounds to even, down") << qint64(2500) << "2 KB";
        QTest::newRow("half rounds to even, up") << qint64(1500) << "2 KB";
        QTest::newRow("just below MB") << qint64(999'999) << "1000 KB";
        QTest::newRow("1 MB") << qint64(1'000'000) << "1.0 MB";
        QTest::newRow("MB") << qint64(123'456'789) << "123.5 MB";
        QTest::newRow("just below GB") << qint64(999'999'999) << "1000.0 MB";
        QTest::newRow("1 GB") << qint64(1'000'000'000) << "1.00 GB";
        QTest::newRow("GB") << qint64(53'687'091'200) << "53.69 GB";
        QTest::newRow("TB") << qint64(1'234'567'890'123) << "1.23 TB";
        QTest::newRow("largest") << std::numeric_limits<qint64>::max() << "9223372.04 TB";
    }
    void decimalStorage() {
        QFETCH(qint64, bytes);
        QFETCH(QString, expected);
        QCOMPARE(ByteFormatter::decimalStorage(bytes), expected);
    }

    void speed_data() {
        QTest::addColumn<qint64>("bytesPerSecond");
        QTest::addColumn<QString>("expected");
        QTest::newRow("negative") << qint64(-1) << "0 B/s";
        QTest::newRow("zero") << qint64(0) << "0 B/s";
        QTest::newRow("bytes") << qint64(1023) << "1023 B/s";
        QTest::newRow("1 KB/s") << qint64(1024) << "1 KB/s";
        QTest::newRow("half rounds to even") << qint64(2560) << "2 KB/s";
        QTest::newRow("KB/s") << qint64(1536) << "2 KB/s";
        QTest::newRow("just below MB/s") << qint64(1'048'575) << "1024 KB/s";
        QTest::newRow("1 MB/s") << qint64(1'048'576) << "1.0 MB/s";
        QTest::newRow("MB/s") << qint64(1'572'864) << "1.5 MB/s";
        QTest::newRow("large") << qint64(10'737'418'240) << "10240.0 MB/s";
    }
    void speed() {
        QFETCH(qint64, bytesPerSecond);
        QFETCH(QString, expected);
        QCOMPARE(ByteFormatter::speed(bytesPerSecond), expected);
    }

    // A decimal comma in the user's locale must not leak into the texts.
    void ignoresTheLocale() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const bool cLocaleChanged = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
        QCOMPARE(ByteFormatter::speed(1'572'864), "1.5 MB/s");
        QCOMPARE(ByteFormatter::decimalStorage(1'234'567'890'123), "1.23 TB");
        QCOMPARE(ByteFormatter::decimalStorage(123'456'789'000), "123.46 GB");
        std::setlocale(LC_NUMERIC, "C");
        QLocale::setDefault(QLocale::c());
        if (!cLocaleChanged) {
            QSKIP("de_DE.UTF-8 is not installed; only Qt's default locale was changed");
        }
    }
};

QTEST_APPLESS_MAIN(TestByteFormatter)
#include "tst_byte_formatter.moc"
