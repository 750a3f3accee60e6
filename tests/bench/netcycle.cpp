// qf7320 beyond one serial port: Modbus TCP against libmodbus's TCP master and mbpoll on the
// same simulated gateway, and several sensors on one line polled back to back against what the
// line allows.

#include "tests/bench/bench.h"

#include <modbus.h>

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <map>

namespace bench {

namespace {

constexpr int kProcessTimeoutMs = 120000;
constexpr int kRounds = 3;
constexpr int kWarmUp = 20;

// The simulator as a Modbus TCP gateway on a free loopback port. Its log goes to a file: a pipe
// nobody reads during a measurement would fill and stop it.
struct Gateway {
    SimProcess sim;
    int port = 0;

    bool start(const ProgramDir& dir, const QStringList& extra = {}) {
        sim.logToFile(dir.file(QStringLiteral("gateway.log")));
        if (!sim.launch(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                    QStringLiteral("--framing"), QStringLiteral("mbap")} +
                        extra))
            return false;
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("127\\.0\\.0\\.1:(\\d+)"))
                .match(QString::fromUtf8(sim.log));
        port = match.captured(1).toInt();
        return port > 0;
    }
    QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port); }
};

// What qf7320 poll --json printed, one station at a time: the samples, how many answered and
// the time from the first request to the last.
struct StationSamples {
    int samples = 0;
    int answered = 0;
    QDateTime first;
    QDateTime last;
};

std::map<int, StationSamples> readSamples(const QString& path) {
    std::map<int, StationSamples> stations;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return stations;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QJsonObject sample = QJsonDocument::fromJson(line).object();
        if (sample.isEmpty())
            continue;
        StationSamples& s = stations[sample.value(QStringLiteral("station")).toInt()];
        const QDateTime time = QDateTime::fromString(
            sample.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        if (!s.first.isValid())
            s.first = time;
        s.last = time;
        ++s.samples;
        if (sample.value(QStringLiteral("status")).toString() == QLatin1String("ok"))
            ++s.answered;
    }
    return stations;
}

// qf7320 poll --period 0 with these arguments before "poll": transactions a second over all
// stations, from the first request to the last; negative when it failed.
double toolPollRate(const QStringList& target, int samples, const QString& output,
                    std::map<int, StationSamples>* perStation = nullptr) {
    if (timedRun(QStringLiteral(QF_CLI_PATH),
                 target + QStringList{QStringLiteral("poll"), QStringLiteral("--period"),
                                      QStringLiteral("0"), QStringLiteral("--samples"),
                                      QString::number(samples), QStringLiteral("--json")},
                 output, kProcessTimeoutMs) < 0)
        return -1;
    const std::map<int, StationSamples> stations = readSamples(output);
    if (perStation)
        *perStation = stations;
    int total = 0;
    QDateTime first;
    QDateTime last;
    for (const auto& [station, s] : stations) {
        total += s.samples;
        if (!first.isValid() || s.first < first)
            first = s.first;
        if (!last.isValid() || s.last > last)
            last = s.last;
    }
    const double spanMs = double(first.msecsTo(last));
    return total > 1 && spanMs > 0 ? 1000.0 * (total - 1) / spanMs : -1;
}

// modbus_read_registers over Modbus TCP back to back: calls a second after a warm-up.
double modbusTcpRate(int port, int cycles) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx)
        return -1;
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 1, 0);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return -1;
    }
    std::uint16_t value = 0;
    Clock::time_point first;
    int done = 0;
    int failures = 0;
    while (done < kWarmUp + cycles && failures < kWarmUp) {
        const Clock::time_point sent = Clock::now();
        if (modbus_read_registers(ctx, 0, 1, &value) != 1) {
            ++failures;
            continue;
        }
        if (done++ == kWarmUp)
            first = sent;
    }
    const double ms = millis(Clock::now() - first);
    modbus_close(ctx);
    modbus_free(ctx);
    return done == kWarmUp + cycles && ms > 0 ? 1000.0 * cycles / ms : -1;
}

double median(std::vector<double> values) {
    return summarize(std::move(values)).median;
}

} // namespace

