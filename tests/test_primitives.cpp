// The plain logic under the window and the command line: CRC, hex text, operator numbers, the
// settings line, the parameter encoding, the reply decoders and the reply checks.

#include "modbus/crc16.h"
#include "modbus/hextext.h"
#include "modbus/opnumber.h"
#include "modbus/protocol.h"
#include "platform/rounding.h"
#include "serial/commset.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

Q_DECLARE_METATYPE(std::string)

namespace {
QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}
// Hex bytes followed by their CRC, low byte first.
QByteArray sealed(const char* text) {
    QByteArray bytes = hex(text);
    const std::uint16_t crc = modbus::crc16(
        reinterpret_cast<const std::uint8_t*>(bytes.constData()), std::size_t(bytes.size()));
    bytes.append(char(modbus::crcLowByte(crc)));
    bytes.append(char(modbus::crcHighByte(crc)));
    return bytes;
}
protocol::Frame frame(const char* text) {
    const QByteArray bytes = sealed(text);
    protocol::Frame f{};
    std::copy(bytes.begin(), bytes.begin() + 8, f.begin());
    return f;
}
const std::uint8_t* data(const QByteArray& bytes) {
    return reinterpret_cast<const std::uint8_t*>(bytes.constData());
}
std::size_t size(const QByteArray& bytes) {
    return static_cast<std::size_t>(bytes.size());
}
} // namespace

