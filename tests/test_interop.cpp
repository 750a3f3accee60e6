// The tool against an independent Modbus implementation: a libmodbus RTU server answers the
// window over a pseudo-terminal. libmodbus checks every request's CRC and framing itself and
// drops what it cannot accept, so an answer shown in the window proves the frame was sound.

#include "tests/support/modbusserver.h"
#include "tests/support/windowfixture.h"

#include "serial/qtserialcomponent.h"

#include <QLabel>
#include <QPlainTextEdit>

class TestInterop : public QObject {
    Q_OBJECT
private slots:
    void toolAgainstLibmodbusServer() {
        ModbusServer server;
        QVERIFY(!server.slaveName.isEmpty());
        server.set(0, 1234);  // illuminance / 10
        server.set(1, 2512);  // temperature x 100
        server.set(3, 12345); // scale factor x 10000
        QTemporaryDir dir;
        QVERIFY(QFile::link(server.slaveName, dir.filePath(QStringLiteral("COM1"))));
        QVERIFY(writeCommSet(dir.path(), 1, 9600));
        RecordingSink sink;
        frmMain w(std::make_unique<QtSerialComponent>(dir.path()), sink, dir.path());
        w.show();
        QVERIFY(w.MSComm1->portOpen());
        auto events = [&] { return w.lblErrCounter->text().toInt(); };

        // Data query for two registers.
        WindowFixture::type(w.txtDataLength, QStringLiteral("2"));
        WindowFixture::click(w.comDoOnce);
        QTRY_COMPARE_WITH_TIMEOUT(events(), 1, 5000);
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("12340"));
        QCOMPARE(w.txtValue[1]->text(), QStringLiteral("25.12"));

        // Parameter read of row 0 (register 3).
        WindowFixture::click(w.cmdREAD[0]);
        QTRY_COMPARE_WITH_TIMEOUT(events(), 2, 5000);
        QCOMPARE(w.txtsetValue[0]->text(), QStringLiteral("1.2345"));

        // Parameter write of row 1 (register 0x0A04): the server stores it and echoes it.
        w.txtsetValue[1]->setText(QStringLiteral("-1000"));
        WindowFixture::click(w.cmdSet[1]);
        QTRY_COMPARE_WITH_TIMEOUT(events(), 3, 5000);
        QCOMPARE(server.get(0x0A04), std::uint16_t(0xFC18));
        QVERIFY(w.txtState->toPlainText().startsWith(QStringLiteral(" 01 06 0A 04 FC 18")));
        QVERIFY(sink.shown.isEmpty());
    }
};

QTEST_MAIN(TestInterop)
#include "test_interop.moc"
