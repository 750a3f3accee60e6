// The Windows program, qf7320.exe, run under Wine against the simulated sensor: Wine makes a
// pseudo-terminal a COM port (COM1 and COM12 here, through its registry's Ports), so the same
// black-box cases run against the Windows program and the Linux one, and their output must be
// the same bytes. Skipped, with a message, when qf7320.exe has not been built (scripts/test
// builds it) or Wine is not installed.

#include "tests/support/httpclient.h"
#include "tests/support/simprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kWine = QStringLiteral("/usr/lib/wine/wine64");
const QString kWineServer = QStringLiteral("/usr/lib/wine/wineserver");

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
    QByteArray what() const { return "exit " + QByteArray::number(code) + "\n" + out + err; }
};

// What differs from one run to the next, masked: times of day, latencies, and the device path a
// port stands for.
QByteArray masked(QByteArray text, const QByteArray& device = {}) {
    QString t = QString::fromUtf8(text);
    t.replace(
        QRegularExpression(QStringLiteral("\\d{4}-\\d\\d-\\d\\dT[0-9:.]+(Z|[+-]\\d\\d:\\d\\d)")),
        QStringLiteral("TIME"));
    t.replace(QRegularExpression(QStringLiteral("\"latency_ms\":[0-9.]+")),
              QStringLiteral("\"latency_ms\":L"));
    t.replace(QRegularExpression(QStringLiteral("= [0-9./]+ ms")), QStringLiteral("= L ms"));
    t.replace(QRegularExpression(QStringLiteral("[0-9]+\\.[0-9] ms")), QStringLiteral("L ms"));
    t.replace(QRegularExpression(QStringLiteral(",[0-9]+\\.[0-9],ok\n")),
              QStringLiteral(",L,ok\n"));
    if (!device.isEmpty())
        t.replace(QString::fromUtf8(device), QStringLiteral("DEVICE"));
    return t.toUtf8();
}

} // namespace

class TestWindows : public QObject {
    Q_OBJECT

    QTemporaryDir prefix_; // the Wine prefix: a throw-away Windows
    QTemporaryDir work_;
    QString exe_ = QStringLiteral(QF_WINDOWS_EXE);
    QString com1_; // the links the simulators make, which Wine's COM1 and COM12 name
    QString com12_;
    QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();

    Run run(const QString& program, const QStringList& arguments, int ms = 60000) {
        QProcess process;
        process.setProcessEnvironment(environment_);
        process.setWorkingDirectory(work_.path());
        process.start(program, arguments);
        Run result;
        if (!process.waitForFinished(ms)) {
            process.kill();
            process.waitForFinished();
            result.err = "did not finish in time";
        }
        result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput();
        result.err += process.readAllStandardError();
        return result;
    }
    Run windows(const QStringList& arguments, int ms = 60000) {
        return run(kWine, QStringList{exe_} + arguments, ms);
    }
    Run linux(const QStringList& arguments) { return run(QStringLiteral(QF_CLI_PATH), arguments); }

private slots:
    void initTestCase() {
        if (!QFileInfo::exists(exe_))
            QSKIP("qf7320.exe is not built: scripts/test builds it (cmake --preset windows)");
        if (!QFileInfo::exists(kWine))
            QSKIP("Wine is not installed (the wine64 package)");
        QVERIFY(prefix_.isValid() && work_.isValid());
        com1_ = work_.filePath(QStringLiteral("simA"));
        com12_ = work_.filePath(QStringLiteral("simB"));
        environment_.insert(QStringLiteral("WINEPREFIX"), prefix_.path());
        environment_.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
        // No dialogs offering to install .NET or a browser engine: nothing here needs them.
        environment_.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree=;mshtml="));
        environment_.remove(QStringLiteral("DISPLAY"));

        // The prefix is made by the first run; the ports go into its registry, and Wine's mount
        // manager makes dosdevices/com1 and com12 from them when it starts again.
        for (const auto& [name, link] : {std::pair{QStringLiteral("COM1"), com1_},
                                         std::pair{QStringLiteral("COM12"), com12_}}) {
            const Run added =
                run(kWine,
                    {QStringLiteral("reg"), QStringLiteral("add"),
                     QStringLiteral("HKLM\\Software\\Wine\\Ports"), QStringLiteral("/v"), name,
                     QStringLiteral("/t"), QStringLiteral("REG_SZ"), QStringLiteral("/d"), link,
                     QStringLiteral("/f")},
                    180000);
            QVERIFY2(added.code == 0, added.what());
        }
        QCOMPARE(run(kWineServer, {QStringLiteral("-k")}).code, 0);
        // A server that outlives each program, so that one run does not pay for starting Wine.
        QProcess server;
        server.setProcessEnvironment(environment_);
        server.setProgram(kWineServer);
        server.setArguments({QStringLiteral("-p10")});
        server.setStandardOutputFile(QProcess::nullDevice());
        server.setStandardErrorFile(QProcess::nullDevice());
        QVERIFY(server.startDetached());
    }