class TestPrimitives : public QObject {
    Q_OBJECT
private slots:
    void crc_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("crc");
        QTest::newRow("check value 123456789") << QByteArray("123456789") << 0x4B37;
        QTest::newRow("query station 2") << hex("020300000001") << 0x3984;
        QTest::newRow("query station 1, low byte below 16") << hex("010300000001") << 0x0A84;
        QTest::newRow("parameter read row 0") << hex("020300030001") << 0x3974;
        QTest::newRow("address read") << hex("FA2502000001") << 0xFE99;
        QTest::newRow("parameter write 1.0000") << hex("02060A032710") << 0x1D60;
        QTest::newRow("empty range") << QByteArray() << 0xFFFF;
    }
    void crc() {
        QFETCH(QByteArray, bytes);
        QFETCH(int, crc);
        QCOMPARE(int(modbus::crc16(data(bytes), size(bytes))), crc);
    }

    void crcRegisterAfterEachByte() {
        // The worked example: the register after each byte of 02 03 00 00 00 01.
        const QByteArray bytes = hex("020300000001");
        const int expected[] = {0x813E, 0xD140, 0xF0D0, 0x9CF1, 0x845D, 0x3984};
        for (int n = 1; n <= 6; ++n)
            QCOMPARE(int(modbus::crc16(data(bytes), std::size_t(n))), expected[n - 1]);
    }

    void byteText_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        for (auto [v, t] :
             {std::pair{0, "00"}, {10, "0A"}, {15, "0F"}, {16, "10"}, {171, "AB"}, {255, "FF"}})
            QTest::newRow(t) << v << QString::fromLatin1(t);
    }
    void byteText() {
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(modbus::byteText(std::uint8_t(value))), text);
    }

    void requestAndReplyLayouts() {
        const QByteArray request = hex("0203000000018439");
        QCOMPARE(QString::fromStdString(modbus::requestText(data(request), size(request))),
                 QStringLiteral("02 03 00 00 00 01 84 39 "));
        const QByteArray reply = hex("02030200 64FDAF");
        QCOMPARE(QString::fromStdString(modbus::replyText(data(reply), size(reply))),
                 QStringLiteral(" 02 03 02 00 64 FD AF"));
        const QByteArray one = hex("0A");
        QCOMPARE(QString::fromStdString(modbus::replyText(data(one), 1)), QStringLiteral(" 0A"));
        // Every value renders as two digits in both layouts.
        for (int v = 0; v < 256; ++v) {
            const std::uint8_t b = std::uint8_t(v);
            QCOMPARE(modbus::requestText(&b, 1).size(), std::size_t(3));
            QCOMPARE(modbus::replyText(&b, 1).size(), std::size_t(3));
        }
    }

    void frameText() {
        const QByteArray bytes = hex("010300000001840A");
        QCOMPARE(modbus::frameText(data(bytes), size(bytes)),
                 std::string("01 03 00 00 00 01 84 0A"));
        QCOMPARE(modbus::frameText(data(bytes), 1), std::string("01"));
        QCOMPARE(modbus::frameText(data(bytes), 0), std::string());
    }

    void numericText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("numeric");
        QTest::addColumn<double>("value");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("7") << "7" << true << 7.0;
        QTest::newRow("-0.5") << "-0.5" << true << -0.5;
        QTest::newRow("1e1") << "1e1" << true << 10.0;
        QTest::newRow("blanks around") << "  +2.5  " << true << 2.5;
        QTest::newRow(".5") << ".5" << true << 0.5;
        QTest::newRow("5.") << "5." << true << 5.0;
        QTest::newRow("exponent sign") << "1.5E-2" << true << 0.015;
        QTest::newRow("1e400 overflows") << "1e400" << true << inf;
        QTest::newRow("-1e400") << "-1e400" << true << -inf;
        QTest::newRow("40 digits") << QString(40, QLatin1Char('9')) << true << 1e40;
        QTest::newRow("1e-400 underflows") << "1e-400" << true << 0.0;
        QTest::newRow("huge exponent digits") << "1e99999999999999999999" << true << inf;
        QTest::newRow("empty") << "" << false << 0.0;
        QTest::newRow("blanks") << "   " << false << 0.0;
        QTest::newRow("abc") << "abc" << false << 0.0;
        QTest::newRow("7a") << "7a" << false << 0.0;
        QTest::newRow("sign alone") << "-" << false << 0.0;
        QTest::newRow("point alone") << "." << false << 0.0;
        QTest::newRow("exponent without digits") << "1e" << false << 0.0;
        QTest::newRow("comma decimal") << "1,5" << false << 0.0;
        QTest::newRow("hex") << "&H10" << false << 0.0;
        QTest::newRow("0x") << "0x10" << false << 0.0;
        QTest::newRow("grouping") << "1 000" << false << 0.0;
        QTest::newRow("inf word") << "inf" << false << 0.0;
        QTest::newRow("nan word") << "nan" << false << 0.0;
        QTest::newRow("chinese") << "一" << false << 0.0;
        QTest::newRow("full-width digit") << "１" << false << 0.0;
        QTest::newRow("two signs") << "+-1" << false << 0.0;
        QTest::newRow("control char") << "1\n" << false << 0.0;
    }
    void numericText() {
        QFETCH(QString, text);
        QFETCH(bool, numeric);
        QFETCH(double, value);
        const auto parsed = opnum::parse(text.toStdString());
        QCOMPARE(parsed.has_value(), numeric);
        if (numeric)
            QCOMPARE(*parsed, value);
    }

    void rounding() {
        QCOMPARE(opnum::floorValue(7.9), 7.0);
        QCOMPARE(opnum::floorValue(-0.5), -1.0);
        QCOMPARE(opnum::nearestValue(2.5), 2.0);
        QCOMPARE(opnum::nearestValue(3.5), 4.0);
        QCOMPARE(opnum::nearestValue(4.4), 4.0);
        QCOMPARE(opnum::nearestValue(-2.5), -2.0);
        QCOMPARE(opnum::nearestValue(-1.5), -2.0);
        QCOMPARE(opnum::nearestValue(60000.6), 60001.0);
        QVERIFY(std::isinf(opnum::nearestValue(std::numeric_limits<double>::infinity())));
        QCOMPARE(opnum::byteFit(255.0), std::optional<std::uint8_t>(255));
        QVERIFY(!opnum::byteFit(256.0));
        QVERIFY(!opnum::byteFit(-1.0));
        QVERIFY(!opnum::byteFit(std::numeric_limits<double>::infinity()));
        QVERIFY(!opnum::toSingle("1e39"));
        QVERIFY(opnum::toSingle("3e38"));
        QCOMPARE(QString::fromStdString(opnum::fixedText(5, 2)), QStringLiteral("0.05"));
        QCOMPARE(QString::fromStdString(opnum::fixedText(5, 4)), QStringLiteral("0.0005"));
        QCOMPARE(QString::fromStdString(opnum::fixedText(65535, 2)), QStringLiteral("655.35"));
        QCOMPARE(QString::fromStdString(opnum::fixedText(-5, 2)), QStringLiteral("-0.05"));
        QCOMPARE(QString::fromStdString(opnum::fixedText(42, 0)), QStringLiteral("42"));
        QCOMPARE(QString::fromStdString(opnum::fixedText(1, 30)),
                 QStringLiteral("0.000000000000000001"));
        // Bounds at the edge of long long: 2^63 does not fit, whatever the bound says.
        QVERIFY(!opnum::wholeIn(9223372036854775808.0, 0, std::numeric_limits<long long>::max()));
        QVERIFY(opnum::wholeIn(-9223372036854775808.0, std::numeric_limits<long long>::min(), 0));
    }

    // The command line's rounding without the maths library gives what std::trunc, std::ceil
    // and std::round give, the sign of a zero included.
    void wholeNumbersAsTheMathsLibraryGives() {
        const double kInfinity = std::numeric_limits<double>::infinity();
        std::vector<double> values{0.0,
                                   -0.0,
                                   0.5,
                                   -0.5,
                                   1.5,
                                   -1.5,
                                   2.5,
                                   -2.5,
                                   0.49999999999999994,
                                   -0.49999999999999994,
                                   1e-300,
                                   -1e-300,
                                   4503599627370495.5,
                                   -4503599627370495.5,
                                   4503599627370496.0,
                                   9007199254740993.0,
                                   1e300,
                                   -1e300,
                                   kInfinity,
                                   -kInfinity};
        for (int step = -4000; step <= 4000; ++step)
            values.push_back(step * 0.0625 + (step % 7) * 1e-9);
        const auto same = [](double got, double wanted) {
            return std::memcmp(&got, &wanted, sizeof got) == 0;
        };
        for (const double x : values) {
            QVERIFY2(same(rounding::truncated(x), std::trunc(x)), qPrintable(QString::number(x)));
            QVERIFY2(same(rounding::ceiling(x), std::ceil(x)), qPrintable(QString::number(x)));
            QVERIFY2(same(rounding::nearest(x), std::round(x)), qPrintable(QString::number(x)));
        }
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QVERIFY(std::isnan(rounding::truncated(nan)));
        QVERIFY(std::isnan(rounding::ceiling(nan)));
        QVERIFY(std::isnan(rounding::nearest(nan)));
    }

    void settingsLine_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("rate");
        QTest::newRow("3,9600") << QByteArray("3,9600\r\n") << true << 3 << 9600;
        QTest::newRow("no line end") << QByteArray("2,19200") << true << 2 << 19200;
        QTest::newRow("blanks before") << QByteArray("  3,  0\r\n") << true << 3 << 0;
        QTest::newRow("trailing text")
            << QByteArray("1,2400,junk here\r\nmore") << true << 1 << 2400;
        QTest::newRow("blank ends the first") << QByteArray("4 9600\r\n") << true << 4 << 9600;
        QTest::newRow("two lines") << QByteArray("5\r\n4800\r\n") << true << 5 << 4800;
        QTest::newRow("negative") << QByteArray("-1,9600") << true << -1 << 9600;
        QTest::newRow("limits") << QByteArray("-32768,32767") << true << -32768 << 32767;
        QTest::newRow("empty") << QByteArray() << false << 0 << 0;
        QTest::newRow("one number") << QByteArray("3\r\n") << false << 0 << 0;
        QTest::newRow("not a number") << QByteArray("COM3,9600") << false << 0 << 0;
        QTest::newRow("rate too large") << QByteArray("1,38400") << false << 0 << 0;
        QTest::newRow("port too small") << QByteArray("-32769,9600") << false << 0 << 0;
        QTest::newRow("empty field") << QByteArray("3,,9600") << false << 0 << 0;
        QTest::newRow("binary") << QByteArray("\x00\xff\x01", 3) << false << 0 << 0;
    }
    void settingsLine() {
        QFETCH(QByteArray, content);
        QFETCH(bool, stored);
        const auto parsed = commset::parse(std::string_view(content.constData(), size(content)));
        QCOMPARE(parsed.has_value(), stored);
        if (stored) {
            QTEST(int(parsed->port), "port");
            QTEST(int(parsed->rate), "rate");
        }
    }
    void settingsLineFormat() {
        QCOMPARE(commset::format(2, 19200), std::string("2,19200\r\n"));
        QCOMPARE(commset::format(-5, 0), std::string("-5,0\r\n"));
    }

    // Parameter write: typed text and row -> register value, or refused.
    void parameterEncoding_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("value"); // -1: refused
        QTest::newRow("row 0 1.0000") << "1.0000" << 0 << 0x2710;
        QTest::newRow("row 0 0.2") << "0.2" << 0 << 0x07D0;
        QTest::newRow("row 1 -1") << "-1" << 1 << 0xFFFF;
        QTest::newRow("row 1 -1000") << "-1000" << 1 << 0xFC18;
        QTest::newRow("row 1 1.5 to even") << "1.5" << 1 << 2;
        QTest::newRow("row 1 2.5 to even") << "2.5" << 1 << 2;
        QTest::newRow("row 2 700") << "700" << 2 << 0x02BC;
        QTest::newRow("row 2 5000, hint not enforced") << "5000" << 2 << 0x1388;
        QTest::newRow("row 3 4095") << "4095" << 3 << 0x0FFF;
        QTest::newRow("row 4 65535") << "65535" << 4 << 0xFFFF;
        QTest::newRow("row 4 -65535") << "-65535" << 4 << 0x0001;
        QTest::newRow("65535.4 widened is above") << "65535.4" << 4 << -1;
        QTest::newRow("65536") << "65536" << 4 << -1;
        QTest::newRow("-65536") << "-65536" << 1 << -1;
        QTest::newRow("row 0 7 encodes 70000") << "7" << 0 << -1;
        QTest::newRow("row 1 -0.4 rounds to 65536") << "-0.4" << 1 << -1;
        QTest::newRow("not numeric") << "abc" << 1 << -1;
        QTest::newRow("empty") << "" << 1 << -1;
        QTest::newRow("too large for single") << "1e39" << 1 << -1;
        QTest::newRow("1e400") << "1e400" << 1 << -1;
    }
    void parameterEncoding() {
        QFETCH(QString, text);
        QFETCH(int, row);
        QFETCH(int, value);
        const auto encoded = protocol::parameterRegisterValue(text.toStdString(), row);
        QCOMPARE(encoded ? int(*encoded) : -1, value);
    }

    // A parameter's register value as the window shows it: the same text the parameter reply
    // decodes to.
    void parameterText_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("scale 1.2345") << 0 << 12345 << "1.2345";
        QTest::newRow("scale 1.0000") << 0 << 10000 << "1.0000";
        QTest::newRow("scale 65535") << 0 << 65535 << "6.5535";
        QTest::newRow("offset -1") << 1 << 65535 << "-1";
        QTest::newRow("offset -1000") << 1 << 0xFC18 << "-1000";
        QTest::newRow("offset 32768 stays positive") << 1 << 32768 << "32768";
        QTest::newRow("offset 32769 turns") << 1 << 32769 << "-32767";
        QTest::newRow("da4 700") << 2 << 700 << "700";
        QTest::newRow("range 65535 unsigned") << 4 << 65535 << "65535";
    }
    void parameterText() {
        QFETCH(int, row);
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(protocol::parameterText(row, std::uint16_t(value))), text);
        const QByteArray reply = sealed(
            QByteArray("010302").append(QByteArray::number(value, 16).rightJustified(4, '0')));
        QCOMPARE(QString::fromStdString(*protocol::decodeParameter(data(reply), size(reply), row)),
                 text);
    }

    // How long the answer to a request is, judged from its first bytes.
    void expectedReplyLength_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<int>("length");
        const int registers = int(protocol::ReplyKind::Registers);
        const int echo = int(protocol::ReplyKind::WriteEcho);
        const int address = int(protocol::ReplyKind::Address);
        QTest::newRow("read 1, nothing yet")
            << hex("010300000001") << registers << QByteArray() << 7;
        QTest::newRow("read 8") << hex("010300000008") << registers << hex("01") << 21;
        QTest::newRow("read 5 from 3") << hex("010300030005") << registers << hex("0103") << 15;
        QTest::newRow("read, exception") << hex("010300000001") << registers << hex("0183") << 5;
        QTest::newRow("read, another function's exception")
            << hex("010300000001") << registers << hex("0186") << 7;
        QTest::newRow("write") << hex("01060A033039") << echo << hex("0106") << 8;
        QTest::newRow("write, exception") << hex("01060A033039") << echo << hex("0186") << 5;
        QTest::newRow("address") << hex("FA2502000001") << address << hex("FA25") << 6;
        QTest::newRow("address, exception") << hex("FA2502000001") << address << hex("FAA5") << 5;
    }
    void expectedReplyLength() {
        QFETCH(QByteArray, request);
        QFETCH(int, kind);
        QFETCH(QByteArray, received);
        const protocol::Frame f = frame(request.toHex().constData());
        QTEST(int(protocol::expectedReplyLength(f, protocol::ReplyKind(kind), data(received),
                                                size(received))),
              "length");
    }

    // A complete reply against its request: the first failing check, or the exception, or ok.
    void replyCheck_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("verdict"); // ok, exception NN, or the failed check
        const int registers = int(protocol::ReplyKind::Registers);
        const int echo = int(protocol::ReplyKind::WriteEcho);
        const int address = int(protocol::ReplyKind::Address);
        const QByteArray read = hex("010300000001");
        QTest::newRow("read ok") << read << registers << sealed("0103020064") << "ok";
        QTest::newRow("read, CRC one bit off")
            << read << registers << hex("0103020064B9AE") << "CRC";
        QTest::newRow("read, CRC bytes swapped")
            << read << registers << hex("0103020064AFB9") << "CRC";
        QTest::newRow("read, another station")
            << read << registers << sealed("0203020064") << "station";
        QTest::newRow("read, another function")
            << read << registers << sealed("0104020064") << "function";
        QTest::newRow("read, byte count 4 for 1 register")
            << read << registers << sealed("0103040064") << "byte count";
        QTest::newRow("read, exception 02")
            << read << registers << sealed("018302") << "exception 02";
        QTest::newRow("read, exception from another station")
            << read << registers << sealed("028302") << "station";
        QTest::newRow("read, exception with a bad CRC")
            << read << registers << hex("0183020000") << "CRC";
        QTest::newRow("read, cut short") << read << registers << sealed("0103") << "length";
        QTest::newRow("read, too long") << read << registers << sealed("010302006400") << "length";
        QTest::newRow("read 2 ok")
            << hex("010300000002") << registers << sealed("010304006409C4") << "ok";
        const QByteArray write = hex("01060A033039");
        QTest::newRow("write echo") << write << echo << sealed("01060A033039") << "ok";
        QTest::newRow("write echo, another value")
            << write << echo << sealed("01060A03303A") << "echo";
        QTest::newRow("write echo, another register")
            << write << echo << sealed("01060A043039") << "echo";
        QTest::newRow("write, exception 03") << write << echo << sealed("018603") << "exception 03";
        const QByteArray query = hex("FA2502000001");
        QTest::newRow("address 7") << query << address << sealed("FA250107") << "ok";
        QTest::newRow("address, byte count 2")
            << query << address << sealed("FA250207") << "byte count";
        QTest::newRow("address, from station 7")
            << query << address << sealed("07250107") << "station";
        QTest::newRow("address, two replies collided")
            << query << address << hex("FA25010FE1FF") << "CRC";
    }
    void replyCheck() {
        QFETCH(QByteArray, request);
        QFETCH(int, kind);
        QFETCH(QByteArray, reply);
        QFETCH(QString, verdict);
        const protocol::Frame f = frame(request.toHex().constData());
        const protocol::ReplyCheck check =
            protocol::checkReply(f, protocol::ReplyKind(kind), data(reply), size(reply));
        QString seen;
        switch (check.verdict) {
        case protocol::ReplyCheck::Verdict::Ok:
            seen = QStringLiteral("ok");
            break;
        case protocol::ReplyCheck::Verdict::Exception:
            seen = QStringLiteral("exception ") +
                   QString::fromStdString(modbus::byteText(check.exceptionCode));
            break;
        case protocol::ReplyCheck::Verdict::BadReply:
            seen = QString::fromStdString(check.failed);
            break;
        }
        QCOMPARE(seen, verdict);
    }

    void replyRegisters() {
        const QByteArray two = sealed("010304006409C4");
        QCOMPARE(protocol::replyRegisters(data(two), size(two)),
                 (std::vector<std::uint16_t>{100, 2500}));
        // The byte count bounds what is taken, and so does the reply's length.
        const QByteArray announcedOne = sealed("010302006409C4");
        QCOMPARE(protocol::replyRegisters(data(announcedOne), size(announcedOne)),
                 (std::vector<std::uint16_t>{100}));
        const QByteArray cut = hex("01030400");
        QVERIFY(protocol::replyRegisters(data(cut), size(cut)).empty());
    }

    void exceptionNames() {
        QCOMPARE(protocol::exceptionName(0x01), std::string("illegal function"));
        QCOMPARE(protocol::exceptionName(0x02), std::string("illegal data address"));
        QCOMPARE(protocol::exceptionName(0x03), std::string("illegal data value"));
        QCOMPARE(protocol::exceptionName(0x04), std::string("server device failure"));
        QCOMPARE(protocol::exceptionName(0x06), std::string("server device busy"));
        QCOMPARE(protocol::exceptionName(0x0B),
                 std::string("gateway target device failed to respond"));
        QCOMPARE(protocol::exceptionName(0x07), std::string("unknown exception"));
        QCOMPARE(protocol::exceptionName(0xFF), std::string("unknown exception"));
    }
};

QTEST_APPLESS_MAIN(TestPrimitives)
#include "test_primitives.moc"
