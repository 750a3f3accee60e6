// The simulated sensor's logic, byte for byte: what it answers, how it measures, its faults, its
// arguments and its line timing, without a process or a line.

#include "sim/bus.h"
#include "sim/fault.h"
#include "sim/framing.h"
#include "sim/options.h"
#include "sim/responder.h"
#include "sim/sensor.h"
#include "tests/support/simscript.h"

#include <QTest>

using namespace std::chrono_literals;

namespace {

std::vector<std::string> standardArgs(const QStringList& args) {
    std::vector<std::string> list;
    for (const QString& a : args)
        list.push_back(a.toStdString());
    return list;
}

} // namespace

class TestSensor : public QObject {
    Q_OBJECT
private slots:
    // -----------------------------------------------------------------------------------------
    // The sensor's logic, byte for byte. Every script starts from a sensor at station 1 with
    // 12340 lx and the default parameters.

    void exchanges_data() {
        QTest::addColumn<QStringList>("script");
        auto row = [](const char* name, const QStringList& steps) { QTest::newRow(name) << steps; };
        const QString all = QStringLiteral("10 04D2 092E 1194 2710 0000 02BC 0FA0 4E20");

        row("function 3 reads the whole map", {"01 03 0000 0008 -> 01 03 " + all});
        row("function 4 reads the same map", {"01 04 0000 0008 -> 01 04 " + all});
        row("last register alone", {"01 03 0007 0001 -> 01 03 02 4E20"});
        row("range from the middle", {"01 04 0003 0002 -> 01 04 04 2710 0000"});

        row("function 1 is unknown", {"01 01 0000 0001 -> 01 81 01"});
        row("function 16 is unknown", {"01 10 0A03 0001 02 2710 -> 01 90 01"});
        row("address read function at the own station", {"01 25 0200 0001 -> 01 A5 01"});
        row("start past the map", {"01 03 0008 0001 -> 01 83 02"});
        row("range running past the map", {"01 04 0007 0002 -> 01 84 02"});
        row("range wrapping past 65535", {"01 03 FFFF 0002 -> 01 83 02"});
        row("125 registers is a valid quantity but too many here", {"01 03 0000 007D -> 01 83 02"});
        row("quantity 0", {"01 03 0000 0000 -> 01 83 03"});
        row("quantity 126", {"01 04 0000 007E -> 01 84 03"});
        row("read frame one byte short", {"01 03 0000 00 -> 01 83 03"});
        row("write frame one byte long", {"01 06 0A03 2710 00 -> 01 86 03"});

        row("scale written and read back",
            {"01 06 0A03 1388 -> echo", "01 03 0003 0001 -> 01 03 02 1388"});
        row("every parameter written and read back",
            {"01 06 0A03 0001 -> echo", "01 06 0A04 0002 -> echo", "01 06 0A05 0003 -> echo",
             "01 06 0A06 0004 -> echo", "01 06 0A07 0005 -> echo",
             "01 03 0003 0005 -> 01 03 0A 0001 0002 0003 0004 0005"});
        row("negative offset kept as two's complement",
            {"01 06 0A04 FF9C -> echo", "01 04 0004 0001 -> 01 04 02 FF9C"});
        row("write just below the parameters",
            {"01 06 0A02 0001 -> 01 86 02", "01 03 0000 0008 -> 01 03 " + all});
        row("write just above the parameters", {"01 06 0A08 0001 -> 01 86 02"});
        row("write to a read address", {"01 06 0003 0001 -> 01 86 02"});

        row("address change: echo from the old address, then only the new one answers",
            {"01 06 0B00 0005 -> echo", "01 03 0001 0001 -> -", "05 03 0001 0001 -> 05 03 02 092E",
             "FA 25 0200 0001 -> FA 25 01 05"});
        row("address 247 accepted",
            {"01 06 0B00 00F7 -> echo", "F7 03 0001 0001 -> F7 03 02 092E"});
        row("address 0 refused, station unchanged",
            {"01 06 0B00 0000 -> 01 86 03", "01 03 0001 0001 -> 01 03 02 092E"});
        row("address 248 refused, station unchanged",
            {"01 06 0B00 00F8 -> 01 86 03", "01 03 0001 0001 -> 01 03 02 092E"});

        row("address read, the exact frame",
            {"raw FA 25 02 00 00 01 99 FE -> raw FA 25 01 01 E1 67"});
        row("station 250 with another function is not the sensor", {"FA 03 0000 0001 -> -"});

        row("broadcast write applied without an answer",
            {"00 06 0A03 1388 -> -", "01 03 0003 0001 -> 01 03 02 1388"});
        row("broadcast address change",
            {"00 06 0B00 0009 -> -", "09 03 0001 0001 -> 09 03 02 092E"});
        row("broadcast read ignored", {"00 03 0000 0001 -> -"});
        row("broadcast of a bad write stays silent and changes nothing",
            {"00 06 0B00 0000 -> -", "01 03 0001 0001 -> 01 03 02 092E"});

        row("bad CRC ignored", {"raw 01 03 00 00 00 01 84 0B -> -"});
        row("CRC with its bytes swapped ignored", {"raw 01 03 00 00 00 01 0A 84 -> -"});
        row("bad CRC on a write changes nothing",
            {"raw 01 06 0A 03 13 88 00 00 -> -", "01 03 0003 0001 -> 01 03 02 2710"});
        row("another station ignored", {"02 03 0000 0001 -> -"});
        row("too short to be a frame", {"raw 01 03 -> -"});
    }
    void exchanges() {
        QFETCH(QStringList, script);
        sim::Sensor sensor(1);
        sensor.fixLux(kFixedLux);
        for (const QString& text : script) {
            const Step step = parseStep(text);
            const sim::Outcome outcome = sensor.handle(toBytes(step.request), 0.0);
            QVERIFY2(fromBytes(outcome.answer) == step.answer,
                     qPrintable(text + " gave " + fromBytes(outcome.answer).toHex(' ')));
            // Faults strike only requests meant for the sensor, and those always get an answer.
            QCOMPARE(outcome.addressed, !step.answer.isEmpty());
            QVERIFY(!outcome.action.empty());
        }
    }

