// The QSerialPort binding against a pseudo-terminal: the test holds the master side and plays
// the device; the component opens the slave side through a COMn link in the program directory.

#include "serial/qtserialcomponent.h"
#include "tests/support/ptypair.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestSerialPort : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;

    // A component with port 3 linked to a fresh pseudo-terminal and opened at 9600,N,8,1.
    std::unique_ptr<QtSerialComponent> openedOn(const PtyPair& pty) {
        const QString link = dir.filePath(QStringLiteral("COM3"));
        QFile::remove(link);
        if (!QFile::link(pty.slaveName, link))
            return nullptr;
        auto port = std::make_unique<QtSerialComponent>(dir.path());
        if (!port->setCommPort(3) || !port->setSettings(QStringLiteral("9600,N,8,1")) ||
            !port->setPortOpen(true))
            return nullptr;
        return port;
    }

private slots:
    void portNumbersResolve() {
        QtSerialComponent port(dir.path());
        QCOMPARE(port.deviceFor(2), QStringLiteral("/dev/ttyS1"));
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/device"),
                            dir.filePath(QStringLiteral("COM9"))));
        QCOMPARE(port.deviceFor(9), dir.filePath(QStringLiteral("COM9")));
        // A port whose device is missing refuses to open and stays closed.
        QVERIFY(port.setCommPort(9));
        QVERIFY(!port.setPortOpen(true));
        QVERIFY(!port.portOpen());
        QCOMPARE(port.commPort(), 9);
        QVERIFY(!port.setCommPort(0));
        QCOMPARE(port.commPort(), 9);
        // Operations on a closed port change nothing and fail nothing, but a write fails.
        QVERIFY(port.setInBufferCount(0));
        QVERIFY(port.setRThreshold(7));
        QVERIFY(port.setInputMode(1));
        QVERIFY(!port.setOutput(QByteArray(8, '\0')));
        QVERIFY(port.input().isEmpty());
    }

    void settingsTexts_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("9600,N,8,1") << "9600,N,8,1" << true;
        QTest::newRow("19200,E,7,2") << "19200,E,7,2" << true;
        QTest::newRow("2400,n,8,1") << "2400,n,8,1" << true;
        QTest::newRow("zero rate") << "0,N,8,1" << false;
        QTest::newRow("negative rate") << "-5,N,8,1" << false;
        QTest::newRow("parity X") << "9600,X,8,1" << false;
        QTest::newRow("9 bits") << "9600,N,9,1" << false;
        QTest::newRow("stop 3") << "9600,N,8,3" << false;
        QTest::newRow("missing field") << "9600,N,8" << false;
        QTest::newRow("text") << "abc" << false;
    }
    void settingsTexts() {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QtSerialComponent port(dir.path());
        QCOMPARE(port.setSettings(text), accepted);
    }

    void writesReachThePeer() {
        PtyPair pty;
        QVERIFY(pty.master >= 0);
        auto port = openedOn(pty);
        QVERIFY(port);
        QVERIFY(port->portOpen());
        const QByteArray frame = QByteArray::fromHex("0103000000018 40A");
        QVERIFY(port->setOutput(frame));
        QCOMPARE(pty.receive(8), frame);
    }

    // The receive event comes once the threshold is reached, not before, and input() takes
    // every waiting byte.
    void receiveEventAtTheThreshold() {
        PtyPair pty;
        auto port = openedOn(pty);
        QVERIFY(port);
        QSignalSpy events(port.get(), &SerialComponent::onComm);
        QVERIFY(port->setRThreshold(7));
        pty.send(QByteArray::fromHex("010302"));
        QVERIFY(!events.wait(300));
        pty.send(QByteArray::fromHex("0064B9AF"));
        QVERIFY(events.wait(3000));
        QCOMPARE(port->commEvent(), int(SerialComponent::EventReceive));
        QCOMPARE(port->input(), QByteArray::fromHex("0103020064B9AF"));
        QVERIFY(port->input().isEmpty());

        // Threshold 0 raises nothing.
        events.clear();
        QVERIFY(port->setRThreshold(0));
        pty.send(QByteArray::fromHex("AA"));
        QVERIFY(!events.wait(300));
    }

    // The reply as a line at 9600 baud delivers it, a byte at a time: one event, once the
    // threshold is reached, with every byte.
    void replyByteByByte() {
        PtyPair pty;
        auto port = openedOn(pty);
        QVERIFY(port);
        QSignalSpy events(port.get(), &SerialComponent::onComm);
        QVERIFY(port->setRThreshold(7));
        const QByteArray reply = QByteArray::fromHex("0103020064B9AF");
        for (char byte : reply.left(6)) {
            pty.send(QByteArray(1, byte));
            QVERIFY(!events.wait(5));
        }
        pty.send(reply.right(1));
        QVERIFY(events.wait(3000));
        QCOMPARE(events.size(), 1);
        QCOMPARE(port->input(), reply);
    }

    // What counts is every byte waiting, also those left by an earlier event: the event comes
    // when the waiting bytes reach the threshold, and again at each byte while they stay there.
    void bytesLeftWaitingCount() {
        PtyPair pty;
        auto port = openedOn(pty);
        QVERIFY(port);
        QSignalSpy events(port.get(), &SerialComponent::onComm);
        QVERIFY(port->setRThreshold(3));
        pty.send(QByteArray::fromHex("010203"));
        QVERIFY(events.wait(3000));
        // Nothing is read: one more byte raises the event again.
        pty.send(QByteArray::fromHex("04"));
        QVERIFY(events.wait(3000));
        QCOMPARE(events.size(), 2);
        // Four wait; a threshold of 7 lacks three.
        QVERIFY(port->setRThreshold(7));
        pty.send(QByteArray::fromHex("0506"));
        QVERIFY(!events.wait(300));
        pty.send(QByteArray::fromHex("07"));
        QVERIFY(events.wait(3000));
        QCOMPARE(port->input(), QByteArray::fromHex("01020304050607"));
    }

    // New line settings while the port is open keep the threshold as it was armed.
    void thresholdHoldsAcrossNewSettings() {
        PtyPair pty;
        auto port = openedOn(pty);
        QVERIFY(port);
        QSignalSpy events(port.get(), &SerialComponent::onComm);
        QVERIFY(port->setRThreshold(7));
        QVERIFY(port->setSettings(QStringLiteral("19200,N,8,1")));
        pty.send(QByteArray::fromHex("010302"));
        QVERIFY(!events.wait(300));
        pty.send(QByteArray::fromHex("0064B9AF"));
        QVERIFY(events.wait(3000));
        QCOMPARE(port->input(), QByteArray::fromHex("0103020064B9AF"));
    }

    void discardDropsWaitingBytes() {
        PtyPair pty;
        auto port = openedOn(pty);
        QVERIFY(port);
        QSignalSpy events(port.get(), &SerialComponent::onComm);
        QVERIFY(port->setRThreshold(5));
        pty.send(QByteArray::fromHex("0102030405"));
        QVERIFY(events.wait(3000));
        QVERIFY(port->setInBufferCount(0));
        QVERIFY(port->input().isEmpty());
        // Bytes that come afterwards are read as usual.
        QVERIFY(port->setRThreshold(2));
        pty.send(QByteArray::fromHex("0607"));
        QVERIFY(events.wait(3000));
        QCOMPARE(port->input(), QByteArray::fromHex("0607"));
    }

    // The device goes away: one event reports it, the port reads as closed, and it stays quiet.
    void peerClosing() {
        PtyPair pty;
        auto port = openedOn(pty);
        QVERIFY(port);
        QSignalSpy events(port.get(), &SerialComponent::onComm);
        QVERIFY(port->setRThreshold(1));
        pty.closeMaster();
        QVERIFY(events.wait(3000));
        QCOMPARE(port->commEvent(), int(SerialComponent::EventDeviceGone));
        QVERIFY(!port->portOpen());
        QVERIFY(!events.wait(300));
        QCOMPARE(events.size(), 1);
        // The port can be opened again once a device is back.
        PtyPair again;
        QVERIFY(QFile::remove(dir.filePath(QStringLiteral("COM3"))));
        QVERIFY(QFile::link(again.slaveName, dir.filePath(QStringLiteral("COM3"))));
        QVERIFY(port->setPortOpen(true));
        QVERIFY(port->setOutput(QByteArray::fromHex("01")));
        QCOMPARE(again.receive(1), QByteArray::fromHex("01"));
    }
};

QTEST_GUILESS_MAIN(TestSerialPort)
#include "test_serialport.moc"
