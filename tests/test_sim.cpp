// The simulated sensor: its logic byte for byte, then the qf7320-sim program on a
// pseudo-terminal, seen through libmodbus and through plain reads and writes.

#include "sim/fault.h"
#include "sim/options.h"
#include "sim/sensor.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <modbus.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

sim::Bytes toBytes(const QByteArray& data) {
    return sim::Bytes(data.begin(), data.end());
}
QByteArray fromBytes(const sim::Bytes& data) {
    return QByteArray(reinterpret_cast<const char*>(data.data()),
                      static_cast<qsizetype>(data.size()));
}
QByteArray withCrc(const char* hex) {
    return fromBytes(sim::withCrc(toBytes(QByteArray::fromHex(hex))));
}

// One exchange written as "REQUEST -> ANSWER". Hex without CRC gets its CRC appended; "raw "
// before the hex sends or expects the bytes exactly as written; "-" is no answer; "echo" is the
// request itself.
struct Step {
    QByteArray request;
    QByteArray answer;
};

QByteArray frameText(const QString& text, const QByteArray& request) {
    const QString t = text.trimmed();
    if (t == QLatin1String("-"))
        return {};
    if (t == QLatin1String("echo"))
        return request;
    if (t.startsWith(QLatin1String("raw ")))
        return QByteArray::fromHex(t.mid(4).toLatin1());
    return withCrc(t.toLatin1().constData());
}

Step parseStep(const QString& text) {
    const QStringList parts = text.split(QStringLiteral("->"));
    Q_ASSERT(parts.size() == 2);
    Step step;
    step.request = frameText(parts[0], {});
    step.answer = frameText(parts[1], step.request);
    return step;
}

// The defaults with a fixed 12340 lx: register 0 reads 1234.
constexpr std::uint32_t fixedLux = 12340;
const QList<quint16> defaults{1234, 2350, 4500, 10000, 0, 700, 4000, 20000};

// ---------------------------------------------------------------------------------------------
// The running program.

// qf7320-sim on a pseudo-terminal linked from a temporary directory, with its log.
class SimProcess {
public:
    QTemporaryDir dir;
    QProcess process;
    QString link = dir.filePath(QStringLiteral("COM1"));
    QString device; // the slave device the link points to
    QByteArray log;

    ~SimProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    // Starts with the link and the extra arguments, and waits until it says it is ready.
    bool start(const QStringList& extra, const QString& linkPath = {}) {
        if (!launch(QStringList{QStringLiteral("--link"), linkPath.isEmpty() ? link : linkPath} +
                    extra))
            return false;
        const auto match =
            QRegularExpression(QStringLiteral(" -> (\\S+) at ")).match(QString::fromUtf8(log));
        device = match.captured(1);
        return match.hasMatch();
    }

    // Starts with exactly these arguments and waits until it says it is ready.
    bool launch(const QStringList& args) {
        process.start(QStringLiteral(QF_SIM_PATH), args);
        return process.waitForStarted(5000) && waitForLog("ready on");
    }