int cliTcpPoll(int samples) {
    ProgramDir dir;
    Gateway gateway;
    if (!dir.valid() || !gateway.start(dir))
        return failure("the simulator did not listen: " + gateway.sim.log.toStdString());
    // Taking turns on the same gateway, so that what else the machine does weighs on both.
    std::vector<double> tool;
    std::vector<double> reference;
    for (int round = 0; round < kRounds; ++round) {
        const double theirs = modbusTcpRate(gateway.port, samples);
        const double ours = toolPollRate({QStringLiteral("--port"), gateway.url()}, samples,
                                         dir.file(QStringLiteral("tcp.jsonl")));
        if (theirs < 0 || ours < 0)
            return failure(theirs < 0 ? "the libmodbus TCP loop failed" : "qf7320 poll failed");
        tool.push_back(ours);
        reference.push_back(theirs);
    }
    result("per_second", median(tool));
    result("modbus_per_second", median(reference));
    return 0;
}

int cliTcpProcess(int runs) {
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty())
        return failure("mbpoll is not installed (Debian package mbpoll)");
    ProgramDir dir;
    Gateway gateway;
    if (!dir.valid() || !gateway.start(dir))
        return failure("the simulator did not listen: " + gateway.sim.log.toStdString());
    const QStringList tool{QStringLiteral("--port"), gateway.url(), QStringLiteral("read")};
    // Holding register 0 of unit 1, once.
    const QStringList reference{
        QStringLiteral("-m"),          QStringLiteral("tcp"), QStringLiteral("-p"),
        QString::number(gateway.port), QStringLiteral("-a"),  QStringLiteral("1"),
        QStringLiteral("-t"),          QStringLiteral("4"),   QStringLiteral("-0"),
        QStringLiteral("-r"),          QStringLiteral("0"),   QStringLiteral("-c"),
        QStringLiteral("1"),           QStringLiteral("-1"),  QStringLiteral("127.0.0.1")};
    std::vector<double> toolMs;
    std::vector<double> referenceMs;
    for (int i = 0; i < runs; ++i) {
        const double a = timedRun(QStringLiteral(QF_CLI_PATH), tool);
        const double b = timedRun(mbpoll, reference);
        if (a < 0 || b < 0)
            return failure(a < 0 ? "qf7320 read failed" : "mbpoll failed");
        toolMs.push_back(a);
        referenceMs.push_back(b);
    }
    const double t = median(toolMs);
    const double m = median(referenceMs);
    result("tool_ms", t);
    result("mbpoll_ms", m);
    result("ratio", m > 0 ? t / m : 0);
    return 0;
}

int cliBus(int baud, int cycles) {
    // Three sensors on one paced line, answering 5 ms after a request as the others do here.
    const QStringList paced{QStringLiteral("--pace"), QStringLiteral("--delay"),
                            QStringLiteral("5"), QStringLiteral("--station"),
                            QStringLiteral("1,2,3")};
    const QStringList target{QStringLiteral("--port"), QStringLiteral("%1"),
                             QStringLiteral("--baud"), QString::number(baud),
                             QStringLiteral("-s"),     QStringLiteral("1-3")};
    {
        ProgramDir dir;
        Simulator sim;
        if (!dir.valid() || !sim.start(dir, baud, paced))
            return failure("the simulator did not start: " + sim.log().toStdString());
        QStringList args = target;
        args[1] = dir.link();
        const double rate = toolPollRate(args, cycles * 3, dir.file(QStringLiteral("bus.jsonl")));
        if (rate < 0)
            return failure("qf7320 poll of three stations failed");
        // The line's least: request and reply characters (8 and 7 for one register) at 10 bits
        // each, and the silence kept before the next request.
        const double character = 10.0 * 1000.0 / baud;
        const double gap = std::max(3.5 * character, 2.0);
        const double minimumMs = (8 + 7) * character + gap;
        result("per_second", rate);
        result("minimum_ms", minimumMs);
        result("ratio", (1000.0 / rate) / minimumMs);
    }
    {
        ProgramDir dir;
        Simulator sim;
        if (!dir.valid() ||
            !sim.start(dir, baud,
                       paced + QStringList{QStringLiteral("--mute"), QStringLiteral("2")}))
            return failure("the simulator did not start: " + sim.log().toStdString());
        QStringList args = target;
        args[1] = dir.link();
        std::map<int, StationSamples> stations;
        if (toolPollRate(args, cycles * 3, dir.file(QStringLiteral("muted.jsonl")), &stations) < 0)
            return failure("qf7320 poll of three stations, one muted, failed");
        for (const int station : {1, 3}) {
            const StationSamples& s = stations[station];
            const double spanMs = double(s.first.msecsTo(s.last));
            result("muted_station" + std::to_string(station) + "_per_second",
                   spanMs > 0 ? 1000.0 * (s.answered - 1) / spanMs : 0);
        }
        result("muted_station2_answered", stations[2].answered);
    }
    return 0;
}

} // namespace bench