    void cleanupTestCase() {
        if (QFileInfo::exists(kWineServer) && prefix_.isValid())
            run(kWineServer, {QStringLiteral("-k")});
    }

    // The same command against the same sensor, from the Windows program through COM1 and from
    // the Linux one through the device: the same exit status, standard output and messages.
    void sameAsLinux_data() {
        QTest::addColumn<QStringList>("sensor");
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("status");
        const QStringList fixed{QStringLiteral("--lux"), QStringLiteral("4321")};
        const auto fault = [&](const char* mode) {
            return fixed + QStringList{QStringLiteral("--fault"), QLatin1String(mode)};
        };
        QTest::newRow("read") << fixed << QStringList{QStringLiteral("read")} << 0;
        QTest::newRow("read --json registers")
            << fixed
            << QStringList{QStringLiteral("read"), QStringLiteral("--json"),
                           QStringLiteral("--registers"), QStringLiteral("3")}
            << 0;
        QTest::newRow("get") << fixed << QStringList{QStringLiteral("get")} << 0;
        QTest::newRow("get --json")
            << fixed << QStringList{QStringLiteral("get"), QStringLiteral("--json")} << 0;
        QTest::newRow("scan") << fixed
                              << QStringList{QStringLiteral("scan"), QStringLiteral("--bauds"),
                                             QStringLiteral("9600"), QStringLiteral("--json")}
                              << 0;
        QTest::newRow("poll") << fixed
                              << QStringList{QStringLiteral("poll"), QStringLiteral("--samples"),
                                             QStringLiteral("3"),    QStringLiteral("--period"),
                                             QStringLiteral("50"),   QStringLiteral("--csv"),
                                             QStringLiteral("-")}
                              << 0;
        QTest::newRow("silent sensor")
            << fault("silent") << QStringList{QStringLiteral("read"), QStringLiteral("--json")}
            << 3;
        QTest::newRow("bad CRC") << fault("bad-crc") << QStringList{QStringLiteral("read")} << 4;
        QTest::newRow("exception")
            << fault("exception") << QStringList{QStringLiteral("get"), QStringLiteral("--json")}
            << 5;
        QTest::newRow("unknown option")
            << fixed << QStringList{QStringLiteral("read"), QStringLiteral("--fast")} << 1;
        QTest::newRow("bad value")
            << fixed
            << QStringList{QStringLiteral("set"), QStringLiteral("scale"), QStringLiteral("9")}
            << 1;
        QTest::newRow("help") << fixed
                              << QStringList{QStringLiteral("help"), QStringLiteral("poll")} << 0;
    }
    void sameAsLinux() {
        QFETCH(QStringList, sensor);
        QFETCH(QStringList, command);
        QFETCH(int, status);
        SimProcess sim;
        QVERIFY2(sim.startAt(com1_, sensor), sim.log);

        const Run onWindows =
            windows(QStringList{QStringLiteral("-p"), QStringLiteral("COM1")} + command);
        const Run onLinux = linux(QStringList{QStringLiteral("-p"), com1_} + command);
        QVERIFY2(onWindows.code == status, onWindows.what());
        QCOMPARE(onLinux.code, status);
        QCOMPARE(masked(onWindows.out, "\"port\":\"COM1\""),
                 masked(onLinux.out, "\"port\":\"" + com1_.toUtf8() + '"'));
        // Messages name the device opened: \\.\COM1 on Windows, the link on Linux.
        QCOMPARE(masked(onWindows.err, "\\\\.\\COM1").replace("COM1", "DEVICE"),
                 masked(onLinux.err, com1_.toUtf8()));
    }

    // COM12: a port above COM9, which Windows opens only by its device name.
    void portAboveNine() {
        SimProcess sim;
        QVERIFY2(sim.startAt(com12_, {QStringLiteral("--lux"), QStringLiteral("1230")}), sim.log);
        const Run read =
            windows({QStringLiteral("-p"), QStringLiteral("COM12"), QStringLiteral("read")});
        QVERIFY2(read.code == 0, read.what());
        QCOMPARE(read.out, QByteArray("1230 lx\n"));
    }