    // -----------------------------------------------------------------------------------------
    // Several sensors on one line, with the faults of the options: what comes back on the line
    // for each request, echo first. Each script starts from the sensors the arguments place.

    void bus_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("script");
        const QStringList three{"--station", "1,2,3", "--lux", "100,200,300"};
        const QStringList two{"--station", "1,2", "--lux", "100,200"};
        const QString query = QStringLiteral("FA 25 0200 0001");

        QTest::newRow("each station answers with its own reading")
            << three
            << QStringList{"01 03 0000 0001 -> 01 03 02 000A", "02 04 0000 0001 -> 02 04 02 0014",
                           "03 03 0000 0002 -> 03 03 04 001E 092E", "04 03 0000 0001 -> -"};
        QTest::newRow("one reading for every sensor")
            << QStringList{"--station", "7,9", "--lux", "12340"}
            << QStringList{"07 03 0000 0001 -> 07 03 02 04D2", "09 03 0000 0001 -> 09 03 02 04D2"};
        QTest::newRow("parameters are each sensor's own")
            << two
            << QStringList{"01 06 0A03 1388 -> echo", "02 03 0003 0001 -> 02 03 02 2710",
                           "01 03 0003 0001 -> 01 03 02 1388", "01 03 0000 0001 -> 01 03 02 0005"};
        QTest::newRow("an address change moves only the sensor asked")
            << three
            << QStringList{"02 06 0B00 0005 -> echo", "02 03 0000 0001 -> -",
                           "05 03 0000 0001 -> 05 03 02 0014", "01 03 0000 0001 -> 01 03 02 000A",
                           "03 03 0000 0001 -> 03 03 02 001E"};
        QTest::newRow("a broadcast reaches every sensor, unanswered")
            << two
            << QStringList{"00 06 0A03 1388 -> -", "01 03 0003 0001 -> 01 03 02 1388",
                           "02 03 0003 0001 -> 02 03 02 1388"};
        QTest::newRow("a muted sensor never answers")
            << three + QStringList{"--mute", "2"}
            << QStringList{"02 03 0000 0001 -> -", "02 06 0A03 1388 -> -",
                           "01 03 0000 0001 -> 01 03 02 000A"};
        QTest::newRow("the address query collides: the answers ORed fail their CRC")
            << two << QStringList{query + " -> raw FA 25 01 03 E1 67"};
        QTest::newRow("three answers to the address query")
            << three << QStringList{query + " -> raw FA 25 01 03 E1 E7"};
        QTest::newRow("muted sensors stay out of the address query")
            << three + QStringList{"--mute", "2,3"} << QStringList{query + " -> FA 25 01 01"};
        QTest::newRow("once one sensor moved, the others still collide with it")
            << two << QStringList{"02 06 0B00 0003 -> echo", query + " -> raw FA 25 01 03 E1 E7"};
        QTest::newRow("two sensors at one address collide on a read")
            << QStringList{"--station", "1,1", "--lux", "100,200"}
            << QStringList{"01 03 0000 0001 -> raw 01 03 02 00 1E B8 4B"};
        QTest::newRow("identical answers still collide: the CRC is spoiled")
            << QStringList{"--station", "1,1", "--lux", "100"}
            << QStringList{"01 03 0000 0001 -> raw 01 03 02 00 0A C7 BC"};
        QTest::newRow("echo: the request comes back before the answer")
            << two + QStringList{"--fault", "echo"}
            << QStringList{"raw 01 03 00 00 00 01 84 0A -> raw 01 03 00 00 00 01 84 0A "
                           "01 03 02 00 0A 38 43"};
        QTest::newRow("echo of requests nobody answers")
            << two + QStringList{"--fault", "echo"}
            << QStringList{"05 03 0000 0001 -> echo", "00 06 0A03 1388 -> echo",
                           "raw 01 03 00 -> echo"};
        QTest::newRow("echo of every 2nd request heard")
            << two + QStringList{"--fault", "echo", "--fault-every", "2"}
            << QStringList{"05 03 0000 0001 -> -",
                           "raw 01 03 00 00 00 01 84 0A -> raw 01 03 00 00 00 01 84 0A "
                           "01 03 02 00 0A 38 43",
                           "01 03 0000 0001 -> 01 03 02 000A"};
        QTest::newRow("faults strike the collision too")
            << two + QStringList{"--fault", "exception"}
            << QStringList{query + " -> FA A5 04", "01 03 0000 0001 -> 01 83 04"};
    }
    void bus() {
        QFETCH(QStringList, args);
        QFETCH(QStringList, script);
        const sim::ParsedArguments parsed =
            sim::parseArguments(standardArgs(QStringList{"--link", "/tmp/a"} + args));
        QVERIFY2(parsed.options, parsed.error.c_str());
        sim::Responder responder(*parsed.options, 1);
        for (const QString& text : script) {
            const Step step = parseStep(text);
            const sim::Response r = responder.respond(toBytes(step.request), 0.0);
            const QByteArray line = fromBytes(r.echo) + (r.send ? fromBytes(r.answer) : "");
            QVERIFY2(line == step.answer, qPrintable(text + " gave " + line.toHex(' ')));
            QVERIFY(!r.heard.empty());
        }
    }

    // What the log says of the requests several sensors hear.
    void busLog() {
        const std::uint8_t stations[] = {1, 2, 3};
        const std::uint8_t mute[] = {3};
        sim::Bus bus(stations, mute);
        const auto heard = [&bus](const char* hex) {
            return QString::fromStdString(bus.handle(toBytes(withCrc(hex)), 0).action);
        };
        const sim::BusOutcome query = bus.handle(toBytes(withCrc("FA 25 0200 0001")), 0);
        QCOMPARE(query.answering, 2);
        QCOMPARE(QString::fromStdString(query.answerNote), "collision of 2 answers");
        QCOMPARE(heard("02 03 0000 0001"), "station 2: read 1 register from 0 (function 3)");
        QCOMPARE(heard("03 03 0000 0001"), "ignored: station 3 is mute");
        QCOMPARE(heard("09 03 0000 0001"), "ignored: for station 9");
        QCOMPARE(heard("00 06 0B00 0009"), "broadcast: station 1 -> 9; broadcast: station 2 -> 9");
    }

    // -----------------------------------------------------------------------------------------
    // Requests in a TCP stream.

    void rtuRequestLength_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("length"); // -1: cannot tell
        QTest::newRow("nothing yet") << QByteArray() << -1;
        QTest::newRow("station alone") << QByteArray::fromHex("01") << -1;
        QTest::newRow("read") << QByteArray::fromHex("01 03") << 8;
        QTest::newRow("input read") << QByteArray::fromHex("01 04 00") << 8;
        QTest::newRow("write") << QByteArray::fromHex("01 06") << 8;
        QTest::newRow("address query") << QByteArray::fromHex("FA 25 02 00") << 8;
        QTest::newRow("write multiple before its byte count")
            << QByteArray::fromHex("01 10 0A 03 00 02") << -1;
        QTest::newRow("write multiple: byte count 4")
            << QByteArray::fromHex("01 10 0A 03 00 02 04") << 13;
        QTest::newRow("read and write: byte count 2")
            << QByteArray::fromHex("01 17 00 00 00 01 00 00 00 01 02") << 15;
        QTest::newRow("unknown function") << QByteArray::fromHex("01 41 00 00") << -1;
        QTest::newRow("diagnostics counter") << QByteArray::fromHex("01 0B") << 4;
    }
    void rtuRequestLength() {
        QFETCH(QByteArray, stream);
        const auto length = sim::rtuRequestLength(toBytes(stream));
        QTEST(length ? int(*length) : -1, "length");
    }

    void mbapFrames_data() {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("state"); // 0 incomplete, 1 bad, 2 complete
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << QByteArray() << 0 << 0;
        QTest::newRow("header in part") << QByteArray::fromHex("12 34 00 00 00") << 0 << 0;
        QTest::newRow("PDU in part") << QByteArray::fromHex("12 34 00 00 00 06 01 03 00") << 0 << 0;
        QTest::newRow("read, whole")
            << QByteArray::fromHex("12 34 00 00 00 06 01 03 00 00 00 01") << 2 << 12;
        QTest::newRow("read and the start of the next")
            << QByteArray::fromHex("12 34 00 00 00 06 01 03 00 00 00 01 12 35") << 2 << 12;
        QTest::newRow("protocol id 1") << QByteArray::fromHex("12 34 00 01") << 1 << 0;
        QTest::newRow("length 1: no function")
            << QByteArray::fromHex("12 34 00 00 00 01") << 1 << 0;
        QTest::newRow("length 254, the largest")
            << QByteArray::fromHex("00 01 00 00 00 FE") << 0 << 0;
        QTest::newRow("length 255") << QByteArray::fromHex("00 01 00 00 00 FF") << 1 << 0;
        QTest::newRow("RTU bytes are not MBAP")
            << QByteArray::fromHex("01 03 00 00 00 01 84 0A") << 1 << 0;
    }
    void mbapFrames() {
        QFETCH(QByteArray, stream);
        const sim::MbapFrame frame = sim::mbapFrame(toBytes(stream));
        QTEST(int(frame.state), "state");
        QTEST(int(frame.length), "length");
    }

    void mbapConversions() {
        const sim::Bytes request =
            toBytes(QByteArray::fromHex("AB CD 00 00 00 06 02 03 00 00 00 01"));
        QCOMPARE(sim::mbapTransaction(request), std::uint16_t(0xABCD));
        QCOMPARE(fromBytes(sim::mbapToRtu(request)), withCrc("02 03 0000 0001"));
        const auto reply = sim::rtuToMbap(0xABCD, toBytes(withCrc("02 03 02 04D2")));
        QVERIFY(reply);
        QCOMPARE(fromBytes(*reply).toHex(' '), QByteArray("ab cd 00 00 00 05 02 03 02 04 d2"));
        QVERIFY(!sim::rtuToMbap(1, toBytes(QByteArray::fromHex("02 03 02 04 D2 00 00"))));
        QVERIFY(!sim::rtuToMbap(1, toBytes(withCrc("02"))));
        QCOMPARE(
            fromBytes(sim::mbapException(0x0102, 9, 0x03, sim::kGatewayTargetFailed)).toHex(' '),
            QByteArray("01 02 00 00 00 03 09 83 0b"));
    }

    void illuminance_data() {
        QTest::addColumn<int>("lux");
        QTest::addColumn<int>("scale");
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("reading");
        QTest::newRow("as measured") << 12340 << 10000 << 0 << 1234;
        QTest::newRow("lx below 10 dropped") << 12349 << 10000 << 0 << 1234;
        QTest::newRow("halved") << 12340 << 5000 << 0 << 617;
        QTest::newRow("half rounds up") << 12350 << 5000 << 0 << 618;
        QTest::newRow("one and a half") << 12340 << 15000 << 0 << 1851;
        QTest::newRow("scale 0") << 12340 << 0 << 0 << 0;
        QTest::newRow("offset up") << 12340 << 10000 << 100 << 1334;
        QTest::newRow("offset down") << 12340 << 10000 << -100 << 1134;
        QTest::newRow("offset after the scale") << 12340 << 5000 << -100 << 517;
        QTest::newRow("clamped at 0") << 12340 << 10000 << -2000 << 0;
        QTest::newRow("clamped at 65535 by the scale") << 655350 << 20000 << 0 << 65535;
        QTest::newRow("clamped at 65535 by the offset") << 655350 << 10000 << 1 << 65535;
        QTest::newRow("largest scale") << 10000 << 65535 << 0 << 6554;
    }
    void illuminance() {
        QFETCH(int, lux);
        QFETCH(int, scale);
        QFETCH(int, offset);
        QFETCH(int, reading);
        sim::Sensor sensor(1);
        sensor.fixLux(static_cast<std::uint32_t>(lux));
        const auto write = [&](int address, int value) {
            const auto request = sim::withCrc({0x01, 0x06, static_cast<std::uint8_t>(address >> 8),
                                               static_cast<std::uint8_t>(address & 0xFF),
                                               static_cast<std::uint8_t>((value >> 8) & 0xFF),
                                               static_cast<std::uint8_t>(value & 0xFF)});
            return sensor.handle(request, 0.0).answer == request;
        };
        QVERIFY(write(0x0A03, scale));
        QVERIFY(write(0x0A04, offset));
        const sim::Outcome read = sensor.handle(sim::withCrc({0x01, 0x03, 0, 0, 0, 1}), 0.0);
        QCOMPARE(fromBytes(read.answer),
                 fromBytes(sim::withCrc({0x01, 0x03, 0x02, static_cast<std::uint8_t>(reading >> 8),
                                         static_cast<std::uint8_t>(reading & 0xFF)})));
    }

    void illuminanceDriftsSlowly() {
        const sim::Sensor sensor(1);
        std::uint16_t low = 65535, high = 0, previous = sensor.registerValue(0, 0.0);
        for (int second = 0; second <= 2 * 3600; ++second) {
            const std::uint16_t value = sensor.registerValue(0, second);
            low = std::min(low, value);
            high = std::max(high, value);
            QVERIFY2(std::abs(value - previous) <= 5, qPrintable(QString::number(second)));
            previous = value;
        }
        // Within the default 20000 lx range, and visibly moving.
        QVERIFY2(low >= 100 && high <= 2000,
                 qPrintable(QStringLiteral("%1-%2").arg(low).arg(high)));
        QVERIFY(high - low >= 100);
    }

    void faults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("extraDelayMs");
        const QByteArray read = withCrc("01 03 02 04D2");
        const QByteArray echo = withCrc("01 06 0A03 1388");
        QTest::newRow("none") << "none" << read << true << read << 0;
        QTest::newRow("silent") << "silent" << read << false << QByteArray() << 0;
        QTest::newRow("bad-crc inverts both CRC bytes")
            << "bad-crc" << read << true << QByteArray::fromHex("01 03 02 04 D2 C5 26") << 0;
        QTest::newRow("short drops the last 3 bytes")
            << "short" << read << true << QByteArray::fromHex("01 03 02 04") << 0;
        QTest::newRow("exception on a read")
            << "exception" << read << true << withCrc("01 83 04") << 0;
        QTest::newRow("exception on a write")
            << "exception" << echo << true << withCrc("01 86 04") << 0;
        QTest::newRow("exception on the address read")
            << "exception" << withCrc("FA 25 01 01") << true << withCrc("FA A5 04") << 0;
        QTest::newRow("slow keeps the bytes") << "slow:250" << echo << true << echo << 250;
    }
    void faults() {
        QFETCH(QString, fault);
        QFETCH(QByteArray, answer);
        QFETCH(bool, sent);
        QFETCH(QByteArray, bytes);
        QFETCH(int, extraDelayMs);
        const auto parsed = sim::parseFault(fault.toStdString());
        QVERIFY(parsed);
        sim::FaultInjector injector(*parsed, 1, 1);
        const sim::Delivery d = injector.deliver(toBytes(answer));
        QCOMPARE(d.send, sent);
        QCOMPARE(fromBytes(d.bytes), bytes);
        QCOMPARE(d.extraDelayMs, extraDelayMs);
        QCOMPARE(d.note.empty(), fault == QLatin1String("none"));
    }

    void garbageKeepsTheLength() {
        sim::FaultInjector injector({sim::FaultKind::garbage, 0}, 1, 7);
        const sim::Bytes answer =
            toBytes(withCrc("01 03 10 04D2 092E 1194 2710 0000 02BC 0FA0 4E20"));
        const sim::Delivery first = injector.deliver(answer);
        const sim::Delivery second = injector.deliver(answer);
        QVERIFY(first.send);
        QCOMPARE(first.bytes.size(), answer.size());
        QVERIFY(first.bytes != answer);
        QVERIFY(first.bytes != second.bytes);
        QVERIFY(!sim::crcMatches(first.bytes));
    }

    // A sensor that acknowledges a parameter it does not keep: the echo repeats the write, the
    // register holds another value. The station address is no parameter and is kept as sent.
    void writeSkew() {
        sim::Sensor sensor;
        sensor.skewWrites(1);
        const QByteArray scale = withCrc("01 06 0A03 3039");
        QCOMPARE(fromBytes(sensor.handle(toBytes(scale), 0).answer), scale);
        QCOMPARE(sensor.registerValue(3, 0), std::uint16_t(12346));
        sensor.skewWrites(-1);
        const sim::Outcome offset = sensor.handle(toBytes(withCrc("01 06 0A04 0000")), 0);
        QCOMPARE(sensor.registerValue(4, 0), std::uint16_t(65535));
        QVERIFY2(offset.action.find("stored 65535") != std::string::npos, offset.action.c_str());
        sensor.handle(toBytes(withCrc("01 06 0B00 0007")), 0);
        QCOMPARE(int(sensor.station()), 7);
    }

    void faultEvery_data() {
        QTest::addColumn<int>("every");
        QTest::addColumn<QString>("struck"); // one mark per request, x where the fault strikes
        QTest::newRow("every request") << 1 << "xxxxxxx";
        QTest::newRow("every 2nd") << 2 << ".x.x.x.";
        QTest::newRow("every 3rd") << 3 << "..x..x.";
        QTest::newRow("later than the run") << 10 << ".......";
    }
    void faultEvery() {
        QFETCH(int, every);
        QFETCH(QString, struck);
        sim::FaultInjector injector({sim::FaultKind::silent, 0}, static_cast<unsigned>(every), 1);
        QString seen;
        for (int i = 0; i < struck.size(); ++i)
            seen += injector.deliver(toBytes(withCrc("01 03 02 04D2"))).send ? '.' : 'x';
        QCOMPARE(seen, struck);
    }

    void arguments_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("station");
        QTest::addColumn<int>("lux"); // -1: drifting
        QTest::addColumn<bool>("pace");
        QTest::addColumn<int>("delay");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("every");
        QTest::newRow("kDefaults") << QStringList{"--link", "/tmp/a"} << "/tmp/a" << 9600 << 1 << -1
                                   << false << 5 << "none" << 1;
        QTest::newRow("everything")
            << QStringList{"--port", "/dev/ttyS0", "--baud",   "19200",         "--station",
                           "247",    "--lux",      "0",        "--pace",        "--delay",
                           "0",      "--fault",    "slow:250", "--fault-every", "3"}
            << "/dev/ttyS0" << 19200 << 247 << 0 << true << 0 << "slow:250" << 3;
        QTest::newRow("name=value and the largest values")
            << QStringList{"--link=/tmp/b", "--baud=230400", "--lux=655350", "--fault=short"}
            << "/tmp/b" << 230400 << 1 << 655350 << false << 5 << "short" << 1;
    }
    void arguments() {
        QFETCH(QStringList, args);
        std::vector<std::string> list;
        for (const QString& a : args)
            list.push_back(a.toStdString());
        const sim::ParsedArguments parsed = sim::parseArguments(list);
        QVERIFY2(parsed.options, parsed.error.c_str());
        const sim::Options& o = *parsed.options;
        QTEST(QString::fromStdString(o.link.empty() ? o.port : o.link), "device");
        QTEST(o.baud, "baud");
        QTEST(int(o.stations.front()), "station");
        QTEST(o.lux.empty() ? -1 : int(o.lux.front()), "lux");
        QTEST(o.pace, "pace");
        QTEST(o.delayMs, "delay");
        QTEST(QString::fromStdString(sim::faultName(o.fault)), "fault");
        QTEST(int(o.faultEvery), "every");
    }

    void stationsAndListenArguments() {
        const auto parse = [](const QStringList& args) {
            return sim::parseArguments(standardArgs(args));
        };
        const sim::ParsedArguments bus = parse(
            {"--link", "/tmp/a", "--station", "1,2,247", "--mute", "2", "--lux", "0,5,655350"});
        QVERIFY2(bus.options, bus.error.c_str());
        QCOMPARE(bus.options->stations, (std::vector<std::uint8_t>{1, 2, 247}));
        QCOMPARE(bus.options->mute, std::vector<std::uint8_t>{2});
        QCOMPARE(bus.options->lux, (std::vector<std::uint32_t>{0, 5, 655350}));
        QVERIFY(!bus.options->listenHost);

        const sim::ParsedArguments port = parse({"--listen", "0"});
        QVERIFY2(port.options, port.error.c_str());
        QCOMPARE(*port.options->listenHost, std::string("127.0.0.1"));
        QCOMPARE(port.options->listenPort, std::uint16_t(0));
        QVERIFY(port.options->framing == sim::Framing::rtu);
        const sim::ParsedArguments v6 =
            parse({"--listen", "[::1]:1502", "--framing", "mbap", "--absent-silent"});
        QVERIFY2(v6.options, v6.error.c_str());
        QCOMPARE(*v6.options->listenHost, std::string("::1"));
        QCOMPARE(v6.options->listenPort, std::uint16_t(1502));
        QVERIFY(v6.options->framing == sim::Framing::mbap);
        QVERIFY(v6.options->absentSilent);
        const sim::ParsedArguments host = parse({"--listen=127.0.0.2:65535", "--fault", "echo"});
        QVERIFY2(host.options, host.error.c_str());
        QCOMPARE(*host.options->listenHost, std::string("127.0.0.2"));
        QCOMPARE(host.options->listenPort, std::uint16_t(65535));
    }

    void refusedArguments_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        QTest::newRow("station list with a 0")
            << QStringList{"--link", "/tmp/a", "--station", "1,0"} << "bad value";
        QTest::newRow("station list with an empty item")
            << QStringList{"--link", "/tmp/a", "--station", "1,,2"} << "bad value";
        QTest::newRow("station list ending in a comma")
            << QStringList{"--link", "/tmp/a", "--station", "1,"} << "bad value";
        QTest::newRow("mute of a station without a sensor")
            << QStringList{"--link", "/tmp/a", "--station", "1,2", "--mute", "3"}
            << "no sensor at that station";
        QTest::newRow("readings for another number of stations")
            << QStringList{"--link", "/tmp/a", "--station", "1,2,3", "--lux", "1,2"}
            << "2 readings for 3 stations";
        QTest::newRow("listen and link")
            << QStringList{"--link", "/tmp/a", "--listen", "0"} << "exactly one";
        QTest::newRow("listen at a name")
            << QStringList{"--listen", "localhost:502"} << "bad value";
        QTest::newRow("listen with IPv6 unbracketed")
            << QStringList{"--listen", "::1:502"} << "bad value";
        QTest::newRow("listen at port 65536") << QStringList{"--listen", "65536"} << "bad value";
        QTest::newRow("listen without a port")
            << QStringList{"--listen", "127.0.0.1:"} << "bad value";
        QTest::newRow("framing without listen")
            << QStringList{"--link", "/tmp/a", "--framing", "rtu"} << "--framing needs --listen";
        QTest::newRow("unknown framing")
            << QStringList{"--listen", "0", "--framing", "ascii"} << "rtu or mbap";
        QTest::newRow("absent-silent with rtu framing")
            << QStringList{"--listen", "0", "--absent-silent"} << "--framing mbap";
        QTest::newRow("strict baud over TCP")
            << QStringList{"--listen", "0", "--strict-baud"} << "serial line";
        QTest::newRow("echo through a gateway")
            << QStringList{"--listen", "0", "--framing", "mbap", "--fault", "echo"}
            << "--fault echo needs";
    }
    void refusedArguments() {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        const sim::ParsedArguments parsed = sim::parseArguments(standardArgs(args));
        QVERIFY(!parsed.options);
        QVERIFY2(QString::fromStdString(parsed.error).contains(error), parsed.error.c_str());
    }

    void strictBaudAndWriteSkewArguments() {
        const std::vector<std::string> args{"--link", "/tmp/a", "--strict-baud", "--write-skew",
                                            "-3"};
        const sim::ParsedArguments parsed = sim::parseArguments(args);
        QVERIFY2(parsed.options, parsed.error.c_str());
        QVERIFY(parsed.options->strictBaud);
        QCOMPARE(parsed.options->writeSkew, -3);
        const sim::ParsedArguments defaults =
            sim::parseArguments(std::vector<std::string>{"--link", "/tmp/a"});
        QVERIFY(!defaults.options->strictBaud);
        QCOMPARE(defaults.options->writeSkew, 0);
    }

    void lineTiming_data() {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("characterUs");
        QTest::addColumn<int>("silenceUs");
        QTest::newRow("1200") << 1200 << 8333 << 29166;
        QTest::newRow("9600") << 9600 << 1041 << 3645;
        QTest::newRow("19200: 3.5 characters would be under 2 ms") << 19200 << 520 << 2000;
        QTest::newRow("115200") << 115200 << 86 << 2000;
    }
    void lineTiming() {
        QFETCH(int, baud);
        QTEST(int(sim::characterTime(baud).count()), "characterUs");
        QTEST(int(sim::frameSilence(baud).count()), "silenceUs");
    }
};

QTEST_MAIN(TestSensor)
#include "test_sensor.moc"
