// The qf7320-sim program on a pseudo-terminal, seen through libmodbus and through plain reads
// and writes, and its contract as a process.

#include "tests/support/simprocess.h"
#include "tests/support/simscript.h"

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

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

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
    // The rate this end sets the line to; a pseudo-terminal's two ends share it.
    bool setSpeed(speed_t speed) {
        termios t{};
        return tcgetattr(fd_, &t) == 0 && cfsetispeed(&t, speed) == 0 &&
               cfsetospeed(&t, speed) == 0 && tcsetattr(fd_, TCSANOW, &t) == 0;
    }
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

    // The first piece the line delivers: one read once something has arrived.
    QByteArray readPiece(int ms = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return {};
        char buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        return n > 0 ? QByteArray(buffer, n) : QByteArray();
    }

private:
    int fd_ = -1;
};

// A TCP client on the loopback with plain reads and writes.
class TcpClient {
public:
    TcpClient(const QString& host, quint16 port) {
        const bool v6 = host.contains(':');
        fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length = 0;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&address);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(port);
            inet_pton(AF_INET6, qPrintable(host), &a->sin6_addr);
            length = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&address);
            a->sin_family = AF_INET;
            a->sin_port = htons(port);
            inet_pton(AF_INET, qPrintable(host), &a->sin_addr);
            length = sizeof *a;
        }
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~TcpClient() { close(); }
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool write(const QByteArray& data) {
        return ::send(fd_, data.constData(), static_cast<size_t>(data.size()), MSG_NOSIGNAL) ==
               data.size();
    }
    // Reads until count bytes have come, or ms have passed, or the server closed.
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
            if (n <= 0)
                break;
            data.append(buffer, n);
        }
        return data;
    }
    // Whether the server has closed the connection, waiting at most ms.
    bool closedByPeer(int ms = 3000) {
        pollfd p{fd_, POLLIN, 0};
        char byte = 0;
        return ::poll(&p, 1, ms) == 1 && ::read(fd_, &byte, 1) == 0;
    }

private:
    int fd_ = -1;
};

// A Modbus TCP request: transaction id, protocol 0, length, unit, PDU given as hex.
QByteArray mbap(quint16 transaction, const char* unitAndPdu) {
    const QByteArray body = QByteArray::fromHex(unitAndPdu);
    QByteArray frame;
    frame.append(char(transaction >> 8)).append(char(transaction & 0xFF)).append(2, '\0');
    frame.append(char(body.size() >> 8)).append(char(body.size() & 0xFF));
    return frame + body;
}

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

