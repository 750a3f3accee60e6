// qf7320, the command line, measured as a script meets it: back-to-back polling against the
// same libmodbus loop on the same paced simulator, and the whole-process time of one read
// against mbpoll's.

#include "tests/bench/bench.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace bench {

namespace {

constexpr int kProcessTimeoutMs = 60000;
const QStringList kPacedSimulator{QStringLiteral("--pace"), QStringLiteral("--delay"),
                                  QStringLiteral("5")};

// Runs a program to its end; its wall time in milliseconds, or a negative number when it did
// not exit 0.
double timedRun(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!out)
        process.setStandardOutputFile(QProcess::nullDevice());
    const Clock::time_point start = Clock::now();
    process.start(program, args);
    if (!process.waitForFinished(kProcessTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    const double ms = millis(Clock::now() - start);
    if (out)
        *out = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? ms : -1;
}

} // namespace

int cliPoll(int baud, int samples) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !sim.start(dir, baud, kPacedSimulator))
        return failure("the simulator did not start: " + sim.log().toStdString());

    QByteArray out;
    const double ms = timedRun(
        QStringLiteral(QF_CLI_PATH),
        {QStringLiteral("--port"), dir.link(), QStringLiteral("--baud"), QString::number(baud),
         QStringLiteral("poll"), QStringLiteral("--period"), QStringLiteral("0"),
         QStringLiteral("--samples"), QString::number(samples), QStringLiteral("--json")},
        &out);
    if (ms < 0)
        return failure("qf7320 poll failed");

    std::vector<double> latencies;
    int failures = 0;
    QDateTime first;
    QDateTime last;
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject sample = QJsonDocument::fromJson(line).object();
        const QDateTime time = QDateTime::fromString(
            sample.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        if (!first.isValid())
            first = time;
        last = time;
        if (sample.value(QStringLiteral("status")).toString() == QLatin1String("ok"))
            latencies.push_back(sample.value(QStringLiteral("latency_ms")).toDouble());
        else
            ++failures;
    }
    if (int(latencies.size()) + failures != samples || samples < 2)
        return failure("qf7320 poll printed " + std::to_string(latencies.size() + failures) +
                       " samples of " + std::to_string(samples));
    // From the start of the first request to the start of the last: samples - 1 transactions.
    const double spanMs = double(first.msecsTo(last));
    result("per_second", spanMs > 0 ? 1000.0 * (samples - 1) / spanMs : 0);
    resultTimings(latencies);
    result("failures", failures);
    result("process_ms", ms);
    return 0;
}

int cliProcess(int runs) {
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty())
        return failure("mbpoll is not installed (Debian package mbpoll)");
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !sim.start(dir, 9600, kPacedSimulator))
        return failure("the simulator did not start: " + sim.log().toStdString());

    // The same register, the same line: holding register 0 of station 1 at 9600 8N1.
    const QStringList tool{QStringLiteral("--port"), dir.link(), QStringLiteral("read")};
    const QStringList reference{QStringLiteral("-m"),
                                QStringLiteral("rtu"),
                                QStringLiteral("-a"),
                                QStringLiteral("1"),
                                QStringLiteral("-b"),
                                QStringLiteral("9600"),
                                QStringLiteral("-P"),
                                QStringLiteral("none"),
                                QStringLiteral("-t"),
                                QStringLiteral("4"),
                                QStringLiteral("-0"),
                                QStringLiteral("-r"),
                                QStringLiteral("0"),
                                QStringLiteral("-c"),
                                QStringLiteral("1"),
                                QStringLiteral("-1"),
                                dir.link()};
    std::vector<double> toolMs;
    std::vector<double> referenceMs;
    // Alternated, so that whatever else the machine does weighs on both alike.
    for (int i = 0; i < runs; ++i) {
        const double a = timedRun(QStringLiteral(QF_CLI_PATH), tool);
        const double b = timedRun(mbpoll, reference);
        if (a < 0 || b < 0)
            return failure(a < 0 ? "qf7320 read failed" : "mbpoll failed");
        toolMs.push_back(a);
        referenceMs.push_back(b);
    }
    const Stats t = summarize(toolMs);
    const Stats m = summarize(referenceMs);
    result("tool_ms", t.median);
    result("tool_max_ms", t.max);
    result("mbpoll_ms", m.median);
    result("mbpoll_max_ms", m.max);
    result("ratio", m.median > 0 ? t.median / m.median : 0);
    return 0;
}

} // namespace bench
