// The window with its real serial binding, talking to the simulated sensor over a
// pseudo-terminal: what a technician sees with the demo.

#include "tests/support/windowfixture.h"

#include "modbus/opnumber.h"
#include "serial/qtserialcomponent.h"
#include "sim/sensor.h"
#include "tests/support/simprocess.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalSpy>

#include <ctime>

namespace {

struct EndToEnd {
    QTemporaryDir dir;
    RecordingSink sink;
    SimProcess sim;
    std::unique_ptr<frmMain> window;

    bool start(int baud, const QStringList& simArgs) {
        if (!writeCommSet(dir.path(), 1, baud))
            return false;
        if (!sim.startAt(dir.filePath(QStringLiteral("COM1")),
                         QStringList{QStringLiteral("--baud"), QString::number(baud)} + simArgs))
            return false;
        window = std::make_unique<frmMain>(std::make_unique<QtSerialComponent>(dir.path()), sink,
                                           dir.path());
        window->show();
        return window->MSComm1->portOpen();
    }
    frmMain& w() { return *window; }
    int events() const { return window->lblErrCounter->text().toInt(); }
};

QString expectedField(int d, std::uint16_t value) {
    switch (d) {
    case 0:
        return QString::number(value * 10);
    case 2:
        return QString::fromStdString(opnum::fixedText(value, 4));
    default:
        return QString::fromStdString(opnum::fixedText(value, 2));
    }
}

// CPU time this process used, in seconds.
double cpuSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void queries() {
        EndToEnd e;
        QVERIFY2(e.start(9600, {QStringLiteral("--lux"), QStringLiteral("12340")}), e.sim.log);
        frmMain& w = e.w();
        WindowFixture::click(w.comDoOnce);
        QTRY_COMPARE_WITH_TIMEOUT(e.events(), 1, 5000);
        QCOMPARE(w.txtValue[0]->text(), QStringLiteral("12340"));
        QCOMPARE(w.lampInFront(), w.imgConnected);
        QVERIFY(w.txtState->toPlainText().startsWith(QStringLiteral(" 01 03 02 04 D2")));

        sim::Sensor reference;
        reference.fixLux(12340);
        WindowFixture::type(w.txtDataLength, QStringLiteral("7"));
        WindowFixture::click(w.comDoOnce);
        QTRY_COMPARE_WITH_TIMEOUT(e.events(), 2, 5000);
        QCOMPARE(w.txtState->toPlainText().size(), 19 * 3);
        for (int d = 0; d < 4; ++d)
            QCOMPARE(w.txtValue[std::size_t(d)]->text(),
                     expectedField(d, reference.registerValue(d, 0)));
        QVERIFY(e.sink.shown.isEmpty());

        // "保存设置" with COM1 and 19200 rewrites comm.set and reopens the port.
        pickItem(w.Combo2, 3);
        WindowFixture::click(w.cmdCom);
        QCOMPARE(e.sink.texts(), QStringList{QStringLiteral("串口设置保存成功")});
        QFile file(e.dir.filePath(QStringLiteral("comm.set")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("1,19200\r\n"));
        QVERIFY(w.MSComm1->portOpen());
        WindowFixture::click(w.comDoOnce);
        QTRY_COMPARE_WITH_TIMEOUT(e.events(), 3, 5000);
    }

    void parametersAndAddress() {
        EndToEnd e;
        QVERIFY2(e.start(9600, {}), e.sim.log);
        frmMain& w = e.w();
        int events = 0;
        struct Step {
            int row;
            const char* written;
        };
        for (const Step& step : {Step{0, "1.2345"}, Step{1, "-1000"}}) {
            w.txtsetValue[std::size_t(step.row)]->setText(QString::fromLatin1(step.written));
            WindowFixture::click(w.cmdSet[std::size_t(step.row)]);
            ++events;
            QTRY_COMPARE_WITH_TIMEOUT(e.events(), events, 5000); // the echo
            w.txtsetValue[std::size_t(step.row)]->setText(QStringLiteral("?"));
            WindowFixture::click(w.cmdREAD[std::size_t(step.row)]);
            ++events;
            QTRY_COMPARE_WITH_TIMEOUT(e.events(), events, 5000);
            QCOMPARE(w.txtsetValue[std::size_t(step.row)]->text(),
                     QString::fromLatin1(step.written));
        }

        WindowFixture::click(w.cmdReadAdd);
        ++events;
        QTRY_COMPARE_WITH_TIMEOUT(e.events(), events, 5000);
        QCOMPARE(w.txtSetID[0]->text(), QStringLiteral("1"));

        WindowFixture::type(w.txtSetID[1], QStringLiteral("5"));
        WindowFixture::click(w.cmdChangeID);
        ++events;
        QTRY_COMPARE_WITH_TIMEOUT(e.events(), events, 5000);
        QCOMPARE(w.txtSetID[0]->text(), QStringLiteral("5"));
        QCOMPARE(w.txtStationID->text(), QStringLiteral("5"));
        WindowFixture::click(w.comDoOnce);
        ++events;
        QTRY_COMPARE_WITH_TIMEOUT(e.events(), events, 5000);
        QVERIFY(w.txtState->toPlainText().startsWith(QStringLiteral(" 05 03 02")));
        QVERIFY(e.sink.shown.isEmpty());
    }

    // Polling at 50 ms on a paced 19200 baud line: every tick's reply is decoded.
    void pollingKeepsUp() {
        EndToEnd e;
        QVERIFY2(e.start(19200, {QStringLiteral("--pace")}), e.sim.log);
        frmMain& w = e.w();
        WindowFixture::type(w.txtTimerSet, QStringLiteral("50"));
        WindowFixture::click(w.cmdOneM);
        QTRY_VERIFY_WITH_TIMEOUT(w.lblCounter->text().toInt() >= 41, 20000);
        WindowFixture::click(w.cmdStopOnce);
        const int polls = w.lblCounter->text().toInt();
        QTRY_COMPARE_WITH_TIMEOUT(w.lblErrCounter->text().toInt(), polls, 5000);
        QVERIFY(e.sink.shown.isEmpty());
    }

    void faults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("event");    // whether the reply raises the receive event
        QTest::addColumn<QString>("value"); // txtValue(0) afterwards
        QTest::newRow("silent") << "silent" << false << "-";
        QTest::newRow("short") << "short" << false << "-";
        QTest::newRow("bad-crc decoded anyway") << "bad-crc" << true << "12340";
    }
    void faults() {
        QFETCH(QString, fault);
        QFETCH(bool, event);
        QFETCH(QString, value);
        EndToEnd e;
        QVERIFY2(e.start(9600, {QStringLiteral("--lux"), QStringLiteral("12340"),
                                QStringLiteral("--fault"), fault}),
                 e.sim.log);
        frmMain& w = e.w();
        w.txtValue[0]->setText(QStringLiteral("-"));
        QSignalSpy events(w.MSComm1, &SerialComponent::onComm);
        WindowFixture::click(w.comDoOnce);
        QVERIFY(e.sim.waitForNew("rx"));
        if (event)
            QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1, 5000);
        else
            QVERIFY(!events.wait(500) && events.isEmpty());
        QCOMPARE(w.txtValue[0]->text(), value);
        QCOMPARE(w.lampInFront(), event ? w.imgConnected : w.ImgYellow);
        if (!event)
            QCOMPARE(w.txtState->toPlainText(), QString());
    }

    // The sensor goes away mid-poll: the port reads as closed, the next query says so once,
    // polling sends nothing more and the program stays idle.
    void sensorKilledMidPoll() {
        EndToEnd e;
        QVERIFY2(e.start(9600, {}), e.sim.log);
        frmMain& w = e.w();
        WindowFixture::type(w.txtTimerSet, QStringLiteral("50"));
        WindowFixture::click(w.cmdOneM);
        QTRY_VERIFY_WITH_TIMEOUT(w.lblErrCounter->text().toInt() >= 5, 10000);
        e.sim.kill();
        QTRY_VERIFY_WITH_TIMEOUT(!w.MSComm1->portOpen(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(e.sink.shown.size(), 1, 5000);
        QCOMPARE(e.sink.shown[0].text, QStringLiteral("打开串口出错，请确定串口是否已被占用"));
        QVERIFY(!w.CommOK);
        const QString counter = w.lblCounter->text();
        const double before = cpuSeconds();
        QTest::qWait(1000); // ticks keep coming; nothing may be sent and nothing may spin
        const double used = cpuSeconds() - before;
        QCOMPARE(e.sink.shown.size(), 1);
        QCOMPARE(w.lblCounter->text(), counter);
        QVERIFY2(used < 0.3, qPrintable(QString::number(used)));
        QVERIFY(w.Timer2->isActive());

        // The sensor is back and the operator picks the port again: polling resumes by itself.
        SimProcess again;
        QVERIFY2(again.startAt(e.dir.filePath(QStringLiteral("COM1"))), again.log);
        w.Combo1->setCurrentIndex(0);
        emit w.Combo1->activated(0);
        QVERIFY(w.MSComm1->portOpen());
        QVERIFY(w.CommOK);
        const int events = w.lblErrCounter->text().toInt();
        QTRY_VERIFY_WITH_TIMEOUT(w.lblErrCounter->text().toInt() >= events + 5, 10000);
        QCOMPARE(e.sink.shown.size(), 1);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_e2e.moc"
