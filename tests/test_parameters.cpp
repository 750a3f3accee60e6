// The calibration parameters ("读出", "设置") and the station address ("读地址", "执行").

#include "tests/support/windowfixture.h"

#include <QLabel>
#include <QPlainTextEdit>

namespace {

const QString kValueMessage = QStringLiteral("你输入的值有误!");
const QString kStationMessage = QStringLiteral("你输入的设备地址格式有误!");
const QString kRangeMessage = QStringLiteral("请指定正确的设备地址，正确值范围为1-35");

} // namespace

class TestParameters : public QObject {
    Q_OBJECT
private slots:
    void readFrames_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("frame");
        auto row = [](const char* name, int row, const char* station, const char* function,
                      const char* start, const char* frame) {
            QTest::newRow(name) << row << station << function << start << frame;
        };
        row("row 0", 0, "2", "3", "0", "02 03 00 03 00 01 74 39");
        row("row 1", 1, "2", "3", "0", "02 03 00 04 00 01 C5 F8");
        row("row 2", 2, "2", "3", "0", "02 03 00 05 00 01 94 38");
        row("row 3", 3, "2", "3", "0", "02 03 00 06 00 01 64 38");
        row("row 4", 4, "2", "3", "0", "02 03 00 07 00 01 35 F8");
        row("start 10", 0, "2", "3", "10", "02 03 00 0D 00 01 15 FA");
        row("function 4", 0, "2", "4", "0", "02 04 00 03 00 01 C1 F9");
        row("station abc", 0, "abc", "3", "0", "00 03 00 03 00 01 75 DB");
        row("station 2.9", 0, "2.9", "3", "0", "02 03 00 03 00 01 74 39");
        row("start 253 + 3 overflows", 0, "2", "3", "253", "02 03 00 00 00 01 84 39");
    }
    void readFrames() {
        QFETCH(int, row);
        QFETCH(QString, station);
        QFETCH(QString, function);
        QFETCH(QString, start);
        QFETCH(QString, frame);
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        WindowFixture::type(w.txtStationID, station);
        WindowFixture::type(w.txtFunID, function);
        WindowFixture::type(w.txtStartID, start);
        w.txtState->setPlainText(QStringLiteral(" old"));
        if (w.cmdREAD[std::size_t(row)]->isVisible())
            WindowFixture::click(w.cmdREAD[std::size_t(row)]);
        else
            w.cmdREAD_Click(row); // the hidden rows are served all the same
        QCOMPARE(f.lastWritten(), frame);
        QCOMPARE(w.txtCommand->text(), frame + QLatin1Char(' '));
        QCOMPARE(w.txtState->toPlainText(), QString());
        QCOMPARE(int(w.ParamIndex), row);
        QCOMPARE(w.CmdType, std::int16_t(2));
        QCOMPARE(f.port->rThreshold(), 7);
        QCOMPARE(w.lampInFront(), w.ImgYellow);
        QVERIFY(f.sink.shown.isEmpty());
    }

    // Parameter writes with station 2: typed text -> frame, or the message and nothing sent.
    // A parameter write as a table: the row, the value and station typed, and either the frame
    // written (its first bytes; the rest is checked by CRC) or the message shown.
    void writes_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("message");
        auto sent = [](const char* name, int row, const char* value, const char* station,
                       const char* frame) {
            QTest::newRow(name) << row << value << station << frame << QString();
        };
        auto refused = [](const char* name, int row, const char* value, const char* station,
                          const QString& message) {
            QTest::newRow(name) << row << value << station << QString() << message;
        };
        sent("row 0 1.0000", 0, "1.0000", "2", "02 06 0A 03 27 10 60 1D");
        sent("row 0 0.2", 0, "0.2", "2", "02 06 0A 03 07 D0");
        sent("row 1 -1", 1, "-1", "2", "02 06 0A 04 FF FF CA 50");
        sent("row 1 -1000", 1, "-1000", "2", "02 06 0A 04 FC 18");
        sent("row 1 1.5", 1, "1.5", "2", "02 06 0A 04 00 02");
        sent("row 1 2.5", 1, "2.5", "2", "02 06 0A 04 00 02");
        sent("row 2 700", 2, "700", "2", "02 06 0A 05 02 BC");
        sent("row 2 5000", 2, "5000", "2", "02 06 0A 05 13 88 97 76");
        sent("row 3 4095", 3, "4095", "2", "02 06 0A 06 0F FF");
        sent("row 4 65535", 4, "65535", "2", "02 06 0A 07 FF FF 3A 50");
        sent("row 4 -65535", 4, "-65535", "2", "02 06 0A 07 00 01");
        sent("station 2.9", 1, "0", "2.9", "02 06 0A 04 00 00");
        refused("65535.4", 4, "65535.4", "2", kValueMessage);
        refused("65536", 4, "65536", "2", kValueMessage);
        refused("-65536", 1, "-65536", "2", kValueMessage);
        refused("row 0 7 encodes 70000", 0, "7", "2", kValueMessage);
        refused("row 1 -0.4 rounds to 65536", 1, "-0.4", "2", kValueMessage);
        refused("value abc", 1, "abc", "2", kValueMessage);
        refused("value empty", 0, "", "2", kValueMessage);
        refused("value 1e400", 1, "1e400", "2", kValueMessage);
        refused("value checked before station", 1, "abc", "abc", kValueMessage);
        refused("station abc", 1, "5", "abc", kStationMessage);
        refused("station 256", 1, "5", "256", kStationMessage);
        refused("station -1", 1, "5", "-1", kStationMessage);
    }
    void writes() {
        QFETCH(int, row);
        QFETCH(QString, value);
        QFETCH(QString, station);
        QFETCH(QString, frame);
        QFETCH(QString, message);
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        w.txtsetValue[std::size_t(row)]->setText(value);
        WindowFixture::type(w.txtStationID, station);
        w.txtCommand->setText(QStringLiteral("previous "));
        w.txtState->setPlainText(QStringLiteral(" previous"));
        f.port->ops.clear();
        w.cmdSet_Click(row);
        if (message.isEmpty()) {
            QVERIFY(f.sink.shown.isEmpty());
            QVERIFY(f.lastWritten().startsWith(frame));
            QVERIFY(crcMatches(f.port->written.last()));
            QCOMPARE(w.txtCommand->text(), f.lastWritten() + QLatin1Char(' '));
            QCOMPARE(w.txtState->toPlainText(), QString());
            QCOMPARE(w.CmdType, std::int16_t(3));
            QCOMPARE(f.port->rThreshold(), 6);
            QCOMPARE(w.lampInFront(), w.imgConnected);
        } else {
            QCOMPARE(f.sink.texts(), QStringList{message});
            QCOMPARE(f.sink.shown[0].icon, MessageSink::Icon::None);
            QVERIFY(f.port->ops.isEmpty());
            QCOMPARE(w.txtCommand->text(), QStringLiteral("previous "));
            QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" previous"));
            QCOMPARE(w.CmdType, std::int16_t(0));
        }
    }

    // Every request on a closed port, as one table: the data query and the parameter read tell
    // the operator and stop polling; the parameter write and the address requests show their
    // frame and only light the red lamp. Nothing is written in any case.
    void closedPort_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("message"); // empty: no box
        QTest::addColumn<QString>("command"); // txtCommand afterwards
        QTest::addColumn<int>("kind");        // CmdType afterwards
        QTest::addColumn<int>("paramIndex");
        QTest::addColumn<bool>("commOk");
        const QString closed = QStringLiteral("打开串口出错，请确定串口是否已被占用");
        auto row = [](const char* name, const char* button, const QString& message,
                      const char* command, int kind, int paramIndex, bool commOk) {
            QTest::newRow(name) << button << message << command << kind << paramIndex << commOk;
        };
        row("data query", "comDoOnce", closed, "previous ", 0, 0, false);
        row("parameter read", "cmdREAD_1", closed, "previous ", 0, 1, false);
        row("parameter write", "cmdSet_0", {}, "02 06 0A 03 27 10 60 1D ", 3, 0, true);
        row("address read", "cmdReadAdd", {}, "FA 25 02 00 00 01 99 FE ", 5, 0, true);
        row("address change", "cmdChangeID", {}, "01 06 0B 00 00 02 0A 2F ", 5, 0, true);
    }
    void closedPort() {
        QFETCH(QString, button);
        QFETCH(QString, message);
        QFETCH(QString, command);
        QFETCH(int, kind);
        QFETCH(int, paramIndex);
        QFETCH(bool, commOk);
        WindowFixture f(nullptr); // nothing stored: the port stays closed
        frmMain& w = f.w();
        w.show();
        w.txtStationID->setText(QStringLiteral("2"));
        w.txtSetID[1]->setText(QStringLiteral("2"));
        w.txtCommand->setText(QStringLiteral("previous "));
        w.txtState->setPlainText(QStringLiteral(" previous"));
        w.CommOK = true;
        WindowFixture::click(w.findChild<QPushButton*>(button));
        if (message.isEmpty()) {
            QVERIFY(f.sink.shown.isEmpty());
        } else {
            QCOMPARE(f.sink.texts(), QStringList{message});
            QCOMPARE(f.sink.shown[0].title, QStringLiteral("QF7300光照度传感器随机软件"));
        }
        QCOMPARE(w.lampInFront(), w.imgNotConnected);
        QCOMPARE(w.CommOK, commOk);
        QCOMPARE(w.txtCommand->text(), command);
        QCOMPARE(w.txtState->toPlainText(), QString());
        QCOMPARE(int(w.CmdType), kind);
        QCOMPARE(int(w.ParamIndex), paramIndex);
        QVERIFY(f.port->written.isEmpty());
    }

    void parameterReplies_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("shown");
        QTest::newRow("row 0 10000") << 0 << bytesFromHex("02030227 10E678") << "1.0000";
        QTest::newRow("row 0 FFFF") << 0 << bytesFromHex("020302FFFFFDF4") << "6.5535";
        QTest::newRow("row 1 FFFF") << 1 << bytesFromHex("020302FFFFFDF4") << "-1";
        QTest::newRow("row 4 FFFF") << 4 << bytesFromHex("020302FFFFFDF4") << "65535";
        QTest::newRow("row 1 -1000") << 1 << bytesFromHex("020302FC18BD4E") << "-1000";
        QTest::newRow("row 1 32768 stays") << 1 << bytesFromHex("02030280009D84") << "32768";
        QTest::newRow("row 1 32769 turns") << 1 << bytesFromHex("02030280015C44") << "-32767";
        QTest::newRow("row 2 700") << 2 << bytesFromHex("02030202BCFC95") << "700";
        QTest::newRow("row 3 4095") << 3 << bytesFromHex("0203020FFFB9F4") << "4095";
        QTest::newRow("row 0 foreign station") << 0 << bytesFromHex("09830227100000") << "1.0000";
        QTest::newRow("short reply keeps the text") << 0 << bytesFromHex("020302") << "keep";
        QTest::newRow("four bytes keep the text") << 1 << bytesFromHex("02030227") << "keep";
    }
    void parameterReplies() {
        QFETCH(int, row);
        QFETCH(QByteArray, reply);
        QFETCH(QString, shown);
        WindowFixture f;
        frmMain& w = f.w();
        for (QLineEdit* box : w.txtsetValue)
            box->setText(QStringLiteral("keep"));
        w.cmdREAD_Click(row);
        f.port->setRThreshold(int(reply.size()));
        f.port->receive(reply);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(w.txtsetValue[std::size_t(i)]->text(),
                     i == row ? shown : QStringLiteral("keep"));
        QCOMPARE(w.lampInFront(), w.imgConnected);
    }

    // A write leaves the row of the last read, and its reply decodes nothing.
    void writeReplyDecodesNothing() {
        WindowFixture f;
        frmMain& w = f.w();
        w.cmdREAD_Click(1);
        w.txtsetValue[0]->setText(QStringLiteral("1.2345"));
        w.cmdSet_Click(0);
        QCOMPARE(w.ParamIndex, std::int16_t(1));
        QCOMPARE(w.CmdType, std::int16_t(3));
        w.txtsetValue[1]->setText(QStringLiteral("keep"));
        f.port->receive(bytesFromHex("01060A0330 39 AB"));
        QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" 01 06 0A 03 30 39 AB"));
        QCOMPARE(w.txtsetValue[1]->text(), QStringLiteral("keep"));
        QCOMPARE(w.txtsetValue[0]->text(), QStringLiteral("1.2345"));
        QCOMPARE(w.lampInFront(), w.imgConnected);
    }

    // An address change as a table: the old and new addresses typed, and either the frame
    // written or the message shown.
    void addressChange_data() {
        QTest::addColumn<QString>("oldAddress");
        QTest::addColumn<QString>("newAddress");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("message");
        auto sent = [](const char* name, const char* from, const char* to, const char* frame) {
            QTest::newRow(name) << from << to << frame << QString();
        };
        auto refused = [](const char* name, const char* from, const char* to,
                          const QString& message) {
            QTest::newRow(name) << from << to << QString() << message;
        };
        const QString above = kRangeMessage + QLatin1Char('!');
        sent("both 1", "1", "1", "01 06 0B 00 00 01 4A 2E");
        sent("1 to 2", "1", "2", "01 06 0B 00 00 02 0A 2F");
        sent("1 to 35", "1", "35", "01 06 0B 00 00 23 CA 37");
        sent("250 to 5", "250", "5", "FA 06 0B 00 00 05 5E 66");
        sent("35.9 floors to 35", "1", "35.9", "01 06 0B 00 00 23 CA 37");
        refused("both empty", "", "", QStringLiteral("你输入的原设备地址格式有误!"));
        refused("new empty", "1", "", QStringLiteral("你输入的目标设备地址格式有误!"));
        refused("new 0.5", "3", "0.5", kRangeMessage);
        refused("new 36", "1", "36", above);
        refused("old 0 before new 99", "0", "99", kRangeMessage);
        refused("old 256", "256", "5", kRangeMessage);
        refused("old -1", "-1", "5", kRangeMessage);
        refused("new -3", "1", "-3", kRangeMessage);
        refused("new 1e400", "1", "1e400", above);
    }
    void addressChange() {
        QFETCH(QString, oldAddress);
        QFETCH(QString, newAddress);
        QFETCH(QString, frame);
        QFETCH(QString, message);
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        WindowFixture::type(w.txtSetID[0], oldAddress);
        WindowFixture::type(w.txtSetID[1], newAddress);
        w.txtCommand->setText(QStringLiteral("previous "));
        f.port->ops.clear();
        WindowFixture::click(w.cmdChangeID);
        if (message.isEmpty()) {
            QVERIFY(f.sink.shown.isEmpty());
            QCOMPARE(f.lastWritten(), frame);
            QCOMPARE(w.txtCommand->text(), frame + QLatin1Char(' '));
            QCOMPARE(w.CmdType, std::int16_t(5));
            QCOMPARE(f.port->rThreshold(), 6);
            QCOMPARE(w.lampInFront(), w.imgConnected);
        } else {
            QCOMPARE(f.sink.texts(), QStringList{message});
            QVERIFY(f.port->ops.isEmpty());
            QCOMPARE(w.txtCommand->text(), QStringLiteral("previous "));
            QCOMPARE(w.CmdType, std::int16_t(0));
        }
    }

    // Replies to the address requests as a table: the reply, the receive threshold it arrives
    // under, and the address the two boxes show afterwards ("keep": they keep "7").
    void addressReplies_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<QString>("shown");
        auto row = [](const char* name, const QByteArray& reply, int threshold, const char* shown) {
            QTest::newRow(name) << reply << threshold << shown;
        };
        row("address query answer", withCrc("FA250105"), 6, "5");
        row("change echo, first six bytes", bytesFromHex("01060B000005"), 6, "5");
        row("change echo, whole", withCrc("01060B000005"), 8, "5");
        row("change echo cut short after its register", bytesFromHex("01060B00"), 4, "keep");
        row("change echo without its new address", bytesFromHex("01060B0000"), 5, "keep");
        row("three bytes hold no address", bytesFromHex("FA2501"), 3, "keep");
    }
    void addressReplies() {
        QFETCH(QByteArray, reply);
        QFETCH(int, threshold);
        QFETCH(QString, shown);
        WindowFixture f;
        frmMain& w = f.w();
        WindowFixture::click(w.cmdReadAdd);
        w.txtSetID[0]->setText(QStringLiteral("7"));
        w.txtStationID->setText(QStringLiteral("7"));
        f.port->setRThreshold(threshold);
        f.port->receive(reply);
        const QString expected = shown == QLatin1String("keep") ? QStringLiteral("7") : shown;
        QCOMPARE(w.txtSetID[0]->text(), expected);
        QCOMPARE(w.txtStationID->text(), expected);
        QCOMPARE(w.lampInFront(), w.imgConnected);
    }

    void addressRead() {
        WindowFixture f;
        frmMain& w = f.w();
        w.txtStationID->setText(QStringLiteral("abc"));
        w.txtSetID[0]->setText(QString());
        w.txtSetID[1]->setText(QStringLiteral("zz"));
        WindowFixture::click(w.cmdReadAdd);
        QCOMPARE(f.lastWritten(), QStringLiteral("FA 25 02 00 00 01 99 FE"));
        QCOMPARE(w.txtCommand->text(), QStringLiteral("FA 25 02 00 00 01 99 FE "));
        QCOMPARE(w.CmdType, std::int16_t(5));
        QCOMPARE(f.port->rThreshold(), 6);
        // The sensor answers with its address in byte 3; later requests go there.
        f.port->receive(withCrc("FA250105"));
        QCOMPARE(w.txtSetID[0]->text(), QStringLiteral("5"));
        QCOMPARE(w.txtStationID->text(), QStringLiteral("5"));
        WindowFixture::click(w.comDoOnce);
        QVERIFY(f.lastWritten().startsWith(QStringLiteral("05 03 00 00 00 01")));
    }

    // The sensor echoes an address change; the new address is taken from the echo, not the
    // 00 of its register byte, so the next query reaches the sensor at its new address.
    void addressChangeEcho() {
        WindowFixture f;
        frmMain& w = f.w();
        w.txtSetID[1]->setText(QStringLiteral("5"));
        WindowFixture::click(w.cmdChangeID);
        QCOMPARE(f.lastWritten(), QStringLiteral("01 06 0B 00 00 05 4B ED"));
        f.port->receive(bytesFromHex("01060B000005")); // the event comes at 6 of the 8 bytes
        QCOMPARE(w.txtSetID[0]->text(), QStringLiteral("5"));
        QCOMPARE(w.txtStationID->text(), QStringLiteral("5"));
        f.port->receive(bytesFromHex("4BED")); // the CRC's two bytes alone raise nothing
        QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" 01 06 0B 00 00 05"));
        WindowFixture::click(w.comDoOnce);
        QCOMPARE(f.lastWritten(), QStringLiteral("05 03 00 00 00 01 85 8E"));
    }
};

QTEST_MAIN(TestParameters)
#include "test_parameters.moc"