    // Reads the log until text has appeared `times` times, or gives up after ms.
    bool waitForLog(const QByteArray& text, int times = 1, int ms = 5000) {
        QDeadlineTimer deadline(ms);
        for (;;) {
            log += process.readAllStandardOutput();
            if (log.count(text) >= times)
                return true;
            if (deadline.hasExpired() ||
                !process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
                break;
        }
        log += process.readAllStandardOutput();
        return log.count(text) >= times;
    }

    // Sends the signal and waits for the end.
    bool stop(int signal = SIGTERM) {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        const bool finished = process.waitForFinished(10000);
        log += process.readAllStandardOutput();
        return finished;
    }

    // User plus system time used so far, in clock ticks.
    long long cpuTicks() const {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        // After the command name in parentheses: state is field 3, utime 14 and stime 15.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
    }
};

// A client that talks to the line with plain reads and writes.
class RawPort {
public:
    explicit RawPort(const QString& path) {
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~RawPort() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    bool write(const QByteArray& data) {
        return ::write(fd_, data.constData(), static_cast<size_t>(data.size())) == data.size();
    }
    // Reads until count bytes have come, or ms have passed.
    QByteArray read(qsizetype count, int ms = 3000) {
        QByteArray data;
        QDeadlineTimer deadline(ms);
        while (data.size() < count && !deadline.hasExpired()) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(
                fd_, buffer, static_cast<size_t>(std::min<qsizetype>(count - data.size(), 256)));
            if (n > 0)
                data.append(buffer, n);
        }
        return data;
    }

private:
    int fd_ = -1;
};

struct ModbusFree {
    void operator()(modbus_t* ctx) const {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using Modbus = std::unique_ptr<modbus_t, ModbusFree>;

// A libmodbus RTU master on the path, connected, with a one-second response timeout.
Modbus connectMaster(const QString& path, int station = 1, int baud = 9600) {
    Modbus ctx(modbus_new_rtu(QFile::encodeName(path).constData(), baud, 'N', 8, 1));
    if (!ctx || modbus_set_slave(ctx.get(), station) != 0 ||
        modbus_set_response_timeout(ctx.get(), 1, 0) != 0 || modbus_connect(ctx.get()) != 0)
        return nullptr;
    return ctx;
}

QList<quint16> readRegisters(modbus_t* ctx, int function, int start, int count) {
    std::vector<std::uint16_t> values(static_cast<std::size_t>(count));
    const int rc = function == 4 ? modbus_read_input_registers(ctx, start, count, values.data())
                                 : modbus_read_registers(ctx, start, count, values.data());
    if (rc != count)
        return {};
    return QList<quint16>(values.begin(), values.end());
}

QString modbusError() {
    return QString::fromUtf8(modbus_strerror(errno));
}

} // namespace

class TestSim : public QObject {
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
        sensor.fixLux(fixedLux);
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
        QTest::newRow("defaults") << QStringList{"--link", "/tmp/a"} << "/tmp/a" << 9600 << 1 << -1
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
        QTEST(int(o.station), "station");
        QTEST(o.lux ? int(*o.lux) : -1, "lux");
        QTEST(o.pace, "pace");
        QTEST(o.delayMs, "delay");
        QTEST(QString::fromStdString(sim::faultName(o.fault)), "fault");
        QTEST(int(o.faultEvery), "every");
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

    // -----------------------------------------------------------------------------------------
    // The program, with libmodbus as an independent master.

    void libmodbusReadsDefaults_data() {
        QTest::addColumn<int>("function");
        QTest::newRow("function 3") << 3;
        QTest::newRow("function 4") << 4;
    }
    void libmodbusReadsDefaults() {
        QFETCH(int, function);
        SimProcess sim;
        QVERIFY2(sim.start({"--lux", QString::number(fixedLux)}), sim.log);
        const Modbus master = connectMaster(sim.link);
        QVERIFY2(master, qPrintable(modbusError()));
        QCOMPARE(readRegisters(master.get(), function, 0, 8), defaults);
        QCOMPARE(readRegisters(master.get(), function, 7, 1), QList<quint16>{20000});
    }

    void libmodbusReadsDriftingIlluminance() {
        SimProcess sim;
        QVERIFY2(sim.start({}), sim.log);
        const Modbus master = connectMaster(sim.link);
        QVERIFY2(master, qPrintable(modbusError()));
        const QList<quint16> values = readRegisters(master.get(), 3, 0, 8);
        QVERIFY2(values.size() == 8, qPrintable(modbusError()));
        QVERIFY2(values[0] >= 100 && values[0] <= 2000, qPrintable(QString::number(values[0])));
        QCOMPARE(values.mid(1), defaults.mid(1));
    }

