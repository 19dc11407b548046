// The conversion helpers every window and the binding rely on.
#include <QCheckBox>
#include <QtTest>

#include <memory>

#include "convert.h"

class ConvertTest : public QObject {
    Q_OBJECT

private slots:
    void hexDumpPutsSixteenItemsOnALine_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("dump");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("two") << QByteArray("\x01\xAB", 2) << QStringLiteral("01 AB ");
        QByteArray seventeen;
        QString expected;
        for (int i = 0; i < 17; ++i) {
            seventeen.append(static_cast<char>(i));
            expected += QStringLiteral("%1 ").arg(i, 2, 16, QLatin1Char('0')).toUpper();
            if (i == 15) expected += QLatin1Char('\n');
        }
        QTest::newRow("seventeen") << seventeen << expected;
    }
    void hexDumpPutsSixteenItemsOnALine() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, dump);
        QCOMPARE(bytesToHexDump(reinterpret_cast<const BYTE*>(bytes.constData()), bytes.size()), dump);
    }

    void hexTextBecomesBytes_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("converted");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("prefix and mixed case") << "0xaBcD" << true << QByteArray("\xAB\xCD", 2);
        QTest::newRow("every prefix dropped") << "0x01 0X02" << false << QByteArray();
        QTest::newRow("prefixes between pairs") << "0x010X02" << true << QByteArray("\x01\x02", 2);
        QTest::newRow("odd count") << "0xABC" << false << QByteArray();
        QTest::newRow("more than fits") << "0102030405" << false << QByteArray();
        QTest::newRow("exactly fits") << "01020304" << true << QByteArray("\x01\x02\x03\x04", 4);
        QTest::newRow("no hex digit counts as 0") << "g1" << true << QByteArray("\x01", 1);
    }
    void hexTextBecomesBytes() {
        QFETCH(QString, text);
        QFETCH(bool, converted);
        QFETCH(QByteArray, bytes);
        BYTE out[4] = {};
        BYTE* result = hexStringToBytes(text, out, sizeof out);
        QCOMPARE(result != nullptr, converted);
        if (converted) QCOMPARE(QByteArray(reinterpret_cast<char*>(out), bytes.size()), bytes);
    }

    void hexDigitsHaveTheirValues() {
        QCOMPARE(hexDigitValue(QLatin1Char('7')), BYTE{7});
        QCOMPARE(hexDigitValue(QLatin1Char('f')), BYTE{15});
        QCOMPARE(hexDigitValue(QLatin1Char('C')), BYTE{12});
        QCOMPARE(hexDigitValue(QLatin1Char('g')), BYTE{0});
        QCOMPARE(hexPairToByte(QLatin1Char('9'), QLatin1Char('e')), BYTE{0x9E});
    }

    void printableTextMarksTheRestInHex_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("letters then a control byte") << QByteArray("AB\x01", 3) << "AB 01";
        QTest::newRow("hex items then a letter") << QByteArray("\x01\x02Z", 3) << "01 02 Z";
        QTest::newRow("character above 255 is 00") << QByteArray("\xE2\x82\xAC", 3) << "00 00 00";
    }
    void printableTextMarksTheRestInHex() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(bytesToPrintableText(reinterpret_cast<const BYTE*>(bytes.constData()), bytes.size()), text);
    }

    void textsBecomeBuffersOfTheirFullLength() {
        QString text(70000, QLatin1Char('a'));
        text[1] = QChar(0x20AC);
        std::unique_ptr<char[]> string(qStringToCString(text));
        QVERIFY(string);
        QCOMPARE(string[0], 'a');
        QCOMPARE(string[1], '\0');
        QCOMPARE(string[69999], 'a');
        QCOMPARE(string[70000], '\0');
        std::unique_ptr<BYTE[]> bytes(qStringToBytes(QStringLiteral("A\u20ACB")));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(bytes.get()), 3), QByteArray("A\0B", 3));
    }

    void bytesBecomeTexts() {
        const BYTE latin1[] = {'a', 0xE9, 0, 'z'};
        QCOMPARE(bytesToQString(latin1, sizeof latin1), QStringLiteral("a\u00E9"));
        const BYTE utf16[] = {0x00, 'H', 0x20, 0xAC, 0x00};
        QCOMPARE(utf16BeToQString(utf16, sizeof utf16), QStringLiteral("H\u20AC"));
        const QByteArray utf8 = QStringLiteral("\u00FCber").toUtf8();
        QCOMPARE(utf8ToQString(reinterpret_cast<const BYTE*>(utf8.constData()), utf8.size()), QStringLiteral("\u00FCber"));
    }

    void backgroundColourBecomesTransparent() {
        QImage image(2, 2, QImage::Format_RGB32);
        image.fill(QColor(Qt::white));
        image.setPixel(1, 1, qRgb(10, 20, 30));
        const QImage transparent = makeBackgroundTransparent(image);
        QCOMPARE(transparent.format(), QImage::Format_ARGB32);
        QCOMPARE(transparent.pixel(0, 0), QRgb(0));
        QCOMPARE(transparent.pixel(1, 0), QRgb(0));
        QCOMPARE(transparent.pixel(1, 1), qRgb(10, 20, 30));
    }

    void onlyAnEnabledCheckedButtonCounts() {
        QCheckBox box;
        QVERIFY(!isEnabledAndChecked(&box));
        box.setChecked(true);
        QVERIFY(isEnabledAndChecked(&box));
        box.setEnabled(false);
        QVERIFY(!isEnabledAndChecked(&box));
        QVERIFY(!isEnabledAndChecked(nullptr));
    }
};

QTEST_MAIN(ConvertTest)
#include "convert_test.moc"
