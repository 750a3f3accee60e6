// The window reaching a sensor elsewhere through `qf7320 bridge`: the real window on its real
// serial binding opens COM5, which the bridge made, and reads the simulator at the far end.

#include "tests/support/simprocess.h"
#include "tests/support/windowfixture.h"

#include "serial/qtserialcomponent.h"

#include <QFileInfo>
#include <QPlainTextEdit>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);

// The simulator on COM1 and the bridge's COM5 in one directory, which is also the window's.
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
    void windowReadsThroughTheBridge() {
        Bridged b;
        QVERIFY2(b.sim.start({QStringLiteral("--lux"), QStringLiteral("4560")}), b.sim.log);
        QVERIFY2(b.startBridge(b.sim.link), b.bridge.log);
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
        QVERIFY(b.sim.start({QStringLiteral("--lux"), QStringLiteral("1230")}));
        QVERIFY2(b.bridge.waitForLog("is back after"), b.bridge.log);
        QVERIFY2(b.query(), b.bridge.log);
        QCOMPARE(b.window->txtValue[0]->text(), QStringLiteral("1230"));
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