    void libmodbusWritesParameters() {
        SimProcess sim;
        QVERIFY2(sim.start({"--lux", QString::number(fixedLux)}), sim.log);
        const Modbus master = connectMaster(sim.link);
        QVERIFY2(master, qPrintable(modbusError()));
        QCOMPARE(readRegisters(master.get(), 3, 0, 1), QList<quint16>{1234});

        QVERIFY2(modbus_write_register(master.get(), 0x0A03, 5000) == 1, qPrintable(modbusError()));
        QCOMPARE(readRegisters(master.get(), 3, 3, 1), QList<quint16>{5000});
        QCOMPARE(readRegisters(master.get(), 4, 0, 1), QList<quint16>{617});

        QVERIFY2(modbus_write_register(master.get(), 0x0A04, 0xFF9C) == 1,
                 qPrintable(modbusError()));
        QCOMPARE(readRegisters(master.get(), 3, 0, 1), QList<quint16>{517});
        QVERIFY(sim.waitForLog("wrote 0x0A04=65436"));

        // A refused write shows as the exception libmodbus decodes.
        QCOMPARE(modbus_write_register(master.get(), 0x0A08, 1), -1);
        QCOMPARE(errno, EMBXILADD);
    }

    void libmodbusFollowsAddressChange() {
        SimProcess sim;
        QVERIFY2(sim.start({}), sim.log);
        const Modbus master = connectMaster(sim.link);
        QVERIFY2(master, qPrintable(modbusError()));
        QVERIFY2(modbus_write_register(master.get(), 0x0B00, 7) == 1, qPrintable(modbusError()));

        modbus_set_response_timeout(master.get(), 0, 300000);
        QCOMPARE(readRegisters(master.get(), 3, 1, 1), QList<quint16>{});
        QCOMPARE(errno, ETIMEDOUT);
        modbus_set_slave(master.get(), 7);
        QCOMPARE(readRegisters(master.get(), 3, 1, 1), QList<quint16>{2350});

        QCOMPARE(modbus_write_register(master.get(), 0x0B00, 248), -1);
        QCOMPARE(errno, EMBXILVAL);
    }

    // Requests 1 to every-1 are answered properly; request `every` shows the fault.
    void libmodbusSeesFaults_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("every");
        QTest::addColumn<int>("error"); // 0: read succeeds, -1: any error
        QTest::addColumn<int>("atLeastMs");
        QTest::newRow("silent: timeout") << "silent" << 1 << ETIMEDOUT << 0;
        QTest::newRow("bad-crc: CRC error") << "bad-crc" << 1 << EMBBADCRC << 0;
        QTest::newRow("short: timeout waiting for the rest") << "short" << 1 << ETIMEDOUT << 0;
        QTest::newRow("garbage: some error") << "garbage" << 1 << -1 << 0;
        QTest::newRow("exception: slave device failure") << "exception" << 1 << EMBXSFAIL << 0;
        QTest::newRow("slow past the timeout") << "slow:1500" << 1 << ETIMEDOUT << 0;
        QTest::newRow("slow within the timeout") << "slow:300" << 1 << 0 << 300;
        QTest::newRow("bad-crc on the 3rd request only") << "bad-crc" << 3 << EMBBADCRC << 0;
    }
    void libmodbusSeesFaults() {
        QFETCH(QString, fault);
        QFETCH(int, every);
        QFETCH(int, error);
        QFETCH(int, atLeastMs);
        SimProcess sim;
        QVERIFY2(sim.start({"--lux", QString::number(fixedLux), "--fault", fault, "--fault-every",
                            QString::number(every)}),
                 sim.log);
        const Modbus master = connectMaster(sim.link);
        QVERIFY2(master, qPrintable(modbusError()));
        std::uint16_t values[2] = {};
        for (int i = 1; i < every; ++i)
            QVERIFY2(modbus_read_registers(master.get(), 0, 2, values) == 2,
                     qPrintable(modbusError()));
        QElapsedTimer clock;
        clock.start();
        errno = 0;
        const int rc = modbus_read_registers(master.get(), 0, 2, values);
        const int seen = errno;
        if (error == 0) {
            QVERIFY2(rc == 2, qPrintable(modbusError()));
            QCOMPARE(values[0], 1234);
            QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
        } else {
            QCOMPARE(rc, -1);
            if (error > 0)
                QVERIFY2(seen == error, qPrintable(QString::fromUtf8(modbus_strerror(seen))));
        }
        QVERIFY2(sim.waitForLog(error == 0 ? "fault slow" : "fault "), sim.log);
    }

