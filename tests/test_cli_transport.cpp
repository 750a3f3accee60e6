// The command line's engine over a network: Modbus TCP against a libmodbus server, and RTU
// frames over TCP and Modbus TCP against a scripted peer that plays every fault a gateway or a
// serial device server can show (late replies, local echo, garbage, floods, broken headers,
// hang-ups), with connections that are refused, time out or name no host. All on loopback.

#include "cli/command.h"
#include "cli/line.h"
#include "client/engine.h"
#include "client/mbap.h"
#include "sim/sensor.h"
#include "tests/support/modbusserver.h"
#include "tests/support/requestframes.h"
#include "tests/support/tcppeer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>

using cli::Status;
using protocol::ReplyKind;

Q_DECLARE_METATYPE(cli::Status)

namespace {

cli::Line endpoint(const QString& url) {
    std::string error;
    const std::optional<cli::Line> line = client::parseNetworkEndpoint(url.toStdString(), error);
    return line.value_or(cli::Line{});
}

QByteArray bytes(const sim::Bytes& from) {
    return QByteArray(reinterpret_cast<const char*>(from.data()), qsizetype(from.size()));
}

sim::Bytes span(const QByteArray& from) {
    return sim::Bytes(from.begin(), from.end());
}

// What the simulated sensor answers to an RTU request.
QByteArray answerOf(sim::Sensor& sensor, const QByteArray& rtuRequest) {
    return bytes(sensor.handle(span(rtuRequest), 0).answer);
}

// A Modbus TCP request as the RTU frame it stands for.
QByteArray rtuOf(const QByteArray& mbapRequest) {
    return bytes(sim::withCrc(span(mbapRequest.mid(6))));
}

std::uint16_t idOf(const QByteArray& mbapRequest) {
    return std::uint16_t(std::uint8_t(mbapRequest[0]) << 8 | std::uint8_t(mbapRequest[1]));
}

// An RTU answer (CRC included) as a Modbus TCP reply; a protocol id or length as given.
QByteArray mbapReply(std::uint16_t id, const QByteArray& rtuAnswer, std::uint16_t protocolId = 0,
                     int length = -1) {
    const QByteArray pdu = rtuAnswer.left(rtuAnswer.size() - 2); // unit id and PDU
    const int field = length >= 0 ? length : int(pdu.size());
    QByteArray adu;
    adu.append(char(id >> 8)).append(char(id & 0xFF));
    adu.append(char(protocolId >> 8)).append(char(protocolId & 0xFF));
    adu.append(char(field >> 8)).append(char(field & 0xFF));
    return adu + pdu;
}

struct Connected {
    cli::Engine engine;
    QStringList notes;
    bool open(const QString& url, int timeoutMs = 300, int retries = 0) {
        engine.setTimeout(timeoutMs);
        engine.setRetries(retries);
        engine.setConnectTimeout(2000);
        engine.setTrace(
            {{}, {}, [this](const std::string& text) { notes << QString::fromStdString(text); }});
        return engine.open(endpoint(url));
    }
};

} // namespace

