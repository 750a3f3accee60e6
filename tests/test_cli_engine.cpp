// The command line's transaction engine driven directly: against the simulated sensor playing
// every fault it knows, against a libmodbus RTU server, and with ports that will not open or go
// away. Also the choice of device and rate from the options and comm.set.

#include "cli/command.h"
#include "cli/line.h"
#include "client/engine.h"
#include "sim/sensor.h"
#include "tests/support/modbusserver.h"
#include "tests/support/requestframes.h"
#include "tests/support/simprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>
#include <thread>

using cli::Status;
using protocol::ReplyKind;

Q_DECLARE_METATYPE(cli::Status)

namespace {

// Why a port did not open, as the command line words it, for QString comparisons.
QString openFailureText(const QString& device, const QString& port,
                        platform::SerialPort::OpenError error, const std::string& portText) {
    return QString::fromStdString(
        cli::openFailureText(device.toStdString(), port.toStdString(), error, portText));
}

constexpr int kFixedLux = 12340;

// The simulator on its link, and the engine on that link.
struct SimLine {
    SimProcess sim;
    cli::Engine engine;

    bool start(const QStringList& simArgs, int timeoutMs, int retries) {
        if (!sim.start(simArgs))
            return false;
        engine.setTimeout(timeoutMs);
        engine.setRetries(retries);
        return engine.open(sim.link.toStdString(), 9600);
    }
};

// What a request costs at most when nothing answers: the wait of every attempt, each counted
// from when the request can have left the line at 9600 baud (8 characters, 8.3 ms).
double longestWaitMs(int timeoutMs, int retries) {
    return (retries + 1) * (timeoutMs + 8.4);
}

} // namespace

class TestCliEngine : public QObject {
    Q_OBJECT
private slots:
    void answersOfEveryKind() {
        SimLine line;
        QVERIFY2(line.start({QStringLiteral("--lux"), QString::number(kFixedLux)}, 500, 1),
                 line.sim.log);
        cli::Engine& engine = line.engine;

        const cli::Result one = engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
        QCOMPARE(one.status, Status::Ok);
        QCOMPARE(one.attempts, 1);
        QCOMPARE(one.registers, (std::vector<std::uint16_t>{kFixedLux / 10}));
        QVERIFY2(one.latencyMs > 0 && one.latencyMs < 500,
                 qPrintable(QString::number(one.latencyMs)));

        // All eight registers, as the sensor's own logic computes them.
        sim::Sensor reference;
        reference.fixLux(kFixedLux);
        const cli::Result all = engine.transact(readFrame(1, 0, 8), ReplyKind::Registers);
        QCOMPARE(all.status, Status::Ok);
        QCOMPARE(all.reply.size(), std::size_t(21));
        for (int i = 0; i < 8; ++i)
            QCOMPARE(all.registers.at(std::size_t(i)), reference.registerValue(i, 0));

        // A parameter write is echoed and then reads back.
        const cli::Result write = engine.transact(
            sealed(protocol::parameterWriteRequest(1, 0, 12345)), ReplyKind::WriteEcho);
        QCOMPARE(write.status, Status::Ok);
        const cli::Result back = engine.transact(readFrame(1, 3, 1), ReplyKind::Registers);
        QCOMPARE(back.registers, (std::vector<std::uint16_t>{12345}));

        const cli::Result address =
            engine.transact(sealed(protocol::addressQueryRequest()), ReplyKind::Address);
        QCOMPARE(address.status, Status::Ok);
        QCOMPARE(protocol::decodeAddress(address.reply.data(), address.reply.size()),
                 std::optional<std::uint8_t>(1));

        // A register outside the map is refused, and a refusal is not asked again.
        const cli::Result outside = engine.transact(readFrame(1, 8, 1), ReplyKind::Registers);
        QCOMPARE(outside.status, Status::Exception);
        QCOMPARE(int(outside.exceptionCode), 2);
        QCOMPARE(outside.attempts, 1);

        // Another station stays silent: a timeout after every attempt.
        const cli::Result nobody = engine.transact(readFrame(2, 0, 1), ReplyKind::Registers);
        QCOMPARE(nobody.status, Status::Timeout);
        QCOMPARE(nobody.attempts, 2);
    }