    void pacedAnswer_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("registers");
        QTest::addColumn<int>("atLeastMs");
        // 5 + 2 n bytes; the first leaves after the delay, each further one a character later.
        QTest::newRow("9600, 8 registers") << QStringList{"--pace"} << 9600 << 8 << 5 + 20;
        QTest::newRow("1200, 8 registers") << QStringList{"--pace"} << 1200 << 8 << 5 + 166;
        QTest::newRow("long delay") << QStringList{"--pace", "--delay", "200"} << 9600 << 1 << 206;
    }
    void pacedAnswer() {
        QFETCH(QStringList, args);
        QFETCH(int, baud);
        QFETCH(int, registers);
        QFETCH(int, atLeastMs);
        SimProcess sim;
        QVERIFY2(sim.start(args + QStringList{"--baud", QString::number(baud), "--lux",
                                              QString::number(fixedLux)}),
                 sim.log);
        const Modbus master = connectMaster(sim.link, 1, baud);
        QVERIFY2(master, qPrintable(modbusError()));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(readRegisters(master.get(), 3, 0, registers), defaults.mid(0, registers));
        QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
    }

    // -----------------------------------------------------------------------------------------
    // The program on the wire, with a plain client: what is answered, what is not, and the log.
    // After the script an address read follows; its answer coming first shows that nothing
    // else was sent.

    void wire_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QByteArray>("logged");
        const QStringList lux{"--lux", QString::number(fixedLux)};
        const QStringList faultOnSecond = lux + QStringList{"--fault-every", "2", "--fault"};
        const QString read = QStringLiteral("01 03 0000 0001 -> 01 03 02 04D2");

