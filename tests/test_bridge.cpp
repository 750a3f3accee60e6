// The window reaching a sensor elsewhere through `qf7320 bridge`: the real window on its real
// serial binding opens COM5, which the bridge made, and reads the simulator at the far end.

#include "tests/support/simprocess.h"
#include "tests/support/windowfixture.h"

#include "serial/qtserialcomponent.h"

#include <QFileInfo>
#include <QPlainTextEdit>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);

// The simulator on COM1, or behind a TCP port, and the bridge's COM5 in one directory, which is
// also the window's.
struct Bridged {
    SimProcess sim;
    SimProcess bridge; // qf7320 bridge, its messages read as the simulator's log is
    RecordingSink sink;
    std::unique_ptr<frmMain> window;

    QString dir() const { return sim.dir.path(); }
    QString com5() const { return sim.dir.filePath(QStringLiteral("COM5")); }

    bool startBridge(const QString& endpoint, const QStringList& extra = {}) {
        bridge.process.setProcessChannelMode(QProcess::MergedChannels);
        bridge.process.start(kProgram, QStringList{QStringLiteral("bridge"), QStringLiteral("COM5"),
                                                   endpoint, QStringLiteral("--dir"), dir()} +
                                           extra);
        return bridge.process.waitForStarted(10000) && bridge.waitForLog("connected to");
    }
    bool openWindow() {
        if (!writeCommSet(dir(), 5, 9600))
            return false;
        window = std::make_unique<frmMain>(std::make_unique<QtSerialComponent>(dir()), sink, dir());
        window->show();
        return window->MSComm1->portOpen();
    }
    // The simulator reached as `framing` says: "serial" (its COM1), "rtu" (RTU frames over TCP)
    // or "mbap" (Modbus TCP); the endpoint the bridge is given, empty when it did not start.
    QString startSensor(const QString& framing, const QStringList& extra) {
        if (framing == QLatin1String("serial"))
            return sim.start(extra) ? sim.link : QString();
        if (!sim.listen(QStringList{QStringLiteral("--framing"), framing} + extra))
            return {};
        return QStringLiteral("%1://127.0.0.1:%2")
            .arg(framing == QLatin1String("rtu") ? QStringLiteral("rtu+tcp")
                                                 : QStringLiteral("tcp"))
            .arg(sim.port);
    }
    // The same sensor started again where it was.
    bool restartSensor(const QString& framing, const QStringList& extra) {
        if (framing == QLatin1String("serial"))
            return sim.start(extra);
        return sim.listen(QStringList{QStringLiteral("--framing"), framing} + extra,
                          QStringLiteral("127.0.0.1:%1").arg(sim.port));
    }
    int events() const { return window->lblErrCounter->text().toInt(); }
    // One "单次" query; true once its answer is shown.
    bool query() {
        const int before = events();
        WindowFixture::click(window->comDoOnce);
        return QTest::qWaitFor([&] { return events() > before; }, 5000);
    }
};

} // namespace

class TestBridge : public QObject {
    Q_OBJECT
private slots:
    void windowReadsThroughTheBridge_data() {
        QTest::addColumn<QString>("framing");
        QTest::newRow("serial line") << QStringLiteral("serial");
        QTest::newRow("RTU over TCP") << QStringLiteral("rtu");
        QTest::newRow("Modbus TCP") << QStringLiteral("mbap");
    }
    void windowReadsThroughTheBridge() {
        QFETCH(QString, framing);
        Bridged b;
        const QString endpoint =
            b.startSensor(framing, {QStringLiteral("--lux"), QStringLiteral("4560")});
        QVERIFY2(!endpoint.isEmpty(), b.sim.log);
        QVERIFY2(b.startBridge(endpoint), b.bridge.log);
        QVERIFY(QFileInfo(b.com5()).isSymLink());
        QVERIFY(b.openWindow());

        QVERIFY2(b.query(), b.bridge.log);
        QCOMPARE(b.window->txtValue[0]->text(), QStringLiteral("4560"));
        QCOMPARE(b.window->lampInFront(), b.window->imgConnected);

        // The sensor goes away and comes back at the same place: the bridge says so and
        // relays again, with nothing done on the window's side.
        b.sim.kill();
        WindowFixture::click(b.window->comDoOnce);
        QVERIFY2(b.bridge.waitForLog("reconnecting"), b.bridge.log);
        QVERIFY2(b.restartSensor(framing, {QStringLiteral("--lux"), QStringLiteral("1230")}),
                 b.sim.log);
        QVERIFY2(b.bridge.waitForLog("is back after"), b.bridge.log);
        QVERIFY2(b.query(), b.bridge.log);
        QCOMPARE(b.window->txtValue[0]->text(), QStringLiteral("1230"));

        // A parameter written and the address read through it, as on a serial line.
        WindowFixture::type(b.window->txtsetValue[1], QStringLiteral("-25"));
        const int before = b.events();
        WindowFixture::click(b.window->cmdSet[1]);
        QVERIFY(QTest::qWaitFor([&] { return b.events() > before; }, 5000));
        QVERIFY2(b.window->txtState->toPlainText().simplified().startsWith(
                     QStringLiteral("01 06 0A 04 FF E7")),
                 qPrintable(b.window->txtState->toPlainText()));
        QVERIFY(b.sink.shown.isEmpty());

        // Ctrl-C ends it and takes COM5 away.
        QVERIFY(b.bridge.stop(SIGINT));
        QCOMPARE(b.bridge.process.exitCode(), 0);
        QVERIFY(!QFileInfo(b.com5()).isSymLink());
    }

    void refusesAnExistingComWithoutForce() {
        Bridged b;
        QVERIFY(b.sim.start());
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), b.com5()));
        QProcess process;
        process.start(kProgram, {QStringLiteral("bridge"), QStringLiteral("COM5"), b.sim.link,
                                 QStringLiteral("--dir"), b.dir()});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(process.readAllStandardError().contains("--force"));
        QCOMPARE(QFileInfo(b.com5()).symLinkTarget(), QStringLiteral("/dev/null"));

        QVERIFY2(b.startBridge(b.sim.link, {QStringLiteral("--force")}), b.bridge.log);
        QVERIFY(QFileInfo(b.com5()).symLinkTarget().startsWith(QStringLiteral("/dev/pts/")));
        QVERIFY(b.bridge.stop());
        QVERIFY(!QFileInfo(b.com5()).exists());
    }
};

QTEST_MAIN(TestBridge)
#include "test_bridge.moc"