// A libmodbus Modbus TCP client of the simulator, connected, with a one-second response timeout.
Modbus connectTcp(const SimProcess& sim) {
    Modbus ctx(modbus_new_tcp_pi(qPrintable(sim.host), qPrintable(QString::number(sim.port))));
    if (!ctx || modbus_set_response_timeout(ctx.get(), 1, 0) != 0 || modbus_connect(ctx.get()) != 0)
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
    // The program, with libmodbus as an independent master.

    void libmodbusReadsDefaults_data() {
        QTest::addColumn<int>("function");
        QTest::newRow("function 3") << 3;
        QTest::newRow("function 4") << 4;
    }
    void libmodbusReadsDefaults() {
        QFETCH(int, function);
        SimProcess sim;
        QVERIFY2(sim.start({"--lux", QString::number(kFixedLux)}), sim.log);
        const Modbus master = connectMaster(sim.link);
        QVERIFY2(master, qPrintable(modbusError()));
        QCOMPARE(readRegisters(master.get(), function, 0, 8), kDefaults);
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
        QCOMPARE(values.mid(1), kDefaults.mid(1));
    }

    void libmodbusWritesParameters() {
        SimProcess sim;
        QVERIFY2(sim.start({"--lux", QString::number(kFixedLux)}), sim.log);
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
        QVERIFY2(sim.start({"--lux", QString::number(kFixedLux), "--fault", fault, "--fault-every",
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
        QTest::newRow("in one piece, as late as paced")
            << QStringList{"--pace", "--burst"} << 9600 << 8 << 5 + 20;
    }
    void pacedAnswer() {
        QFETCH(QStringList, args);
        QFETCH(int, baud);
        QFETCH(int, registers);
        QFETCH(int, atLeastMs);
        SimProcess sim;
        QVERIFY2(sim.start(args + QStringList{"--baud", QString::number(baud), "--lux",
                                              QString::number(kFixedLux)}),
                 sim.log);
        const Modbus master = connectMaster(sim.link, 1, baud);
        QVERIFY2(master, qPrintable(modbusError()));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(readRegisters(master.get(), 3, 0, registers), kDefaults.mid(0, registers));
        QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
    }

    // Paced, the answer comes a character at a time; with --burst all of it in one piece.
    void burstAnswerArrivesWhole() {
        SimProcess sim;
        QVERIFY2(sim.start({"--pace", "--burst", "--lux", QString::number(kFixedLux)}), sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        QVERIFY(port.write(withCrc("01 03 0000 0008")));
        const QByteArray piece = port.readPiece();
        QCOMPARE(piece.size(), 5 + 2 * 8);
        QCOMPARE(piece.left(3).toHex(' '), QByteArray("01 03 10"));
        QVERIFY(crcMatches(piece));
    }

    // -----------------------------------------------------------------------------------------
    // The program on the wire, with a plain client: what is answered, what is not, and the log.
    // After the script an address read follows; its answer coming first shows that nothing
    // else was sent.

    void wire_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("script");
        QTest::addColumn<QByteArray>("logged");
        const QStringList lux{"--lux", QString::number(kFixedLux)};
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
        QVERIFY(crcMatches(next));

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
        QVERIFY2(sim.start({"--baud", "1200", "--lux", QString::number(kFixedLux)}), sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        QVERIFY(port.write(QByteArray::fromHex("01 03 00 00")));
        QVERIFY(port.write(QByteArray::fromHex("00 01 84 0A")));
        QCOMPARE(port.read(7).toHex(' '), withCrc("01 03 02 04D2").toHex(' '));
    }

    // -----------------------------------------------------------------------------------------
    // Several sensors on the pseudo-terminal.

    void libmodbusReadsEachStationOnTheLine() {
        SimProcess sim;
        QVERIFY2(sim.start({"--station", "1,2,3", "--lux", "100,200,300", "--mute", "3"}), sim.log);
        QVERIFY2(sim.log.startsWith("ready on " + sim.link.toLocal8Bit() + " -> " +
                                    sim.device.toLocal8Bit() +
                                    " at 9600 baud, station 1,2,3, mute 3, 100,200,300 lx"),
                 sim.log);
        const Modbus master = connectMaster(sim.link);
        QVERIFY2(master, qPrintable(modbusError()));
        modbus_set_response_timeout(master.get(), 0, 300000);
        for (const auto& [station, reading] : {std::pair{1, 10}, {2, 20}}) {
            modbus_set_slave(master.get(), station);
            QCOMPARE(readRegisters(master.get(), 3, 0, 2),
                     (QList<quint16>{quint16(reading), 2350}));
        }
        // Station 2 moves to 5; station 1 keeps its place; the muted one never answers.
        modbus_set_slave(master.get(), 2);
        QVERIFY2(modbus_write_register(master.get(), 0x0B00, 5) == 1, qPrintable(modbusError()));
        modbus_set_slave(master.get(), 5);
        QCOMPARE(readRegisters(master.get(), 4, 0, 1), QList<quint16>{20});
        modbus_set_slave(master.get(), 1);
        QCOMPARE(readRegisters(master.get(), 4, 0, 1), QList<quint16>{10});
        for (const int silent : {2, 3}) {
            modbus_set_slave(master.get(), silent);
            QCOMPARE(readRegisters(master.get(), 3, 0, 1), QList<quint16>{});
            QCOMPARE(errno, ETIMEDOUT);
        }
    }

    // The address query makes every sensor answer at once: the master reads a garble.
    void addressQueryCollidesOnTheLine() {
        SimProcess sim;
        QVERIFY2(sim.start({"--station", "1,2"}), sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        QVERIFY(port.write(QByteArray::fromHex("FA 25 02 00 00 01 99 FE")));
        const QByteArray garble = port.read(6);
        QCOMPARE(garble.toHex(' '), QByteArray("fa 25 01 03 e1 67"));
        QVERIFY(!crcMatches(garble));
        QVERIFY2(sim.waitForLog("tx FA 25 01 03 E1 67  collision of 2 answers"), sim.log);
    }

    // A converter with local echo: the request comes back first, then the answer.
    void echoOnTheLine() {
        SimProcess sim;
        QVERIFY2(sim.start({"--fault", "echo", "--pace", "--lux", QString::number(kFixedLux)}),
                 sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        const QByteArray request = withCrc("01 03 0000 0001");
        QVERIFY(port.write(request));
        QCOMPARE(port.read(8 + 7).toHex(' '), (request + withCrc("01 03 02 04D2")).toHex(' '));
    }

    // -----------------------------------------------------------------------------------------
    // Behind a TCP port as a Modbus TCP gateway, seen through libmodbus and mbpoll.

    void libmodbusTcpReadsEachUnit() {
        SimProcess sim;
        QVERIFY2(sim.listen({"--framing", "mbap", "--station", "1,2,3", "--lux", "100,200,300",
                             "--mute", "3"}),
                 sim.log);
        QVERIFY2(sim.log.startsWith("ready on tcp 127.0.0.1:" + QByteArray::number(sim.port) +
                                    " (mbap) at 9600 baud, station 1,2,3, mute 3, 100,200,300 lx"),
                 sim.log);
        const Modbus client = connectTcp(sim);
        QVERIFY2(client, qPrintable(modbusError()));
        for (const auto& [unit, reading] : {std::pair{1, 10}, {2, 20}}) {
            modbus_set_slave(client.get(), unit);
            QCOMPARE(readRegisters(client.get(), 3, 0, 8),
                     (QList<quint16>{quint16(reading), 2350, 4500, 10000, 0, 700, 4000, 20000}));
            QCOMPARE(readRegisters(client.get(), 4, 7, 1), QList<quint16>{20000});
        }
        modbus_set_slave(client.get(), 1);
        QVERIFY2(modbus_write_register(client.get(), 0x0A03, 5000) == 1, qPrintable(modbusError()));
        QCOMPARE(readRegisters(client.get(), 3, 0, 1), QList<quint16>{5});
        modbus_set_slave(client.get(), 2);
        QCOMPARE(readRegisters(client.get(), 3, 3, 1), QList<quint16>{10000});
        // The sensor's own exception passes through the gateway.
        QCOMPARE(modbus_write_register(client.get(), 0x0A08, 1), -1);
        QCOMPARE(errno, EMBXILADD);
        // A muted unit, a unit nobody has and the collided address query: no valid answer.
        for (const int unit : {3, 4, 250}) {
            modbus_set_slave(client.get(), unit);
            errno = 0;
            QCOMPARE(readRegisters(client.get(), 3, 0, 1), QList<quint16>{});
            QVERIFY2(errno == EMBXGTAR, qPrintable(QString::number(unit) + ": " + modbusError()));
        }
    }

    // Faults strike the sensor behind the gateway; what the client sees is what a gateway
    // makes of them.
    void gatewayFaults_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("error"); // 0: read succeeds
        QTest::addColumn<int>("atLeastMs");
        QTest::newRow("silent: 0x0B") << QStringList{"--fault", "silent"} << EMBXGTAR << 0;
        QTest::newRow("bad CRC dropped by the gateway: 0x0B")
            << QStringList{"--fault", "bad-crc"} << EMBXGTAR << 0;
        QTest::newRow("short: 0x0B") << QStringList{"--fault", "short"} << EMBXGTAR << 0;
        QTest::newRow("garbage: 0x0B") << QStringList{"--fault", "garbage"} << EMBXGTAR << 0;
        QTest::newRow("exception passed through")
            << QStringList{"--fault", "exception"} << EMBXSFAIL << 0;
        QTest::newRow("slow past the timeout")
            << QStringList{"--fault", "slow:1500"} << ETIMEDOUT << 0;
        QTest::newRow("slow within the timeout") << QStringList{"--fault", "slow:300"} << 0 << 300;
        QTest::newRow("paced: the answer crosses the line first")
            << QStringList{"--pace", "--delay", "200"} << 0 << 200;
        QTest::newRow("absent-silent: no reply at all")
            << QStringList{"--fault", "silent", "--absent-silent"} << ETIMEDOUT << 0;
    }
    void gatewayFaults() {
        QFETCH(QStringList, args);
        QFETCH(int, error);
        QFETCH(int, atLeastMs);
        SimProcess sim;
        QVERIFY2(sim.listen(args + QStringList{"--framing", "mbap", "--fault-every", "2", "--lux",
                                               QString::number(kFixedLux)}),
                 sim.log);
        const Modbus client = connectTcp(sim);
        QVERIFY2(client, qPrintable(modbusError()));
        modbus_set_slave(client.get(), 1);
        // The first request is answered; the second shows the fault.
        QCOMPARE(readRegisters(client.get(), 3, 0, 1), QList<quint16>{1234});
        QElapsedTimer clock;
        clock.start();
        errno = 0;
        const QList<quint16> values = readRegisters(client.get(), 3, 0, 1);
        const int seen = errno;
        if (error == 0) {
            QCOMPARE(values, QList<quint16>{1234});
            QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
        } else {
            QVERIFY(values.isEmpty());
            QVERIFY2(seen == error, qPrintable(QString::fromUtf8(modbus_strerror(seen))));
        }
    }

    // The reply carries the request's transaction id; a broadcast gets none.
    void gatewayReplyCarriesTransaction() {
        SimProcess sim;
        QVERIFY2(sim.listen({"--framing", "mbap", "--lux", QString::number(kFixedLux)}), sim.log);
        TcpClient client(sim.host, sim.port);
        QVERIFY(client.isOpen());
        QVERIFY(client.write(mbap(0, "00 06 0A03 1388") + mbap(0xBEEF, "01 03 0003 0001") +
                             mbap(0x0102, "01 03 0000 0001")));
        QCOMPARE(client.read(11 + 11).toHex(' '),
                 QByteArray("be ef 00 00 00 05 01 03 02 13 88 01 02 00 00 00 05 01 03 02 02 69"));
    }

    // mbpoll, a Modbus client written elsewhere, reads two units through the gateway.
    void mbpollReadsThroughGateway() {
        SimProcess sim;
        QVERIFY2(sim.listen({"--framing", "mbap", "--station", "4,5", "--lux", "12340,23450"}),
                 sim.log);
        for (const auto& [unit, reading] : {std::pair{4, "1234"}, {5, "2345"}}) {
            QProcess mbpoll;
            mbpoll.start(QStringLiteral("mbpoll"),
                         {"-m", "tcp", "-a", QString::number(unit), "-r", "1", "-c", "3", "-1",
                          "-p", QString::number(sim.port), sim.host});
            QVERIFY2(mbpoll.waitForFinished(10000), "mbpoll did not finish (is it installed?)");
            const QByteArray out = mbpoll.readAllStandardOutput();
            QVERIFY2(mbpoll.exitCode() == 0, out + mbpoll.readAllStandardError());
            // mbpoll numbers registers from 1.
            for (const QByteArray& line : {QByteArray("[1]: \t") + reading,
                                           QByteArray("[2]: \t2350"), QByteArray("[3]: \t4500")})
                QVERIFY2(out.contains(line), out.constData());
        }
    }

    // -----------------------------------------------------------------------------------------
    // Behind a TCP port as a transparent serial device server: RTU frames, CRC and all.

    void rtuOverTcp_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("received");
        const QByteArray read1 = withCrc("01 03 0000 0001");
        const QByteArray answer1 = withCrc("01 03 02 04D2");
        const QByteArray query = QByteArray::fromHex("FA 25 02 00 00 01 99 FE");
        QTest::newRow("a read") << QStringList{} << read1 << answer1;
        QTest::newRow("two requests in one write, each answered")
            << QStringList{} << read1 + withCrc("01 03 0001 0001")
            << answer1 + withCrc("01 03 02 092E");
        QTest::newRow("bad CRC ignored, the next request answered")
            << QStringList{} << QByteArray::fromHex("01 03 00 00 00 01 0A 84") + query
            << withCrc("FA 25 01 01");
        QTest::newRow("another station ignored")
            << QStringList{} << withCrc("02 03 0000 0001") + query << withCrc("FA 25 01 01");
        QTest::newRow("several stations, each its own")
            << QStringList{"--station", "1,2", "--lux", "12340,100"}
            << read1 + withCrc("02 03 0000 0001") << answer1 + withCrc("02 03 02 000A");
        QTest::newRow("the address query collides")
            << QStringList{"--station", "1,2"} << query << QByteArray::fromHex("FA 25 01 03 E1 67");
        QTest::newRow("echo before each answer")
            << QStringList{"--fault", "echo"} << read1 << read1 + answer1;
        QTest::newRow("fault bad-crc") << QStringList{"--fault", "bad-crc"} << read1
                                       << QByteArray::fromHex("01 03 02 04 D2 C5 26");
    }
    void rtuOverTcp() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, received);
        SimProcess sim;
        // A --lux among the row's arguments comes later and replaces the fixed reading.
        QVERIFY2(
            sim.listen(QStringList{"--framing", "rtu", "--lux", QString::number(kFixedLux)} + args),
            sim.log);
        TcpClient client(sim.host, sim.port);
        QVERIFY(client.isOpen());
        QVERIFY(client.write(sent));
        QCOMPARE(client.read(received.size()).toHex(' '), received.toHex(' '));
        // Nothing more follows.
        QVERIFY(client.read(1, 200).isEmpty());
    }

    void rtuOverTcpOnIpv6Loopback() {
        SimProcess sim;
        QVERIFY2(sim.listen({"--station", "7"}, QStringLiteral("[::1]:0")), sim.log);
        QCOMPARE(sim.host, QStringLiteral("::1"));
        TcpClient client(sim.host, sim.port);
        QVERIFY(client.isOpen());
        QVERIFY(client.write(QByteArray::fromHex("FA 25 02 00 00 01 99 FE")));
        QCOMPARE(client.read(6).toHex(' '), withCrc("FA 25 01 07").toHex(' '));
    }

    // Two clients at once are served in turn: the second request waits for the first answer,
    // which the slow fault holds back.
    void twoClientsServedInTurn_data() {
        QTest::addColumn<QString>("framing");
        QTest::newRow("rtu") << "rtu";
        QTest::newRow("mbap") << "mbap";
    }
    void twoClientsServedInTurn() {
        QFETCH(QString, framing);
        SimProcess sim;
        QVERIFY2(sim.listen({"--framing", framing, "--station", "1,2", "--lux", "100,200",
                             "--fault", "slow:300", "--fault-every", "2"}),
                 sim.log);
        TcpClient first(sim.host, sim.port);
        TcpClient second(sim.host, sim.port);
        QVERIFY(first.isOpen() && second.isOpen());
        const bool rtu = framing == QLatin1String("rtu");
        const auto frame = [rtu](quint16 id, const char* hex) {
            return rtu ? withCrc(hex) : mbap(id, hex);
        };
        const auto request = frame;
        const auto answer = frame;
        // The first request is answered at once; the second (the first client's) is slow.
        QVERIFY(first.write(request(1, "01 03 0000 0001")));
        QCOMPARE(first.read(answer(1, "01 03 02 000A").size()), answer(1, "01 03 02 000A"));
        QVERIFY(first.write(request(2, "01 03 0000 0001")));
        QVERIFY2(sim.waitForLog("client 1 rx", 2), sim.log);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(second.write(request(3, "02 03 0000 0001")));
        QCOMPARE(second.read(answer(3, "02 03 02 0014").size()).toHex(' '),
                 answer(3, "02 03 02 0014").toHex(' '));
        QVERIFY2(clock.elapsed() >= 250, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(first.read(answer(2, "01 03 02 000A").size()).toHex(' '),
                 answer(2, "01 03 02 000A").toHex(' '));
        // The second client's request was taken only once the first one's answer had gone.
        QVERIFY2(sim.waitForLog("client 2 tx"), sim.log);
        const qsizetype firstAnswer = sim.log.indexOf("client 1 tx", sim.log.indexOf("fault slow"));
        QVERIFY2(firstAnswer >= 0 && firstAnswer < sim.log.indexOf("client 2 rx"), sim.log);
    }

    // A client that leaves mid-request, or sends what is not Modbus TCP, harms nobody else.
    void badClientsHarmNobody_data() {
        QTest::addColumn<QString>("framing");
        QTest::addColumn<QByteArray>("bad");
        QTest::addColumn<QByteArray>("logged");
        QTest::addColumn<bool>("closedBySim");
        // On the serial line behind the port, a frame ends when the line falls silent, so what
        // was sent may reach the line before the client is seen gone.
        QTest::newRow("rtu: gone mid-frame")
            << "rtu" << QByteArray::fromHex("01 03 00") << QByteArray("client 2 closed") << false;
        QTest::newRow("mbap: gone mid-frame")
            << "mbap" << QByteArray::fromHex("00 01 00 00 00 06 01")
            << QByteArray("7 bytes of a request dropped") << false;
        QTest::newRow("mbap: not a Modbus TCP header")
            << "mbap" << QByteArray("GET / HTTP/1.0\r\n\r\n")
            << QByteArray("not a Modbus TCP header") << true;
        QTest::newRow("rtu: a flood of noise")
            << "rtu" << QByteArray(4000, '\xFF') << QByteArray("ignored: longer than 256 bytes")
            << false;
    }
    void badClientsHarmNobody() {
        QFETCH(QString, framing);
        QFETCH(QByteArray, bad);
        QFETCH(QByteArray, logged);
        QFETCH(bool, closedBySim);
        SimProcess sim;
        QVERIFY2(sim.listen({"--framing", framing, "--lux", QString::number(kFixedLux)}), sim.log);
        const bool rtu = framing == QLatin1String("rtu");
        const QByteArray request = rtu ? withCrc("01 03 0000 0001") : mbap(7, "01 03 0000 0001");
        const QByteArray answer = rtu ? withCrc("01 03 02 04D2") : mbap(7, "01 03 02 04D2");
        TcpClient good(sim.host, sim.port);
        QVERIFY(good.isOpen());
        {
            TcpClient rogue(sim.host, sim.port);
            QVERIFY(rogue.isOpen());
            QVERIFY(rogue.write(bad));
            if (closedBySim)
                QVERIFY(rogue.closedByPeer());
        }
        QVERIFY2(sim.waitForLog(logged), sim.log);
        QVERIFY(good.write(request));
        QCOMPARE(good.read(answer.size()).toHex(' '), answer.toHex(' '));
        QCOMPARE(sim.process.state(), QProcess::Running);
        QVERIFY(sim.stop());
        QCOMPARE(sim.process.exitCode(), 0);
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
        QTest::newRow("strict-baud with a value")
            << QStringList{"--link", "LINK", "--strict-baud=yes"};
        QTest::newRow("write skew too large")
            << QStringList{"--link", "LINK", "--write-skew", "65536"};
        QTest::newRow("write skew not a number")
            << QStringList{"--link", "LINK", "--write-skew", "1x"};
        QTest::newRow("burst without pace") << QStringList{"--link", "LINK", "--burst"};
        QTest::newRow("burst with a value")
            << QStringList{"--link", "LINK", "--pace", "--burst=yes"};
        QTest::newRow("mute of a station without a sensor")
            << QStringList{"--link", "LINK", "--station", "1,2", "--mute", "3"};
        QTest::newRow("link and listen") << QStringList{"--link", "LINK", "--listen", "0"};
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

    // A client whose requests wait behind a slow answer, more of them than are taken in, costs
    // no CPU while it waits.
    void waitingClientsWithoutSpinning() {
        SimProcess sim;
        QVERIFY2(sim.listen({"--fault", "slow:1500", "--lux", QString::number(kFixedLux)}),
                 sim.log);
        TcpClient client(sim.host, sim.port);
        QVERIFY(client.isOpen());
        QByteArray requests;
        for (int i = 0; i < 8; ++i)
            requests += withCrc("01 03 0000 0001");
        QVERIFY(client.write(requests + QByteArray::fromHex("01 03")));
        QVERIFY2(sim.waitForLog("client 1 rx"), sim.log);
        const long long before = sim.cpuTicks();
        QVERIFY(before >= 0);
        // Nothing is logged until the slow answer goes out.
        QVERIFY2(!sim.process.waitForReadyRead(800), sim.process.readAllStandardOutput());
        const long long used = sim.cpuTicks() - before;
        QVERIFY2(used <= sysconf(_SC_CLK_TCK) / 20, qPrintable(QString::number(used)));
        QCOMPARE(client.read(7, 3000).toHex(' '), withCrc("01 03 02 04D2").toHex(' '));
    }

    void refusesTakenPort() {
        SimProcess first;
        QVERIFY2(first.listen(), first.log);
        QProcess second;
        second.start(QStringLiteral(QF_SIM_PATH),
                     {"--listen", "127.0.0.1:" + QString::number(first.port)});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 1);
        const QByteArray err = second.readAllStandardError();
        QVERIFY2(err.contains("listen 127.0.0.1:" + QByteArray::number(first.port)) &&
                     err.contains("in use"),
                 err.constData());
        QVERIFY(first.stop(SIGINT));
        QCOMPARE(first.process.exitCode(), 0);
        QVERIFY2(first.log.contains("stopped by INT"), first.log);
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

    // With --strict-baud the sensor hears only requests sent at its own rate, as on a real line;
    // a pseudo-terminal would otherwise pass bytes whatever the rate.
    void strictBaud() {
        SimProcess sim;
        QVERIFY2(sim.start({"--baud", "19200", "--strict-baud"}), sim.log);
        RawPort port(sim.link);
        QVERIFY(port.isOpen());
        const QByteArray query = QByteArray::fromHex("FA 25 02 00 00 01 99 FE");
        const QByteArray answer = withCrc("FA 25 01 01");
        QVERIFY(port.write(query));
        QCOMPARE(port.read(6).toHex(' '), answer.toHex(' '));

        QVERIFY(port.setSpeed(B9600));
        QVERIFY(port.write(query));
        QVERIFY2(sim.waitForLog("ignored: the line is set to 9600 baud, not 19200"), sim.log);
        QVERIFY(port.read(6, 100).isEmpty());

        QVERIFY(port.setSpeed(B19200));
        QVERIFY(port.write(query));
        QCOMPARE(port.read(6).toHex(' '), answer.toHex(' '));
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
              "--delay MS", "--fault MODE", "--fault-every N", "--strict-baud", "--write-skew N",
              "--station N[,N...]", "--mute N[,N...]", "--lux N[,N...]", "--listen [HOST:]PORT",
              "--framing MODE", "--absent-silent", "echo"})
            QVERIFY2(out.contains(option), option);
    }

    // A second sensor on the same name takes the link over; the first one leaves it alone
    // when it stops.
    void leavesAnotherSensorsLink() {
        SimProcess first;
        QVERIFY2(first.start({}), first.log);
        SimProcess second;
        QVERIFY2(second.startAt(first.link), second.log);
        QVERIFY(first.stop());
        QCOMPARE(QFileInfo(first.link).symLinkTarget(), second.device);
        QVERIFY(second.stop());
        QVERIFY(!QFileInfo(first.link).isSymLink());
    }

    // Clients come and go; the sensor keeps serving and, with nobody on the line, sleeps.
    void servesReopenedPortWithoutSpinning() {
        SimProcess sim;
        QVERIFY2(sim.start({"--lux", QString::number(kFixedLux)}), sim.log);
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

QTEST_MAIN(TestSim)
#include "test_sim.moc"