    // A write verified by reading it back, then the station address moved and the sensor found
    // at its new one.
    void setAndAddress() {
        SimProcess sim;
        QVERIFY2(sim.startAt(com1_), sim.log);
        const QStringList port{QStringLiteral("-p"), QStringLiteral("COM1")};
        const Run set =
            windows(port + QStringList{QStringLiteral("set"), QStringLiteral("offset"),
                                       QStringLiteral("-25"), QStringLiteral("--json")});
        QVERIFY2(set.code == 0, set.what());
        const QJsonObject written = QJsonDocument::fromJson(set.out).object();
        QCOMPARE(written.value(QStringLiteral("verified")).toBool(), true);
        QCOMPARE(written.value(QStringLiteral("offset")).toInt(), -25);

        const Run moved = windows(port + QStringList{QStringLiteral("address"),
                                                     QStringLiteral("--set"), QStringLiteral("9")});
        QVERIFY2(moved.code == 0, moved.what());
        const Run there =
            windows(port + QStringList{QStringLiteral("-s"), QStringLiteral("9"),
                                       QStringLiteral("get"), QStringLiteral("--json")});
        QVERIFY2(there.code == 0, there.what());
        QCOMPARE(
            QJsonDocument::fromJson(there.out).object().value(QStringLiteral("offset")).toInt(),
            -25);
    }

