// qf7320 run as a process over a network: Modbus TCP against a libmodbus server, RTU frames
// over TCP and Modbus TCP against a scripted peer, judged by exit status, output and messages.
// Also several stations in one command, and scan through a gateway. All on loopback.

#include "sim/sensor.h"
#include "tests/support/cliprocess.h"
#include "tests/support/modbusserver.h"
#include "tests/support/tcppeer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <optional>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;

    QList<QJsonObject> objects() const {
        QList<QJsonObject> list;
        for (const QByteArray& line : out.split('\n'))
            if (!line.isEmpty())
                list << QJsonDocument::fromJson(line).object();
        return list;
    }
    QByteArray what() const { return "exit " + QByteArray::number(code) + "\n" + out + err; }
};

Run run(const QStringList& args) {
    ProgramRun finished = runProgram(kProgram, args);
    return {finished.code, std::move(finished.out), std::move(finished.err)};
}

QByteArray bytes(const sim::Bytes& from) {
    return QByteArray(reinterpret_cast<const char*>(from.data()), qsizetype(from.size()));
}

sim::Bytes span(const QByteArray& from) {
    return sim::Bytes(from.begin(), from.end());
}

// A Modbus TCP reply carrying an RTU answer (its CRC dropped).
QByteArray mbapReply(const QByteArray& request, const QByteArray& rtuAnswer) {
    const QByteArray pdu = rtuAnswer.left(rtuAnswer.size() - 2);
    return request.left(4) + char(pdu.size() >> 8) + char(pdu.size() & 0xFF) + pdu;
}

// A gateway in front of a line of sensors: station 1 answers, 2 is silent, 3 refuses every
// request (exception 04), 4's answers come from station 9; any other station makes the
// gateway answer exception 0B, no answer from the sensor.
TcpPeer::Answer gatewayLine(const QByteArray& request, int) {
    const int unit = std::uint8_t(request[6]);
    const QByteArray rtu = bytes(sim::withCrc(span(request.mid(6))));
    sim::Sensor sensor(std::uint8_t(unit == 4 ? 9 : unit));
    sensor.fixLux(12340);
    QByteArray rtuRequest = rtu;
    if (unit == 4) {
        rtuRequest[0] = 9;
        rtuRequest = bytes(sim::withCrc(span(rtuRequest.left(6))));
    }
    switch (unit) {
    case 1:
    case 4:
        return {mbapReply(request, bytes(sensor.handle(span(rtuRequest), 0).answer))};
    case 2:
        return {};
    case 3:
        return {mbapReply(request, bytes(sim::withCrc(
                                       {std::uint8_t(unit), std::uint8_t(request[7] | 0x80), 4})))};
    default:
        return {mbapReply(request, bytes(sim::withCrc({std::uint8_t(unit),
                                                       std::uint8_t(request[7] | 0x80), 0x0B})))};
    }
}

} // namespace

class TestCliNetwork : public QObject {
    Q_OBJECT
private slots:
    void readOverModbusTcp() {
        ModbusTcpServer server(8);
        QVERIFY(server.port != 0);
        server.set(0, 1234);
        const Run text = run({QStringLiteral("-p"), server.url(), QStringLiteral("read")});
        QCOMPARE(text.code, 0);
        QCOMPARE(text.out, QByteArray("12340 lx\n"));
        QVERIFY2(text.err.isEmpty(), text.err);

        // JSON names the port as given; tcp:// has no rate. --baud is ignored, and says so.
        const Run json = run({QStringLiteral("-p"), server.url(), QStringLiteral("-b"),
                              QStringLiteral("19200"), QStringLiteral("-s"), QStringLiteral("7"),
                              QStringLiteral("read"), QStringLiteral("--json")});
        QCOMPARE(json.code, 0);
        QVERIFY2(json.err.contains("--baud does not apply to tcp://"), json.what());
        const QJsonObject object = json.objects().value(0);
        QCOMPARE(object.value(QStringLiteral("port")).toString(), server.url());
        QVERIFY(object.value(QStringLiteral("baud")).isNull());
        QCOMPARE(object.value(QStringLiteral("station")).toInt(), 7);
        QCOMPARE(object.value(QStringLiteral("lux")).toInt(), 12340);

        // A write reaches the register it names (a plain map reads it back elsewhere).
        ModbusTcpServer full;
        const Run set =
            run({QStringLiteral("-p"), full.url(), QStringLiteral("set"), QStringLiteral("offset"),
                 QStringLiteral("-25"), QStringLiteral("--no-verify")});
        QVERIFY2(set.code == 0, set.what());
        QCOMPARE(set.out, QByteArray("offset -25 (written, not read back)\n"));
        QCOMPARE(full.get(0x0A04), std::uint16_t(0xFFE7));
    }