    // A request sent ahead is the next transaction's first attempt; a different request waits
    // out its answer first, so that the answer is not taken for its own. The simulator answers
    // 5 ms late, a character at a time: the answer is still on its way when the next one asks.
    void sentAhead() {
        SimLine line;
        QVERIFY2(line.start({QStringLiteral("--lux"), QString::number(kFixedLux),
                             QStringLiteral("--pace")},
                            500, 0),
                 line.sim.log);
        cli::Engine& engine = line.engine;
        const protocol::Frame one = readFrame(1, 0, 1);

        engine.sendAhead(one, ReplyKind::Registers);
        const cli::Result collected = engine.transact(one, ReplyKind::Registers);
        QCOMPARE(collected.status, Status::Ok);
        QCOMPARE(collected.registers, (std::vector<std::uint16_t>{kFixedLux / 10}));
        QVERIFY2(collected.latencyMs > 5, qPrintable(QString::number(collected.latencyMs)));

        engine.sendAhead(one, ReplyKind::Registers);
        const cli::Result two = engine.transact(readFrame(1, 0, 2), ReplyKind::Registers);
        QCOMPARE(two.status, Status::Ok);
        QCOMPARE(two.registers.size(), std::size_t(2));
        QCOMPARE(two.registers.front(), std::uint16_t(kFixedLux / 10));

        // Sent ahead twice: the second waits out the first's answer too.
        engine.sendAhead(one, ReplyKind::Registers);
        engine.sendAhead(readFrame(1, 0, 3), ReplyKind::Registers);
        QCOMPARE(engine.transact(readFrame(1, 0, 3), ReplyKind::Registers).registers.size(),
                 std::size_t(3));

        // Each request went out once: five, the simulator answered each before the last
        // transaction ended.
        QVERIFY(line.sim.waitForLog("rx ", 5));
        QCOMPARE(line.sim.log.count("rx "), 5);
    }