        QTest::newRow("read, logged with its bytes")
            << lux << QStringList{read}
            << QByteArray("rx 01 03 00 00 00 01 84 0A  read 1 register from 0 (function 3)");
        QTest::newRow("answer logged")
            << lux << QStringList{read} << QByteArray("tx 01 03 02 04 D2 3A D9  1 register");
        QTest::newRow("address read, the exact frame")
            << QStringList{} << QStringList{"raw FA 25 02 00 00 01 99 FE -> raw FA 25 01 01 E1 67"}
            << QByteArray("address read");
        QTest::newRow("address read at station 17")
            << QStringList{"--station", "17"} << QStringList{"FA 25 0200 0001 -> FA 25 01 11"}
            << QByteArray("tx FA 25 01 11");
        QTest::newRow("write echoed") << QStringList{} << QStringList{"01 06 0A03 1388 -> echo"}
                                      << QByteArray("wrote 0x0A03=5000");
        QTest::newRow("broadcast write applied, unanswered")
            << QStringList{}
            << QStringList{"00 06 0A03 1388 -> -", "01 03 0003 0001 -> 01 03 02 1388"}
            << QByteArray("broadcast: wrote 0x0A03=5000");
        QTest::newRow("bad CRC ignored")
            << QStringList{} << QStringList{"raw 01 03 00 00 00 01 0A 84 -> -"}
            << QByteArray("rx 01 03 00 00 00 01 0A 84  ignored: bad CRC");
        QTest::newRow("another station ignored")
            << QStringList{"--station", "3"} << QStringList{"01 03 0000 0001 -> -"}
            << QByteArray("ignored: for station 1");
        QTest::newRow("exception") << QStringList{} << QStringList{"01 03 0008 0001 -> 01 83 02"}
                                   << QByteArray("exception 02");
        QTest::newRow("fault silent")
            << faultOnSecond + QStringList{"silent"} << QStringList{read, "01 03 0000 0001 -> -"}
            << QByteArray("fault silent");
        QTest::newRow("fault bad-crc")
            << faultOnSecond + QStringList{"bad-crc"}
            << QStringList{read, "01 03 0000 0001 -> raw 01 03 02 04 D2 C5 26"}
            << QByteArray("fault bad-crc");
        QTest::newRow("fault short")
            << faultOnSecond + QStringList{"short"}
            << QStringList{read, "01 03 0000 0001 -> raw 01 03 02 04"} << QByteArray("fault short");
        QTest::newRow("fault exception")
            << faultOnSecond + QStringList{"exception"}
            << QStringList{read, "01 03 0000 0001 -> 01 83 04"} << QByteArray("fault exception");
        QTest::newRow("fault slow") << faultOnSecond + QStringList{"slow:50"}
                                    << QStringList{read, read} << QByteArray("fault slow:50");
    }
    void wire() {
        QFETCH(QStringList, args);
        QFETCH(QStringList, script);
        QFETCH(QByteArray, logged);
        SimProcess sim;
        QVERIFY2(sim.start(args), sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        // Each request waits for the one before to be taken in: back to back they would be
        // one frame.
        int requests = 0;
        for (const QString& text : script) {
            const Step step = parseStep(text);
            QVERIFY(port.write(step.request));
            QVERIFY2(sim.waitForLog(" rx ", ++requests), sim.log);
            if (!step.answer.isEmpty())
                QCOMPARE(port.read(step.answer.size()).toHex(' '), step.answer.toHex(' '));
        }
        QVERIFY2(sim.waitForLog(logged), sim.log);

        QVERIFY(port.write(QByteArray::fromHex("FA 25 02 00 00 01 99 FE")));
        const QByteArray next = port.read(6);
        QCOMPARE(next.left(3).toHex(' '), QByteArray("fa 25 01"));
        QVERIFY(sim::crcMatches(toBytes(next)));

        static const QRegularExpression line(QStringLiteral(
            "^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} (rx|tx) [0-9A-F]{2}( [0-9A-F]{2})*  \\S"));
        const QList<QByteArray> lines = sim.log.trimmed().split('\n');
        for (const QByteArray& l : lines.mid(1))
            QVERIFY2(line.match(QString::fromUtf8(l)).hasMatch(), l.constData());
    }

    // A request ends after 3.5 quiet character times: a longer pause splits it in two frames,
    // neither of them valid.
    void frameEndsAtSilence() {
        SimProcess sim;
        QVERIFY2(sim.start({}), sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        QVERIFY(port.write(QByteArray::fromHex("01 03 00 00")));
        QVERIFY2(sim.waitForLog("rx 01 03 00 00  ignored: bad CRC"), sim.log);
        QVERIFY(port.write(QByteArray::fromHex("00 01 84 0A")));
        QVERIFY2(sim.waitForLog("rx 00 01 84 0A  ignored: bad CRC"), sim.log);
        QVERIFY(port.write(QByteArray::fromHex("FA 25 02 00 00 01 99 FE")));
        QCOMPARE(port.read(6).toHex(' '), QByteArray("fa 25 01 01 e1 67"));
    }

    // At 1200 baud the silence is 29 ms: two writes in a row are one frame.
    void pieceswithinTheSilenceAreOneFrame() {
        SimProcess sim;
        QVERIFY2(sim.start({"--baud", "1200", "--lux", QString::number(fixedLux)}), sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        QVERIFY(port.write(QByteArray::fromHex("01 03 00 00")));
        QVERIFY(port.write(QByteArray::fromHex("00 01 84 0A")));
        QCOMPARE(port.read(7).toHex(' '), withCrc("01 03 02 04D2").toHex(' '));
    }

    // -----------------------------------------------------------------------------------------
    // The process contract.

    void badArguments_data() {
        QTest::addColumn<QStringList>("args"); // LINK stands for a path in a temporary directory
        QTest::newRow("no line") << QStringList{};
        QTest::newRow("link and port") << QStringList{"--link", "LINK", "--port", "/dev/null"};
        QTest::newRow("unknown option") << QStringList{"--link", "LINK", "--verbose"};
        QTest::newRow("stray word") << QStringList{"--link", "LINK", "9600"};
        QTest::newRow("value missing") << QStringList{"--link", "LINK", "--baud"};
        QTest::newRow("empty value") << QStringList{"--link", "LINK", "--station="};
        QTest::newRow("baud not offered") << QStringList{"--link", "LINK", "--baud", "12345"};
        QTest::newRow("baud not a number") << QStringList{"--link", "LINK", "--baud", "96OO"};
        QTest::newRow("station 0") << QStringList{"--link", "LINK", "--station", "0"};
        QTest::newRow("station 248") << QStringList{"--link", "LINK", "--station", "248"};
        QTest::newRow("station negative") << QStringList{"--link", "LINK", "--station", "-1"};
        QTest::newRow("lux too high") << QStringList{"--link", "LINK", "--lux", "655351"};
        QTest::newRow("delay negative") << QStringList{"--link", "LINK", "--delay", "-1"};
        QTest::newRow("unknown fault") << QStringList{"--link", "LINK", "--fault", "loud"};
        QTest::newRow("slow without time") << QStringList{"--link", "LINK", "--fault", "slow:"};
        QTest::newRow("slow with junk") << QStringList{"--link", "LINK", "--fault", "slow:5ms"};
        QTest::newRow("fault every 0") << QStringList{"--link", "LINK", "--fault-every", "0"};
        QTest::newRow("pace with a value") << QStringList{"--link", "LINK", "--pace=yes"};
    }
    void badArguments() {
        QFETCH(QStringList, args);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("COM1"));
        args.replaceInStrings(QStringLiteral("LINK"), link);
        QProcess process;
        process.start(QStringLiteral(QF_SIM_PATH), args);
        QVERIFY(process.waitForFinished(10000));
        const QByteArray err = process.readAllStandardError();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 2);
        QVERIFY2(err.contains("usage: "), err.constData());
        QVERIFY(process.readAllStandardOutput().isEmpty());
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void refusesLine_data() {
        QTest::addColumn<QStringList>("args"); // DIR stands for a temporary directory
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("port missing")
            << QStringList{"--port", "DIR/ttyNONE"} << QByteArray("ttyNONE");
        QTest::newRow("port not a terminal")
            << QStringList{"--port", "DIR/file"} << QByteArray("not a terminal");
        QTest::newRow("link in a missing directory")
            << QStringList{"--link", "DIR/none/COM1"} << QByteArray("symlink");
        QTest::newRow("link path taken by a file")
            << QStringList{"--link", "DIR/file"} << QByteArray("not a symbolic link");
    }
    void refusesLine() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, message);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep");
        file.close();
        args.replaceInStrings(QStringLiteral("DIR"), dir.path());
        QProcess process;
        process.start(QStringLiteral(QF_SIM_PATH), args);
        QVERIFY(process.waitForFinished(10000));
        const QByteArray err = process.readAllStandardError();
        QCOMPARE(process.exitCode(), 1);
        QVERIFY2(err.contains(message), err.constData());
        QVERIFY(QFileInfo(file.fileName()).isFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep"));
    }

    void stopsOnSignal_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void stopsOnSignal() {
        QFETCH(int, signal);
        SimProcess sim;
        QVERIFY2(sim.start({}), sim.log);
        QCOMPARE(QFileInfo(sim.link).symLinkTarget(), sim.device);
        QVERIFY(sim.stop(signal));
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
        QVERIFY(!QFileInfo(sim.link).isSymLink());
        QVERIFY(!QFileInfo::exists(sim.link));
    }

    void replacesStaleLink() {
        SimProcess sim;
        QVERIFY(QFile::link(QStringLiteral("/dev/pts/gone"), sim.link));
        QVERIFY2(sim.start({}), sim.log);
        QCOMPARE(QFileInfo(sim.link).symLinkTarget(), sim.device);
        QVERIFY(sim.stop());
        QVERIFY(!QFileInfo(sim.link).isSymLink());
    }

    // With --port the sensor serves a device someone else made: here the slave side of a
    // pseudo-terminal whose master this test holds.
    void servesAGivenPort() {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0);
        const auto closeMaster = qScopeGuard([master] { ::close(master); });
        QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
        termios t{};
        QVERIFY(tcgetattr(master, &t) == 0);
        cfmakeraw(&t);
        QVERIFY(tcsetattr(master, TCSANOW, &t) == 0);
        const QString slave = QString::fromLocal8Bit(ptsname(master));

        SimProcess sim;
        QVERIFY2(sim.launch({"--port", slave, "--station", "9"}), sim.log);
        QVERIFY2(sim.log.startsWith("ready on " + slave.toLocal8Bit() + " at 9600 baud, station 9"),
                 sim.log);
        const QByteArray request = QByteArray::fromHex("FA 25 02 00 00 01 99 FE");
        QCOMPARE(::write(master, request.constData(), 8), 8);
        QByteArray answer;
        QDeadlineTimer deadline(3000);
        while (answer.size() < 6 && !deadline.hasExpired()) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
                break;
            char buffer[16];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                answer.append(buffer, n);
        }
        QCOMPARE(answer.toHex(' '), withCrc("FA 25 01 09").toHex(' '));
        QVERIFY(sim.stop());
        QCOMPARE(sim.process.exitCode(), 0);
    }

    void helpShowsUsage() {
        QProcess process;
        process.start(QStringLiteral(QF_SIM_PATH), {"--help"});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        const QByteArray out = process.readAllStandardOutput();
        for (const char* option :
             {"--link PATH", "--port DEVICE", "--baud N", "--station N", "--lux N", "--pace",
              "--delay MS", "--fault MODE", "--fault-every N"})
            QVERIFY2(out.contains(option), option);
    }

    // A second sensor on the same name takes the link over; the first one leaves it alone
    // when it stops.
    void leavesAnotherSensorsLink() {
        SimProcess first;
        QVERIFY2(first.start({}), first.log);
        SimProcess second;
        QVERIFY2(second.start({}, first.link), second.log);
        QVERIFY(first.stop());
        QCOMPARE(QFileInfo(first.link).symLinkTarget(), second.device);
        QVERIFY(second.stop());
        QVERIFY(!QFileInfo(first.link).isSymLink());
    }

    // Clients come and go; the sensor keeps serving and, with nobody on the line, sleeps.
    void servesReopenedPortWithoutSpinning() {
        SimProcess sim;
        QVERIFY2(sim.start({"--lux", QString::number(fixedLux)}), sim.log);
        for (int round = 1; round <= 3; ++round) {
            {
                const Modbus master = connectMaster(sim.link);
                QVERIFY2(master, qPrintable(modbusError()));
                QCOMPARE(readRegisters(master.get(), 3, 0, 1), QList<quint16>{1234});
            }
            RawPort port(sim.link);
            QVERIFY(port.isOpen());
            QVERIFY(port.write(QByteArray::fromHex("FA 25 02 00 00 01 99 FE")));
            QCOMPARE(port.read(6).toHex(' '), QByteArray("fa 25 01 01 e1 67"));
        }
        // All clients closed now, and everything they caused logged.
        QVERIFY2(sim.waitForLog(" tx ", 6), sim.log);
        const long long before = sim.cpuTicks();
        QVERIFY(before >= 0);
        QVERIFY2(!sim.process.waitForReadyRead(1000), sim.process.readAllStandardOutput());
        const long long used = sim.cpuTicks() - before;
        QVERIFY2(used <= sysconf(_SC_CLK_TCK) / 20, qPrintable(QString::number(used)));
        QCOMPARE(sim.process.state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
