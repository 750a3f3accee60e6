// "单次": the inputs' validation, the frame on the line, and the reply decoded into the fields.

#include "tests/support/windowfixture.h"

#include <QLabel>
#include <QPlainTextEdit>

#include <limits>

class TestDataQuery : public QObject {
    Q_OBJECT
private slots:
    void asTheWindowOpens() {
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        WindowFixture::click(w.comDoOnce);
        QCOMPARE(f.lastWritten(), QStringLiteral("01 03 00 00 00 01 84 0A"));
        QCOMPARE(w.txtCommand->text(), QStringLiteral("01 03 00 00 00 01 84 0A "));
        QCOMPARE(w.lampInFront(), w.ImgYellow);
        QCOMPARE(w.RecLength, std::int16_t(7));
        QCOMPARE(w.CmdType, std::int16_t(1));

        f.port->receive(bytesFromHex("010302006 4B9AF"));
        QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" 01 03 02 00 64 B9 AF"));
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("1000"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("1"));
        QCOMPARE(w.lampInFront(), w.imgConnected);
        QVERIFY(f.sink.shown.isEmpty());
    }

    // The order of the port operations: the threshold and the kind are in place before the
    // frame goes out, so a fast reply is decoded as this request's.
    void portOperationsInOrder() {
        WindowFixture f;
        frmMain& w = f.w();
        std::int16_t typeAtWrite = -1;
        int thresholdAtWrite = -1;
        f.port->onOutput = [&](const QByteArray&) {
            typeAtWrite = w.CmdType;
            thresholdAtWrite = f.port->rThreshold();
        };
        w.txtDataLength->setText(QStringLiteral("7"));
        f.port->ops.clear();
        WindowFixture::click(w.comDoOnce);
        QCOMPARE(f.port->ops,
                 (QStringList{"InBufferCount=0", "InputLen=0", "InputMode=1", "RThreshold=0",
                              "RThreshold=19", "Output=01 03 00 00 00 07 04 08"}));
        QCOMPARE(typeAtWrite, std::int16_t(1));
        QCOMPARE(thresholdAtWrite, 19);
        // A reply arriving in pieces raises the event only once all 19 bytes wait.
        f.port->receive(bytesFromHex("0103 0E 0064 09C4 3039 2710"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("0"));
        f.port->receive(bytesFromHex("0000 0000 0000 AABB"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("1"));
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("1000"));
        QCOMPARE(w.txtValue[3]->text(), QStringLiteral("100.00"));
    }

    // A data query as a table: the four inputs typed, and either the frame written or the
    // message shown.
    void validation_data() {
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("length");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("message");
        auto sent = [](const char* name, const char* station, const char* function,
                       const char* length, const char* start, const char* frame) {
            QTest::newRow(name) << station << function << length << start << frame << QString();
        };
        auto refused = [](const char* name, const char* station, const char* function,
                          const char* length, const char* start, const QString& message) {
            QTest::newRow(name) << station << function << length << start << QString() << message;
        };
        const QString badStation = QStringLiteral("你输入的设备地址格式有误!");
        const QString badFunction = QStringLiteral("你输入的功能码格式有误!");
        const QString badLength = QStringLiteral("你输入的数据长度格式有误!");
        const QString badStart = QStringLiteral("你输入的起始地址格式有误!");
        const QString lengthRange = QStringLiteral("你输入的数据长度格式有误,正确的值应该为1-7!");
        sent("defaults", "1", "3", "1", "0", "01 03 00 00 00 01 84 0A");
        sent("station 2", "2", "3", "1", "0", "02 03 00 00 00 01 84 39");
        sent("length 7", "1", "3", "7", "0", "01 03 00 00 00 07 04 08");
        refused("empty station first", "", "x", "abc", "y", badStation);
        refused("function abc", "1", "abc", "1", "0", badFunction);
        refused("length abc before the range", "1", "3", "abc", "0", badLength);
        refused("start abc", "1", "3", "1", "abc", badStart);
        refused("start abc before length 8", "1", "3", "8", "abc", badStart);
        refused("length 8", "1", "3", "8", "0", lengthRange);
        refused("length 1e1", "1", "3", "1e1", "0", lengthRange);
        refused("length 0", "1", "3", "0", "0", lengthRange);
        refused("length 0.5", "1", "3", "0.5", "0", lengthRange);
        refused("length -1", "1", "3", "-1", "0", lengthRange);
        refused("length 1e400", "1", "3", "1e400", "0", lengthRange);
        sent("length 7.9 sends 7", "1", "3", "7.9", "0", "01 03 00 00 00 07 04 08");
        sent("station 300 sends 00", "300", "3", "1", "0", "00 03 00 00 00 01 85 DB");
        sent("station 2.9 sends 02", "2.9", "3", "1", "0", "02 03 00 00 00 01 84 39");
        sent("station -0.5 sends 00", "-0.5", "3", "1", "0", "00 03 00 00 00 01 85 DB");
        sent("station 1e400 sends 00", "1e400", "3", "1", "0", "00 03 00 00 00 01 85 DB");
        sent("function 3.5 sends 04", "1", "3.5", "1", "0", "01 04 00 00 00 01 31 CA");
        sent("function 2.5 sends 02", "1", "2.5", "1", "0", "01 02 00 00 00 01 B9 CA");
        sent("function 256 sends 00", "1", "256", "1", "0", "01 00 00 00 00 01 C0 0A");
        sent("start 5", "1", "3", "1", "5", "01 03 00 05 00 01 94 0B");
        sent("start 256 sends 00", "1", "3", "1", "256", "01 03 00 00 00 01 84 0A");
        sent("blanks around", " 2 ", " 3", "1 ", " 0 ", "02 03 00 00 00 01 84 39");
    }
    void validation() {
        QFETCH(QString, station);
        QFETCH(QString, function);
        QFETCH(QString, length);
        QFETCH(QString, start);
        QFETCH(QString, frame);
        QFETCH(QString, message);
        WindowFixture f;
        frmMain& w = f.w();
        w.show();
        // Earlier frames in both monitor fields.
        w.txtCommand->setText(QStringLiteral("previous request "));
        w.txtState->setPlainText(QStringLiteral(" previous reply"));
        WindowFixture::type(w.txtStationID, station);
        WindowFixture::type(w.txtFunID, function);
        WindowFixture::type(w.txtDataLength, length);
        WindowFixture::type(w.txtStartID, start);
        f.port->ops.clear();
        WindowFixture::click(w.comDoOnce);

        if (message.isEmpty()) {
            QVERIFY(f.sink.shown.isEmpty());
            QCOMPARE(f.lastWritten(), frame);
            QCOMPARE(w.txtCommand->text(), frame + QLatin1Char(' '));
            QCOMPARE(w.txtState->toPlainText(), QString());
        } else {
            QCOMPARE(f.sink.texts(), QStringList{message});
            QCOMPARE(f.sink.shown[0].title, QStringLiteral("QF7300光照度传感器随机软件"));
            QCOMPARE(f.sink.shown[0].icon, MessageSink::Icon::None);
            // A refused input changes nothing.
            QVERIFY(f.port->ops.isEmpty());
            QCOMPARE(w.txtCommand->text(), QStringLiteral("previous request "));
            QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" previous reply"));
            QCOMPARE(w.lampInFront(), w.imgNotConnected);
            QCOMPARE(w.CmdType, std::int16_t(0));
        }
    }

    // Replies to a data query as a table: the start text, the reply, and what the four fields
    // show afterwards ("-" where a field keeps its text).
    void decoding_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("fields");
        auto row = [](const char* name, const char* start, const char* reply, QStringList fields) {
            QTest::newRow(name) << QString::fromLatin1(start) << bytesFromHex(reply) << fields;
        };
        row("one register", "0", "02030200 64FDAF", {"1000", "-", "-", "-"});
        row("corrupted CRC decodes the same", "0", "02030200640000", {"1000", "-", "-", "-"});
        row("foreign station decodes the same", "0", "09030200 64FDAF", {"1000", "-", "-", "-"});
        row("four registers", "0", "03 03 08 0064 09C4 3039 2710 8B2C",
            {"1000", "25.00", "1.2345", "100.00"});
        row("start 2 places at 2", "2", "0203043039 27100C02", {"-", "-", "1.2345", "100.00"});
        row("start 1 places at 0", "1", "020306 0064 09C4 3039 D23E",
            {"1000", "25.00", "1.2345", "-"});
        row("start 3 shows nothing", "3", "020306 0064 09C4 3039 D23E", {"-", "-", "-", "-"});
        row("start 3.7 floors to 3", "3.7", "0203020064FDAF", {"-", "-", "-", "-"});
        row("start abc counts as 0", "abc", "0203020064FDAF", {"1000", "-", "-", "-"});
        row("seven registers, 4-6 have no field", "0",
            "02030E 0001 0002 0003 0004 0005 0006 0007 0000", {"10", "0.02", "0.0003", "0.04"});
        row("unsigned 0xFFFF", "1", "020304 0000 FFFF 0000", {"0", "655.35", "-", "-"});
        row("zeros", "0", "020306 0000 0000 0000 0000", {"0", "0.00", "0.0000", "-"});
        row("small values keep leading zeros", "0", "020306 0000 0005 0005 0000",
            {"0", "0.05", "0.0005", "-"});
        row("odd byte count 3 decodes one", "0", "020303 0064 09C4 0000", {"1000", "-", "-", "-"});
        row("byte count 0 decodes none", "0", "020300 0064 0000", {"-", "-", "-", "-"});
        row("byte count 1 decodes none", "0", "020301 0064 0000", {"-", "-", "-", "-"});
        row("exception reply decoded as data", "0", "028302 C0F1 00", {"493930", "-", "-", "-"});
        // The count promises more than arrived: pairs that reach into the CRC are data, a pair
        // whose bytes never arrived is not decoded at all.
        row("count beyond the reply", "0", "020308 0064 09C4 AABB",
            {"1000", "25.00", "4.3707", "-"});
        row("pair with only its high byte", "0", "020304 0064 09", {"1000", "-", "-", "-"});
    }
    void decoding() {
        QFETCH(QString, start);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, fields);
        WindowFixture f;
        frmMain& w = f.w();
        for (QLineEdit* field : w.txtValue)
            field->setText(QStringLiteral("-"));
        WindowFixture::click(w.comDoOnce);
        w.txtStartID->setText(start); // decoding reads the start text when the reply arrives
        f.port->setRThreshold(int(reply.size()));
        f.port->receive(reply);
        QStringList shown;
        for (QLineEdit* field : w.txtValue)
            shown << field->text();
        QCOMPARE(shown, fields);
        QCOMPARE(w.lampInFront(), w.imgConnected);
    }

    // A reply too short to hold a byte count decodes nothing and never reads past its end.
    void replyWithoutByteCount() {
        WindowFixture f;
        frmMain& w = f.w();
        WindowFixture::click(w.comDoOnce);
        f.port->setRThreshold(2);
        f.port->receive(bytesFromHex("0103"));
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("0"));
        QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" 01 03"));
        QCOMPARE(w.lampInFront(), w.imgConnected);
    }

    void beforeAnyRequestNothingIsDecoded() {
        WindowFixture f; // threshold 1 after the port opened, CmdType 0
        frmMain& w = f.w();
        f.port->receive(bytesFromHex("01"));
        f.port->receive(bytesFromHex("03"));
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("2"));
        QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" 03"));
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("0"));
        QCOMPARE(w.lampInFront(), w.imgConnected);
    }

    void otherEventsAreOnlyCounted() {
        WindowFixture f;
        frmMain& w = f.w();
        w.txtState->setPlainText(QStringLiteral(" 01"));
        f.port->raise(SerialComponent::EventLineError);
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("1"));
        QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" 01"));
        QCOMPARE(w.lampInFront(), w.imgNotConnected);
        QVERIFY(!f.port->ops.contains(QStringLiteral("Input")));
    }

    void eventCounterStopsAtItsLargestValue() {
        WindowFixture f;
        frmMain& w = f.w();
        w.RecCount = std::numeric_limits<std::int32_t>::max() - 1;
        f.port->raise(SerialComponent::EventLineError);
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("2147483647"));
        f.port->raise(SerialComponent::EventLineError);
        QCOMPARE(w.RecCount, std::numeric_limits<std::int32_t>::max());
        QCOMPARE(w.lblErrCounter->text(), QStringLiteral("2147483647"));
    }

    // Bytes of a late reply still waiting when the next query goes out are discarded.
    void nextQueryDiscardsWaitingBytes() {
        WindowFixture f;
        frmMain& w = f.w();
        WindowFixture::click(w.comDoOnce);
        f.port->receive(bytesFromHex("010302"));
        WindowFixture::click(w.comDoOnce);
        QVERIFY(f.port->waiting().isEmpty());
        f.port->receive(bytesFromHex("0103020064B9AF"));
        QCOMPARE(w.txtState->toPlainText(), QStringLiteral(" 01 03 02 00 64 B9 AF"));
    }
};

QTEST_MAIN(TestDataQuery)
#include "test_dataquery.moc"