    // Every fault the simulator plays, and how long the engine takes to give its verdict.
    void faults_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("retries");
        QTest::addColumn<Status>("status");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QString>("detail"); // failed check, exception code, or reply length
        const auto fault = [](const char* mode) {
            return QStringList{QStringLiteral("--fault"), QLatin1String(mode)};
        };
        QTest::newRow("silent") << fault("silent") << 150 << 1 << Status::Timeout << 2 << "0 bytes";
        QTest::newRow("silent, no retries")
            << fault("silent") << 150 << 0 << Status::Timeout << 1 << "0 bytes";
        QTest::newRow("bad-crc") << fault("bad-crc") << 300 << 1 << Status::BadReply << 2 << "CRC";
        QTest::newRow("short: a reply that never completes is a timeout")
            << fault("short") << 150 << 1 << Status::Timeout << 2 << "4 bytes";
        QTest::newRow("garbage") << fault("garbage") << 300 << 2 << Status::BadReply << 3 << "";
        QTest::newRow("exception is never repeated")
            << fault("exception") << 300 << 3 << Status::Exception << 1 << "04";
        QTest::newRow("slow within the timeout")
            << fault("slow:60") << 300 << 1 << Status::Ok << 1 << "60 ms";
        QTest::newRow("slow beyond the timeout")
            << fault("slow:400") << 100 << 0 << Status::Timeout << 1 << "0 bytes";
        QTest::newRow("every 2nd bad: the retry is answered")
            << (fault("bad-crc") +
                QStringList{QStringLiteral("--fault-every"), QStringLiteral("2")})
            << 300 << 1 << Status::Ok << 2 << "";
    }
    void faults() {
        QFETCH(QStringList, simArgs);
        QFETCH(int, timeoutMs);
        QFETCH(int, retries);
        QFETCH(Status, status);
        QFETCH(int, attempts);
        QFETCH(QString, detail);
        SimLine line;
        QVERIFY2(line.start(simArgs, timeoutMs, retries), line.sim.log);

        // The first request of a --fault-every 2 run is the good one.
        if (simArgs.contains(QStringLiteral("--fault-every")))
            QCOMPARE(line.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status,
                     Status::Ok);

        QElapsedTimer clock;
        clock.start();
        const cli::Result result = line.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
        const double elapsed = double(clock.nsecsElapsed()) / 1e6;
        QCOMPARE(result.status, status);
        QCOMPARE(result.attempts, attempts);
        if (status == Status::BadReply && !detail.isEmpty())
            QCOMPARE(QString::fromStdString(result.failedCheck), detail);
        if (status == Status::Exception)
            QCOMPARE(int(result.exceptionCode), detail.toInt());
        if (status == Status::Timeout) {
            QCOMPARE(result.reply.size(),
                     std::size_t(detail.section(QLatin1Char(' '), 0, 0).toInt()));
            QCOMPARE(result.expectedLength, std::size_t(7));
            // Every attempt waited its whole time, and the whole no longer than that.
            QVERIFY2(elapsed >= attempts * timeoutMs, qPrintable(QString::number(elapsed)));
            QVERIFY2(elapsed <= longestWaitMs(timeoutMs, retries) + 50,
                     qPrintable(QString::number(elapsed)));
        }
        if (detail.endsWith(QLatin1String(" ms")))
            QVERIFY2(result.latencyMs >= detail.section(QLatin1Char(' '), 0, 0).toDouble(),
                     qPrintable(QString::number(result.latencyMs)));
        if (status == Status::Ok)
            QCOMPARE(result.registers.size(), std::size_t(1));
    }

    // A reply that comes after its request timed out is discarded before the next request,
    // which would otherwise take it for its own.
    void lateReplyIsNotTakenForTheNext() {
        SimLine line;
        QVERIFY2(line.start({QStringLiteral("--fault"), QStringLiteral("slow:150"),
                             QStringLiteral("--fault-every"), QStringLiteral("2")},
                            60, 0),
                 line.sim.log);
        QCOMPARE(line.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Ok);
        QCOMPARE(line.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status,
                 Status::Timeout);
        // The sensor logs the late answer just before it writes it; a moment later it is on the
        // line, and nothing on this side reports its arrival (the event loop may even have read
        // it into the port's buffer).
        QVERIFY2(line.sim.waitForLog("1 register; fault slow:150"), line.sim.log);
        QTest::qWait(20);
        const cli::Result next = line.engine.transact(readFrame(1, 0, 2), ReplyKind::Registers);
        QCOMPARE(next.status, Status::Ok);
        QCOMPARE(next.registers.size(), std::size_t(2));
    }

    // The simulator killed under an open port: the engine reports the port as lost at once,
    // every time it is asked, without waiting out its timeout or spinning.
    void lostPort() {
        SimLine line;
        QVERIFY2(line.start({}, 2000, 3), line.sim.log);
        QCOMPARE(line.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Ok);
        line.sim.kill();
        for (int round = 0; round < 3; ++round) {
            QElapsedTimer clock;
            clock.start();
            const cli::Result result =
                line.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
            QCOMPARE(result.status, Status::PortLost);
            QCOMPARE(result.attempts, 1);
            QVERIFY(!result.portError.empty());
            QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        }
    }

    // The simulator killed while a request waits for its answer, as an adapter pulled out mid
    // transaction: the hang-up ends the wait at once rather than at the timeout, and the request
    // is not asked again.
    void portLostWhileWaiting() {
        SimLine line;
        QVERIFY2(line.start({QStringLiteral("--fault"), QStringLiteral("slow:1500")}, 3000, 2),
                 line.sim.log);
        const auto pid = static_cast<pid_t>(line.sim.process.processId());
        std::thread killer([pid] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ::kill(pid, SIGKILL);
        });
        QElapsedTimer clock;
        clock.start();
        const cli::Result result = line.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
        const qint64 waited = clock.elapsed();
        killer.join();
        QCOMPARE(result.status, Status::PortLost);
        QCOMPARE(result.attempts, 1);
        QVERIFY2(waited < 1000, qPrintable(QString::number(waited)));
    }

    // An independent Modbus implementation: the sensor's reads and writes, and a write outside
    // its map refused with an exception.
    void libmodbusServer() {
        ModbusServer server(8);
        QVERIFY(!server.slaveName.isEmpty());
        server.set(0, 1234);
        server.set(3, 12345);
        server.set(4, 0xFC18);
        cli::Engine engine;
        engine.setTimeout(500);
        QVERIFY2(engine.open(server.slaveName.toStdString(), 9600), engine.openErrorText().c_str());

        const cli::Result read = engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
        QCOMPARE(read.status, Status::Ok);
        QCOMPARE(read.registers, (std::vector<std::uint16_t>{1234}));
        const cli::Result parameters = engine.transact(readFrame(1, 3, 5), ReplyKind::Registers);
        QCOMPARE(parameters.status, Status::Ok);
        QCOMPARE(parameters.registers.at(0), std::uint16_t(12345));
        QCOMPARE(parameters.registers.at(1), std::uint16_t(0xFC18));

        const cli::Result refused = engine.transact(
            sealed(protocol::parameterWriteRequest(1, 0, 10000)), ReplyKind::WriteEcho);
        QCOMPARE(refused.status, Status::Exception);
        QCOMPARE(int(refused.exceptionCode), 2);
        QCOMPARE(QString::fromStdString(protocol::exceptionName(refused.exceptionCode)),
                 QStringLiteral("illegal data address"));
        QCOMPARE(server.get(3), std::uint16_t(12345));

        const cli::Result beyond = engine.transact(readFrame(1, 0, 9), ReplyKind::Registers);
        QCOMPARE(beyond.status, Status::Exception);
        QCOMPARE(int(beyond.exceptionCode), 2);
    }

    void libmodbusServerTakesWrites() {
        ModbusServer server;
        QVERIFY(!server.slaveName.isEmpty());
        cli::Engine engine;
        QVERIFY(engine.open(server.slaveName.toStdString(), 9600));
        const cli::Result write = engine.transact(
            sealed(protocol::parameterWriteRequest(1, 1, 0xFC18)), ReplyKind::WriteEcho);
        QCOMPARE(write.status, Status::Ok);
        QCOMPARE(server.get(0x0A04), std::uint16_t(0xFC18));
    }

    // Why a port did not open, as the user is told.
    void openFailures() {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("ttyUSB9"));
        cli::Engine engine;
        QVERIFY(!engine.open(missing.toStdString(), 9600));
        const QString notFound =
            openFailureText(missing, missing, engine.openError(), engine.openErrorText());
        QVERIFY2(notFound.startsWith(QStringLiteral("cannot open %1: not found").arg(missing)),
                 qPrintable(notFound));
        // A COMn link whose device is gone names both.
        const QString link = dir.filePath(QStringLiteral("COM3"));
        QVERIFY(QFile::link(QStringLiteral("/dev/pts/gone"), link));
        QVERIFY(!engine.open(link.toStdString(), 9600));
        QVERIFY(openFailureText(link, QStringLiteral("COM3"), engine.openError(),
                                engine.openErrorText())
                    .startsWith(QStringLiteral("cannot open %1 (port COM3): not found").arg(link)));

        // Another program holds the port.
        PtyPair pty;
        cli::Engine holder;
        QVERIFY(holder.open(pty.slaveName.toStdString(), 9600));
        QVERIFY(!engine.open(pty.slaveName.toStdString(), 9600));
        const QString busy = openFailureText(pty.slaveName, pty.slaveName, engine.openError(),
                                             engine.openErrorText());
        QVERIFY2(busy.contains(QStringLiteral(": busy")), qPrintable(busy));

        // A device this user may not open; root may open anything, so only a user can see it.
        if (::geteuid() == 0)
            return;
        QFile locked(dir.filePath(QStringLiteral("ttyLocked")));
        QVERIFY(locked.open(QIODevice::WriteOnly));
        locked.setPermissions({});
        const QString denied =
            openFailureText(locked.fileName(), locked.fileName(),
                            platform::SerialPort::OpenError::Permission, std::string());
        QVERIFY2(denied.contains(QStringLiteral("permission denied")) &&
                     denied.contains(QStringLiteral("sudo adduser $USER")),
                 qPrintable(denied));
    }

    // The device and rate from --port, --baud and comm.set beside the program.
    void chooseLine_data() {
        QTest::addColumn<QString>("commSet"); // "none": no file
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("baud");
        QTest::addColumn<QString>("device"); // DIR: the program's directory; empty: refused
        QTest::addColumn<QString>("portText");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("error");
        // Where a row refuses, device and portText are empty, the rate 0 and the error the words
        // the refusal contains.
        auto row = [](const char* name, const char* commSet, const QStringList& entries,
                      const char* port, const char* baud, const char* device, const char* portText,
                      int rate, const char* error) {
            QTest::newRow(name) << commSet << entries << port << baud << device << portText << rate
                                << error;
        };
        const QStringList none;
        row("path and rate given", "3,19200", none, "/dev/ttyUSB0", "4800", "/dev/ttyUSB0",
            "/dev/ttyUSB0", 4800, "");
        row("COMn with an entry beside the program", "none", QStringList{"COM2"}, "COM2", "",
            "DIR/COM2", "COM2", 9600, "");
        row("com2 in lower case", "none", QStringList{"COM2"}, "com2", "9600", "DIR/COM2", "com2",
            9600, "");
        row("COMn without an entry: the platform's port", "none", none, "COM4", "", "/dev/ttyS3",
            "COM4", 9600, "");
        row("port and rate from comm.set", "3,19200\r\n", QStringList{"COM3"}, "", "", "DIR/COM3",
            "COM3", 19200, "");
        row("stored rate 0 is 9600", "3,0\r\n", none, "", "", "/dev/ttyS2", "COM3", 9600, "");
        row("--baud overrides comm.set", "3,19200\r\n", none, "", "4800", "/dev/ttyS2", "COM3",
            4800, "");
        row("--port overrides comm.set, its rate stays", "3,19200\r\n", none, "/dev/ttyACM0", "",
            "/dev/ttyACM0", "/dev/ttyACM0", 19200, "");
        row("14400 is a standard rate", "none", none, "/dev/x", "14400", "/dev/x", "/dev/x", 14400,
            "");
        row("no port anywhere", "none", none, "", "9600", "", "", 0, "--port");
        row("comm.set without a port", "0,9600\r\n", none, "", "", "", "", 0, "--port");
        row("comm.set unreadable", "junk", none, "", "", "", "", 0, "--port");
        row("odd stored rate", "3,12345\r\n", none, "", "", "", "", 0, "not a standard rate");
        row("odd rate given", "none", none, "/dev/x", "12345", "", "", 0, "not a standard rate");
        row("COM0", "none", none, "COM0", "", "", "", 0, "not a port");
        row("COM256", "none", none, "COM256", "", "", "", 0, "not a port");
    }
    void chooseLine() {
        QFETCH(QString, commSet);
        QFETCH(QStringList, entries);
        QFETCH(QString, port);
        QFETCH(QString, baud);
        QFETCH(QString, device);
        QFETCH(QString, error);
        QTemporaryDir dir;
        if (commSet != QLatin1String("none")) {
            QFile file(dir.filePath(QStringLiteral("comm.set")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(commSet.toLatin1());
        }
        for (const QString& entry : entries)
            QVERIFY(QFile::link(QStringLiteral("/dev/null"), dir.filePath(entry)));

        const cli::LineChoice choice =
            cli::chooseLine(port.toStdString(), baud.toStdString(), dir.path().toStdString());
        if (device.isEmpty()) {
            QVERIFY(!choice.line);
            QVERIFY2(QString::fromStdString(choice.error).contains(error), choice.error.c_str());
            return;
        }
        QVERIFY2(choice.line, choice.error.c_str());
        QCOMPARE(QString::fromStdString(choice.line->device),
                 QString(device).replace(QStringLiteral("DIR"), dir.path()));
        QTEST(QString::fromStdString(choice.line->port), "portText");
        QTEST(choice.line->baud, "rate");
    }
};

QTEST_GUILESS_MAIN(TestCliEngine)
#include "test_cli_engine.moc"