    // mbpoll, an independent Modbus TCP client, reads the scripted gateway as qf7320 does: the
    // peer the other cases play faults with speaks proper Modbus TCP.
    void sameReadingAsMbpoll() {
        TcpPeer peer(12, gatewayLine);
        QProcess mbpoll;
        mbpoll.start(QStringLiteral("mbpoll"),
                     {QStringLiteral("-m"), QStringLiteral("tcp"), QStringLiteral("-a"),
                      QStringLiteral("1"), QStringLiteral("-r"), QStringLiteral("1"),
                      QStringLiteral("-c"), QStringLiteral("2"), QStringLiteral("-1"),
                      QStringLiteral("-p"), QString::number(peer.port),
                      QStringLiteral("127.0.0.1")});
        if (!mbpoll.waitForStarted(5000))
            QSKIP("mbpoll is not installed");
        QVERIFY(mbpoll.waitForFinished(10000));
        const QByteArray reference = mbpoll.readAllStandardOutput();
        QVERIFY2(reference.contains("[1]: \t1234") && reference.contains("[2]: \t2350"), reference);
        const Run r = run({QStringLiteral("-p"), peer.url("tcp"), QStringLiteral("read"),
                           QStringLiteral("--registers"), QStringLiteral("2")});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("12340 lx\nregister 0: 1234\nregister 1: 2350\n"));
    }

    void rtuOverTcpWithEcho() {
        sim::Sensor sensor;
        sensor.fixLux(12340);
        TcpPeer peer(8, [&](const QByteArray& request, int) {
            return TcpPeer::Answer{request + bytes(sensor.handle(span(request), 0).answer)};
        });
        const Run r = run({QStringLiteral("-p"), peer.url("rtu+tcp"), QStringLiteral("-v"),
                           QStringLiteral("read")});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("12340 lx\n"));
        QVERIFY2(r.err.contains("local echo"), r.what());
    }

    // Several stations in one command: a result each, and the worst status for the exit.
    void stationLists_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("out");
        QTest::addColumn<QStringList>("err");
        QTest::newRow("read 1 and 4: a bad reply")
            << QStringList{"-s", "1,4", "read"} << 4 << QStringList{"station 1: 12340 lx"}
            << QStringList{"bad reply from station 4", "it comes from station 9"};
        QTest::newRow("read 1 and 2: no reply is the worst")
            << QStringList{"-s", "1-2", "read"} << 3 << QStringList{"station 1: 12340 lx"}
            << QStringList{"no reply from station 2"};
        QTest::newRow("read 1-4: an exception is the worst")
            << QStringList{"-s", "1-4", "read", "--registers", "2"} << 5
            << QStringList{"station 1: 12340 lx  registers 1234 2350"}
            << QStringList{"no reply from station 2", "station 3 refused",
                           "bad reply from station 4"};
        QTest::newRow("get from two")
            << QStringList{"-s", "1,2", "get"} << 3
            << QStringList{"station 1: scale 1.0000, offset 0, da4 700, da20 4000, range 20000"}
            << QStringList{"station 2"};
        QTest::newRow("get one parameter from one: plain lines")
            << QStringList{"-s", "1", "get", "scale"} << 0 << QStringList{"scale 1.0000"}
            << QStringList{};
        QTest::newRow("a gateway's 0B") << QStringList{"-s", "5", "read"} << 5 << QStringList{}
                                        << QStringList{"the gateway could not reach station 5"};
    }
    void stationLists() {
        QFETCH(QStringList, args);
        QFETCH(QStringList, out);
        QFETCH(QStringList, err);
        TcpPeer peer(12, gatewayLine);
        const QStringList common{QStringLiteral("-p"),        peer.url("tcp"),
                                 QStringLiteral("--timeout"), QStringLiteral("150"),
                                 QStringLiteral("--retries"), QStringLiteral("0")};
        const Run r = run(common + args);
        QTEST(r.code, "code");
        QStringList lines = QString::fromUtf8(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines, out);
        for (const QString& text : err)
            QVERIFY2(r.err.contains(text.toUtf8()), r.what());

        // The same as JSON: one object per station asked, in order, each with its status.
        if (args.contains(QStringLiteral("-s")) && args.at(1).contains(QLatin1Char('-'))) {
            const Run json = run(common + args + QStringList{QStringLiteral("--json")});
            QTEST(json.code, "code");
            QStringList statuses;
            for (const QJsonObject& object : json.objects())
                statuses << QStringLiteral("%1 %2")
                                .arg(object.value(QStringLiteral("station")).toInt())
                                .arg(object.value(QStringLiteral("status")).toString());
            QCOMPARE(statuses.first(), QStringLiteral("1 ok"));
            QCOMPARE(statuses.value(1), QStringLiteral("2 timeout"));
            if (statuses.size() > 2)
                QCOMPARE(statuses.mid(2), (QStringList{QStringLiteral("3 exception"),
                                                       QStringLiteral("4 bad-reply")}));
        }
    }

    // Connections that fail: exit 2 and words that say what happened.
    void failures_data() {
        QTest::addColumn<QString>("port"); // PEER: the scripted peer's
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("refused") << "CLOSED" << QStringList{} << 2 << "refused, nothing listens";
        QTest::newRow("unresolvable host") << "tcp://nonexistent.invalid:502" << QStringList{} << 2
                                           << "nonexistent.invalid cannot be resolved";
        QTest::newRow("no answer to the connection")
            << "BACKLOG" << QStringList{"--connect-timeout", "300"} << 2
            << "no answer within 300 ms";
        QTest::newRow("dropped mid-reply")
            << "PEER" << QStringList{} << 2 << "lost the connection to tcp://127.0.0.1:";
        QTest::newRow("silent: 1000 ms over a network")
            << "SILENT" << QStringList{"--retries", "0"} << 3 << "after 1 attempt of 1000 ms";
        QTest::newRow("a serial server behind tcp://")
            << "RTU" << QStringList{} << 4 << "does not speak Modbus TCP";
        QTest::newRow("bad connect timeout")
            << "tcp://127.0.0.1:1" << QStringList{"--connect-timeout", "0"} << 1
            << "--connect-timeout 0 is not";
        QTest::newRow("bad endpoint") << "tcp://[::1" << QStringList{} << 1 << "is not an endpoint";
        QTest::newRow("--bauds over a network")
            << "tcp://127.0.0.1:1" << QStringList{"scan", "--bauds", "9600"} << 1
            << "--bauds does not apply";
    }
    void failures() {
        QFETCH(QString, port);
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        std::uint16_t closedPort = 0;
        {
            TcpPeer gone(8, [](const QByteArray&, int) { return TcpPeer::Answer{}; });
            closedPort = gone.port;
        }
        TcpPeer dropping(12, [](const QByteArray& request, int) {
            return TcpPeer::Answer{request.left(9), true};
        });
        TcpPeer silent(12, [](const QByteArray&, int) { return TcpPeer::Answer{}; });
        TcpPeer rtu(12, [](const QByteArray& request, int) {
            return TcpPeer::Answer{bytes(sim::withCrc({std::uint8_t(request[0]), 3, 2, 0, 0}))};
        });
        std::optional<FullBacklog> backlog;
        if (port == QLatin1String("BACKLOG")) {
            backlog.emplace();
            QVERIFY(backlog->full);
            port = backlog->url("rtu+tcp");
        } else if (port == QLatin1String("CLOSED"))
            port = QStringLiteral("tcp://127.0.0.1:%1").arg(closedPort);
        else if (port == QLatin1String("PEER"))
            port = dropping.url("tcp");
        else if (port == QLatin1String("SILENT"))
            port = silent.url("tcp");
        else if (port == QLatin1String("RTU"))
            port = rtu.url("tcp");
        if (args.isEmpty() || args.first().startsWith(QLatin1Char('-')))
            args << QStringLiteral("read");
        const Run r = run(QStringList{QStringLiteral("-p"), port} + args);
        QTEST(r.code, "code");
        QVERIFY2(r.err.contains(message.toUtf8()), r.what());
        QVERIFY(r.out.isEmpty());
    }

    // scan through a gateway: the stations of the range, at the one rate; the gateway's own
    // exceptions are not sensors.
    void scanThroughAGateway() {
        TcpPeer peer(12, gatewayLine);
        const Run r = run({QStringLiteral("-p"), peer.url("tcp"), QStringLiteral("scan"),
                           QStringLiteral("--stations"), QStringLiteral("1-6"),
                           QStringLiteral("--timeout"), QStringLiteral("150")});
        QVERIFY2(r.code == 0, r.what());
        QCOMPARE(QString::fromUtf8(r.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                 (QStringList{QStringLiteral("station 1  12340 lx"),
                              QStringLiteral("station 3  (no reading: exception)")}));
    }

    // Every sensor on a line answers the address query: over a serial server, replies that
    // collide arrive damaged, and the message says what that means and what finds them.
    void addressQueryCollision() {
        TcpPeer peer(8, [](const QByteArray&, int) {
            return TcpPeer::Answer{QByteArray("\xFA\x25\x01\x03\xFF\x00", 6)};
        });
        const Run r = run({QStringLiteral("-p"), peer.url("rtu+tcp"), QStringLiteral("address"),
                           QStringLiteral("--retries"), QStringLiteral("0")});
        QCOMPARE(r.code, 4);
        QVERIFY2(r.err.contains("Several sensors may be answering") &&
                     r.err.contains("scan --stations"),
                 r.what());
    }
};

QTEST_GUILESS_MAIN(TestCliNetwork)
#include "test_cli_network.moc"