class TestCliTransport : public QObject {
    Q_OBJECT
private slots:
    void endpoints_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("kind"); // -1: refused
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        using K = cli::transport::Kind;
        QTest::newRow("tcp, default port")
            << "tcp://gw.local" << int(K::ModbusTcp) << "gw.local" << 502;
        QTest::newRow("tcp with a port")
            << "tcp://10.0.0.7:1502" << int(K::ModbusTcp) << "10.0.0.7" << 1502;
        QTest::newRow("rtu+tcp") << "rtu+tcp://192.168.1.20:4001" << int(K::RtuOverTcp)
                                 << "192.168.1.20" << 4001;
        QTest::newRow("IPv6 in brackets")
            << "tcp://[::1]:1502" << int(K::ModbusTcp) << "::1" << 1502;
        QTest::newRow("IPv6 without port")
            << "rtu+tcp://[fe80::1%eth0]" << int(K::RtuOverTcp) << "fe80::1%eth0" << 502;
        QTest::newRow("trailing slash") << "tcp://gw:502/" << int(K::ModbusTcp) << "gw" << 502;
        QTest::newRow("upper-case scheme") << "TCP://gw" << int(K::ModbusTcp) << "gw" << 502;
        QTest::newRow("IPv6 without brackets") << "tcp://::1:502" << -1 << "" << 0;
        QTest::newRow("no host") << "tcp://:502" << -1 << "" << 0;
        QTest::newRow("port 0") << "tcp://gw:0" << -1 << "" << 0;
        QTest::newRow("port too high") << "tcp://gw:65536" << -1 << "" << 0;
        QTest::newRow("port not a number") << "tcp://gw:modbus" << -1 << "" << 0;
        QTest::newRow("empty port") << "tcp://gw:" << -1 << "" << 0;
        QTest::newRow("a path") << "tcp://gw/x" << -1 << "" << 0;
        QTest::newRow("unclosed bracket") << "tcp://[::1:502" << -1 << "" << 0;
    }
    void endpoints() {
        QFETCH(QString, text);
        QFETCH(int, kind);
        std::string error;
        const std::optional<cli::Line> line =
            client::parseNetworkEndpoint(text.toStdString(), error);
        if (kind < 0) {
            QVERIFY(!line);
            QVERIFY2(QString::fromStdString(error).contains(text), error.c_str());
            return;
        }
        QVERIFY2(line, error.c_str());
        QCOMPARE(int(line->kind), kind);
        QTEST(QString::fromStdString(line->host), "host");
        QTEST(int(line->tcpPort), "port");
        QCOMPARE(QString::fromStdString(line->port),
                 text); // as the user gave it, for messages and JSON
        // A device path is no endpoint, and says nothing.
        QVERIFY(!client::parseNetworkEndpoint("/dev/ttyUSB0", error));
    }

    // comm.set holds the window's serial port and rate, nothing about a network endpoint: an
    // odd rate saved there does not stop one, and -b is still checked.
    void endpointsIgnoreCommSet() {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("comm.set")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("3,12345\r\n");
        file.close();
        const std::string folder = dir.path().toStdString();
        const cli::LineChoice tcp = cli::chooseLine("tcp://127.0.0.1", "", folder);
        QVERIFY2(tcp.line, tcp.error.c_str());
        QCOMPARE(tcp.line->kind, cli::transport::Kind::ModbusTcp);
        const cli::LineChoice rtu = cli::chooseLine("rtu+tcp://gw:4001", "19200", folder);
        QVERIFY2(rtu.line, rtu.error.c_str());
        QCOMPARE(rtu.line->baud, 19200);
        QVERIFY(!cli::chooseLine("tcp://gw", "12345", folder).line);
        QVERIFY(cli::chooseLine("tcp://gw:x", "", folder).error.find("TCP port") !=
                std::string::npos);
    }

    // Modbus TCP against libmodbus: reads, a write, an exception, and the connection made again
    // after close().
    void modbusTcpAgainstLibmodbus() {
        ModbusTcpServer server(8);
        QVERIFY(server.port != 0);
        server.set(0, 1234);
        server.set(3, 12345);
        Connected c;
        QVERIFY2(c.open(server.url()), c.engine.openErrorText().c_str());

        const cli::Result read = c.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
        QCOMPARE(read.status, Status::Ok);
        QCOMPARE(read.registers, (std::vector<std::uint16_t>{1234}));
        // The reply reaches the commands as the RTU frame it stands for.
        QCOMPARE(read.reply.size(), std::size_t(7));
        const cli::Result seven = c.engine.transact(readFrame(7, 3, 5), ReplyKind::Registers);
        QCOMPARE(seven.status, Status::Ok);
        QCOMPARE(seven.registers.at(0), std::uint16_t(12345));

        const cli::Result refused = c.engine.transact(
            sealed(protocol::parameterWriteRequest(1, 0, 10000)), ReplyKind::WriteEcho);
        QCOMPARE(refused.status, Status::Exception);
        QCOMPARE(int(refused.exceptionCode), 2);

        c.engine.close();
        QVERIFY(c.engine.open());
        QCOMPARE(c.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Ok);

        ModbusTcpServer writable;
        QVERIFY(c.open(writable.url()));
        QCOMPARE(c.engine
                     .transact(sealed(protocol::parameterWriteRequest(1, 1, 0xFC18)),
                               ReplyKind::WriteEcho)
                     .status,
                 Status::Ok);
        QCOMPARE(writable.get(0x0A04), std::uint16_t(0xFC18));
        QVERIFY(c.notes.isEmpty());
    }

    // What a Modbus TCP peer can do wrong, and what the engine makes of it.
    void modbusTcpFaults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<Status>("status");
        QTest::addColumn<QString>("detail");  // failed check, exception code, or a note
        QTest::addColumn<int>("connections"); // after a second, plain request
        QTest::newRow("plain") << "plain" << Status::Ok << "" << 1;
        QTest::newRow("a late reply first, dropped")
            << "late first" << Status::Ok << "late reply" << 1;
        QTest::newRow("only a reply with another id")
            << "late only" << Status::Timeout << "late reply" << 1;
        QTest::newRow("protocol id 1") << "protocol id" << Status::BadReply << "protocol id" << 2;
        QTest::newRow("length 255") << "length 255" << Status::BadReply << "MBAP length" << 2;
        QTest::newRow("length 1") << "length 1" << Status::BadReply << "MBAP length" << 2;
        QTest::newRow("another unit") << "unit" << Status::BadReply << "station" << 1;
        QTest::newRow("short body: a bad length") << "short" << Status::BadReply << "length" << 1;
        QTest::newRow("gateway: no answer from the sensor")
            << "0B" << Status::Exception << "11" << 1;
        QTest::newRow("closes mid-reply") << "close" << Status::PortLost << "" << 2;
        QTest::newRow("garbage") << "garbage" << Status::BadReply << "protocol id" << 2;
        QTest::newRow("flood") << "flood" << Status::BadReply << "protocol id" << 2;
    }
    void modbusTcpFaults() {
        QFETCH(QString, fault);
        QFETCH(Status, status);
        QFETCH(QString, detail);
        sim::Sensor sensor;
        sensor.fixLux(12340);
        TcpPeer peer(12, [&](const QByteArray& request, int index) -> TcpPeer::Answer {
            const std::uint16_t id = idOf(request);
            const QByteArray answer = answerOf(sensor, rtuOf(request));
            const QByteArray good = mbapReply(id, answer);
            if (index > 0)
                return {good};
            if (fault == QLatin1String("late first")) {
                // The answer to an earlier read of two registers comes first.
                QByteArray two = rtuOf(request).left(6);
                two[5] = 2;
                return {mbapReply(id - 1, answerOf(sensor, bytes(sim::withCrc(span(two))))) + good};
            }
            if (fault == QLatin1String("late only"))
                return {mbapReply(id + 7, answer)};
            if (fault == QLatin1String("protocol id"))
                return {mbapReply(id, answer, 1)};
            if (fault == QLatin1String("length 255"))
                return {mbapReply(id, answer, 0, 255) + QByteArray(255, 0)};
            if (fault == QLatin1String("length 1"))
                return {mbapReply(id, answer, 0, 1)};
            if (fault == QLatin1String("unit"))
                return {mbapReply(id, answer).replace(6, 1, "\x09")};
            if (fault == QLatin1String("short"))
                return {mbapReply(id, answer.left(answer.size() - 1), 0)};
            if (fault == QLatin1String("0B")) {
                const QByteArray exception = bytes(sim::withCrc({1, 0x83, 0x0B}));
                return {mbapReply(id, exception)};
            }
            if (fault == QLatin1String("close"))
                return {good.left(9), true};
            if (fault == QLatin1String("garbage"))
                return {QByteArray("\x13\x37garbage on the line", 21)};
            if (fault == QLatin1String("flood"))
                return {{}, false, true};
            return {good};
        });
        Connected c;
        QVERIFY(c.open(peer.url("tcp"), 300, 0));
        QElapsedTimer clock;
        clock.start();
        const cli::Result result = c.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(result.status == status,
                 qPrintable(cli::statusName(result.status) + QLatin1Char(' ') +
                            QString::fromStdString(result.failedCheck)));
        if (status == Status::Ok)
            QCOMPARE(result.registers, (std::vector<std::uint16_t>{1234}));
        if (status == Status::BadReply)
            QCOMPARE(QString::fromStdString(result.failedCheck), detail);
        if (status == Status::Exception)
            QCOMPARE(int(result.exceptionCode), detail.toInt());
        if (status == Status::PortLost)
            QVERIFY2(result.portError.find("closed") != std::string::npos,
                     result.portError.c_str());
        if (detail == QLatin1String("late reply"))
            QVERIFY2(
                c.notes.join(QLatin1Char('\n')).contains(QStringLiteral("dropped a late reply")),
                qPrintable(c.notes.join(QLatin1Char('\n'))));

        // A broken stream is read no further: the next request goes over a new connection and
        // is answered. A connection closed by the far end stays closed until opened again.
        if (status == Status::PortLost) {
            QCOMPARE(c.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status,
                     Status::PortLost);
            QVERIFY(c.engine.open());
        }
        const cli::Result next = c.engine.transact(readFrame(1, 0, 2), ReplyKind::Registers);
        QCOMPARE(next.status, Status::Ok);
        QCOMPARE(next.registers.size(), std::size_t(2));
        QTEST(peer.connections(), "connections");
    }

    // RTU frames over TCP: the serial checks, stale bytes dropped before each request, and a
    // converter's local echo skipped.
    void rtuOverTcp_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<Status>("status");
        QTest::addColumn<QString>("detail");
        QTest::newRow("plain") << "plain" << Status::Ok << "";
        QTest::newRow("local echo") << "echo" << Status::Ok << "echo";
        QTest::newRow("stale bytes after the answer") << "trailing" << Status::Ok << "";
        QTest::newRow("bad CRC") << "crc" << Status::BadReply << "CRC";
        QTest::newRow("garbage") << "garbage" << Status::BadReply << "";
        QTest::newRow("closes mid-reply") << "close" << Status::PortLost << "";
        QTest::newRow("flood") << "flood" << Status::BadReply << "";
        QTest::newRow("silent") << "silent" << Status::Timeout << "";
    }
    void rtuOverTcp() {
        QFETCH(QString, fault);
        QFETCH(Status, status);
        QFETCH(QString, detail);
        sim::Sensor sensor;
        sensor.fixLux(12340);
        TcpPeer peer(8, [&](const QByteArray& request, int index) -> TcpPeer::Answer {
            QByteArray answer = answerOf(sensor, request);
            if (fault == QLatin1String("echo"))
                return {request + answer}; // every request, writes too
            if (fault == QLatin1String("trailing"))
                return {answer + QByteArray("\x01\x03\x02\x99\x99", 5)};
            if (index > 0)
                return {answer};
            if (fault == QLatin1String("crc"))
                return {answer.left(answer.size() - 1) + char(~answer.back())};
            if (fault == QLatin1String("garbage"))
                return {QByteArray("\x13\x37garbage", 9)};
            if (fault == QLatin1String("close"))
                return {answer.left(3), true};
            if (fault == QLatin1String("flood"))
                return {{}, false, true};
            if (fault == QLatin1String("silent"))
                return {};
            return {answer};
        });
        Connected c;
        QVERIFY(c.open(peer.url("rtu+tcp"), 300, 0));
        QElapsedTimer clock;
        clock.start();
        const cli::Result result = c.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(result.status, status);
        if (status == Status::Ok)
            QCOMPARE(result.registers, (std::vector<std::uint16_t>{1234}));
        if (!detail.isEmpty() && status == Status::BadReply)
            QCOMPARE(QString::fromStdString(result.failedCheck), detail);
        // A peer that hung up, or floods without end, is left for a new connection.
        if (fault == QLatin1String("close") || fault == QLatin1String("flood"))
            QVERIFY(c.engine.open());

        // The next request is answered in full whatever the last left in the stream; with a
        // local echo, a write is told from its echo once a read has shown the echo.
        for (int round = 0; round < 3; ++round) {
            const cli::Result next = c.engine.transact(readFrame(1, 0, 2), ReplyKind::Registers);
            QCOMPARE(next.status, Status::Ok);
            QCOMPARE(next.registers.size(), std::size_t(2));
        }
        const cli::Result write = c.engine.transact(
            sealed(protocol::parameterWriteRequest(1, 1, 25)), ReplyKind::WriteEcho);
        QCOMPARE(write.status, Status::Ok);
        const cli::Result back = c.engine.transact(readFrame(1, 4, 1), ReplyKind::Registers);
        QCOMPARE(back.registers, (std::vector<std::uint16_t>{25}));
        if (detail == QLatin1String("echo"))
            QVERIFY(c.notes.join(QLatin1Char('\n')).contains(QStringLiteral("local echo")));
    }

    // Connections that cannot be made, and how soon that is known.
    void connectFailures() {
        using Reason = cli::transport::OpenFailure::Reason;
        // A port nothing listens on: bound, then let go.
        std::uint16_t closedPort = 0;
        {
            TcpPeer gone(8, [](const QByteArray&, int) { return TcpPeer::Answer{}; });
            closedPort = gone.port;
        }
        cli::Engine engine;
        engine.setConnectTimeout(500);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!engine.open(endpoint(QStringLiteral("tcp://127.0.0.1:%1").arg(closedPort))));
        QCOMPARE(engine.openFailure().reason, Reason::Refused);
        QVERIFY(clock.elapsed() < 500);

        // Names under .invalid never resolve, and are never asked of a name server.
        clock.restart();
        QVERIFY(!engine.open(endpoint(QStringLiteral("rtu+tcp://nonexistent.invalid:502"))));
        QCOMPARE(engine.openFailure().reason, Reason::Resolve);
        QVERIFY2(engine.openFailure().text.find("nonexistent.invalid") != std::string::npos,
                 engine.openFailure().text.c_str());
        QVERIFY(clock.elapsed() < 500);

        // A listener whose backlog is full and who never accepts: the handshake is never
        // answered, and the connection gives up at its time.
        FullBacklog silent;
        QVERIFY(silent.full);
        engine.setConnectTimeout(300);
        clock.restart();
        QVERIFY(!engine.open(endpoint(silent.url("tcp"))));
        const qint64 waited = clock.elapsed();
        QCOMPARE(engine.openFailure().reason, Reason::Timeout);
        QVERIFY2(waited >= 290 && waited < 1000, qPrintable(QString::number(waited)));
    }

    // Host names and IPv6 literals reach the same peer.
    void namesAndIpv6() {
        sim::Sensor sensor;
        const auto answer = [&](const QByteArray& request, int) {
            return TcpPeer::Answer{mbapReply(idOf(request), answerOf(sensor, rtuOf(request)))};
        };
        TcpPeer v6(12, answer, true);
        QVERIFY(v6.port != 0);
        Connected c;
        QVERIFY2(c.open(v6.url("tcp")), c.engine.openErrorText().c_str());
        QCOMPARE(c.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Ok);
        TcpPeer v4(12, answer);
        QVERIFY2(c.open(QStringLiteral("tcp://localhost:%1").arg(v4.port)),
                 c.engine.openErrorText().c_str());
        QCOMPARE(c.engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Ok);
    }

    // The silence between transactions: from the end of one (its reply, or its timeout) to the
    // next request.
    void gap() {
        cli::Engine engine;
        QCOMPARE(engine.gapMs(), 4); // 3.5 characters at 9600 baud: 3.6 ms
        QVERIFY(engine.open(endpoint(QStringLiteral("rtu+tcp://127.0.0.1:1"))) == false);
        cli::Line fast = endpoint(QStringLiteral("rtu+tcp://127.0.0.1:1"));
        fast.baud = 115200;
        engine.open(fast);
        QCOMPARE(engine.gapMs(), 2); // 0.3 ms, but never under 2
        engine.open(endpoint(QStringLiteral("tcp://127.0.0.1:1")));
        QCOMPARE(engine.gapMs(), 0);

        // The second request is not answered.
        sim::Sensor sensor;
        TcpPeer peer(12, [&](const QByteArray& request, int index) {
            return TcpPeer::Answer{
                index == 1 ? QByteArray()
                           : mbapReply(idOf(request), answerOf(sensor, rtuOf(request)))};
        });
        engine.setGap(60);
        QCOMPARE(engine.gapMs(), 60);
        std::vector<cli::transport::Clock::time_point> sent;
        std::vector<cli::transport::Clock::time_point> ended;
        engine.setTrace(
            {[&](const protocol::Frame&) { sent.push_back(cli::transport::Clock::now()); },
             [&](const cli::Result&) { ended.push_back(cli::transport::Clock::now()); },
             {}});
        engine.setTimeout(100);
        QVERIFY(engine.open(endpoint(peer.url("tcp"))));
        QCOMPARE(engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Ok);
        engine.setRetries(0);
        QCOMPARE(engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Timeout);
        QCOMPARE(engine.transact(readFrame(1, 0, 1), ReplyKind::Registers).status, Status::Ok);
        QCOMPARE(sent.size(), std::size_t(3));
        for (std::size_t i = 1; i < sent.size(); ++i) {
            const auto quiet = std::chrono::duration<double, std::milli>(sent[i] - ended[i - 1]);
            QVERIFY2(quiet.count() >= 59.5, qPrintable(QString::number(quiet.count())));
        }
    }
};

QTEST_GUILESS_MAIN(TestCliTransport)
#include "test_cli_transport.moc"