    // The simulator killed mid-poll and started again at the same link, as an adapter pulled
    // out and plugged in: port-error rows while it is gone, then samples again, all in the CSV.
    void pollThroughALostPort() {
        SimProcess sim;
        QVERIFY2(sim.startAt(com1_, {QStringLiteral("--lux"), QStringLiteral("4321")}), sim.log);
        const QString csv = work_.filePath(QStringLiteral("day.csv"));
        QProcess poll;
        poll.setProcessEnvironment(environment_);
        poll.start(kWine,
                   {exe_, QStringLiteral("-p"), QStringLiteral("COM1"), QStringLiteral("poll"),
                    QStringLiteral("--period"), QStringLiteral("100"), QStringLiteral("--duration"),
                    QStringLiteral("30"), QStringLiteral("--csv"),
                    QStringLiteral("Z:") + QDir::toNativeSeparators(csv)});
        QVERIFY(poll.waitForStarted());
        const auto rows = [&] {
            QFile file(csv);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const auto waitFor = [&](const char* status, int count) {
            QElapsedTimer clock;
            clock.start();
            while (rows().count(status) < count && clock.elapsed() < 20000)
                QTest::qWait(50);
            return rows().count(status) >= count;
        };
        QVERIFY2(waitFor(",ok\n", 3), rows().constData());
        sim.kill();
        QVERIFY2(waitFor(",port-error\n", 3), rows().constData());
        const qsizetype okBefore = rows().count(",ok\n");
        SimProcess again;
        QVERIFY2(again.startAt(com1_, {QStringLiteral("--lux"), QStringLiteral("1111")}),
                 again.log);
        QVERIFY2(waitFor(",1110,", 3), rows().constData());
        poll.kill(); // Wine passes no Ctrl-C from here; the rows are already on disk
        poll.waitForFinished();

        const QByteArray written = rows();
        QVERIFY(written.startsWith("time,station,lux,latency_ms,status\n"));
        QVERIFY(okBefore >= 3);
        QVERIFY(written.indexOf(",port-error\n") < written.indexOf(",1110,"));
        QVERIFY(!written.contains('\r')); // the same line ends as on Linux
        QVERIFY2(poll.readAllStandardError().contains("is back after"), "no return said");
    }

    // poll --http: /metrics served by the Windows program, through Winsock, while it polls COM1.
    void pollServesMetrics() {
        SimProcess sim;
        QVERIFY2(sim.startAt(com1_, {QStringLiteral("--lux"), QStringLiteral("4321")}), sim.log);
        QProcess poll;
        poll.setProcessEnvironment(environment_);
        poll.start(kWine,
                   {exe_, QStringLiteral("-p"), QStringLiteral("COM1"), QStringLiteral("poll"),
                    QStringLiteral("--period"), QStringLiteral("100"), QStringLiteral("--duration"),
                    QStringLiteral("60"), QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")});
        QVERIFY(poll.waitForStarted());
        const QRegularExpression serving(
            QStringLiteral("serving this poll at http://127\\.0\\.0\\.1:(\\d+)/"));
        QByteArray err;
        quint16 port = 0;
        QElapsedTimer clock;
        clock.start();
        while (!port && clock.elapsed() < 30000 && poll.state() == QProcess::Running) {
            poll.waitForReadyRead(100);
            err += poll.readAllStandardError();
            port = serving.match(QString::fromUtf8(err)).captured(1).toUShort();
        }
        QVERIFY2(port, err.constData());
        HttpReply metrics;
        while (!metrics.body.contains("qf7320_illuminance_lux{station=\"1\"} 4320\n") &&
               clock.elapsed() < 40000) {
            QTest::qWait(100);
            metrics = httpGet(port, "/metrics");
        }
        QCOMPARE(metrics.status, 200);
        QVERIFY2(metrics.body.contains("qf7320_illuminance_lux{station=\"1\"} 4320\n"),
                 metrics.body.constData());
        QVERIFY(metrics.body.contains("qf7320_line_up{port=\"COM1\"} 1\n"));
        QCOMPARE(httpRequest(port, "POST", "/metrics").status, 405);
        poll.kill(); // Wine passes no Ctrl-C from here
        poll.waitForFinished();
    }

    // Modbus TCP and RTU frames over TCP, through Winsock.
    void network_data() {
        QTest::addColumn<QString>("framing");
        QTest::addColumn<QString>("scheme");
        QTest::newRow("tcp://") << QStringLiteral("mbap") << QStringLiteral("tcp");
        QTest::newRow("rtu+tcp://") << QStringLiteral("rtu") << QStringLiteral("rtu+tcp");
    }
    void network() {
        QFETCH(QString, framing);
        QFETCH(QString, scheme);
        SimProcess gateway;
        QVERIFY2(gateway.listen({QStringLiteral("--framing"), framing, QStringLiteral("--lux"),
                                 QStringLiteral("2468")}),
                 gateway.log);
        const QString url = QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(gateway.port);
        const Run onWindows =
            windows({QStringLiteral("-p"), url, QStringLiteral("read"), QStringLiteral("--json")});
        QVERIFY2(onWindows.code == 0, onWindows.what());
        const Run onLinux =
            linux({QStringLiteral("-p"), url, QStringLiteral("read"), QStringLiteral("--json")});
        QCOMPARE(masked(onWindows.out), masked(onLinux.out));
        QVERIFY(onWindows.out.contains("\"lux\":2460"));

        // Nothing listening: refused, exit 2.
        const Run refused =
            windows({QStringLiteral("-p"), QStringLiteral("%1://127.0.0.1:1").arg(scheme),
                     QStringLiteral("read")});
        QVERIFY2(refused.code == 2 && refused.err.contains("refused"), refused.what());
    }

    // The ports Windows knows, with the two mapped here among them.
    void ports() {
        const Run listed = windows({QStringLiteral("ports")});
        QVERIFY2(listed.code == 0, listed.what());
        QVERIFY2(listed.out.contains("\\\\.\\COM1  ") && listed.out.contains("\\\\.\\COM12  "),
                 listed.out.constData());
        QVERIFY(listed.out.contains("COM12  \\\\.\\COM12 "));
    }

    // What has no Windows counterpart says so and touches nothing.
    void notOnWindows_data() {
        QTest::addColumn<QStringList>("command");
        QTest::newRow("link") << QStringList{QStringLiteral("link"), QStringLiteral("COM3"),
                                             QStringLiteral("COM4")};
        QTest::newRow("bridge") << QStringList{QStringLiteral("bridge"), QStringLiteral("COM5"),
                                               QStringLiteral("tcp://127.0.0.1:1502")};
        QTest::newRow("plot") << QStringList{QStringLiteral("plot"), QStringLiteral("day.csv")};
        QTest::newRow("poll --mqtt")
            << QStringList{QStringLiteral("-p"), QStringLiteral("COM1"), QStringLiteral("poll"),
                           QStringLiteral("--mqtt"), QStringLiteral("mqtt://127.0.0.1")};
    }
    void notOnWindows() {
        QFETCH(QStringList, command);
        const Run refused = windows(command);
        QVERIFY2(refused.code == 1, refused.what());
        QVERIFY2(refused.err.contains("Windows"), refused.what());
        QVERIFY(refused.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWindows)
#include "test_windows.moc"
