// qf7320, the command line, measured as a script meets it: back-to-back polling against the
// same libmodbus loop on the same paced simulator, and the whole-process time of one read
// against mbpoll's.

#include "tests/bench/bench.h"

#include "logger/publish/store.h"
#include "tests/support/mosquittoprocess.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

namespace bench {

namespace {

constexpr int kPollRounds = 3;
const QStringList kPacedSimulator{QStringLiteral("--pace"), QStringLiteral("--delay"),
                                  QStringLiteral("5")};

PollSamples toolPoll(const ProgramDir& dir, int baud, int samples, const QStringList& extra = {}) {
    const QString samplesFile = dir.file(QStringLiteral("samples.jsonl"));
    const double ms = timedRun(QStringLiteral(QF_CLI_PATH),
                               QStringList{QStringLiteral("--port"), dir.link(),
                                           QStringLiteral("--baud"), QString::number(baud),
                                           QStringLiteral("poll"), QStringLiteral("--period"),
                                           QStringLiteral("0"), QStringLiteral("--samples"),
                                           QString::number(samples), QStringLiteral("--json")} +
                                   extra,
                               samplesFile);
    if (ms < 0) {
        PollSamples failed;
        failed.error = "qf7320 poll failed";
        return failed;
    }
    return pollSamples(samplesFile, samples);
}

} // namespace

PollSamples pollSamples(const QString& path, int samples) {
    PollSamples poll;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        poll.error = "qf7320 poll wrote no samples";
        return poll;
    }
    QDateTime first;
    QDateTime last;
    int count = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        ++count;
        const QJsonObject sample = QJsonDocument::fromJson(line).object();
        const QDateTime time = QDateTime::fromString(
            sample.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        if (!first.isValid())
            first = time;
        last = time;
        if (sample.value(QStringLiteral("status")).toString() == QLatin1String("ok"))
            poll.latencies.push_back(sample.value(QStringLiteral("latency_ms")).toDouble());
        else
            ++poll.failures;
    }
    if (count != samples || samples < 2) {
        poll.error = "qf7320 poll printed " + std::to_string(count) + " samples of " +
                     std::to_string(samples);
        return poll;
    }
    // From the start of the first request to the start of the last: samples - 1 transactions.
    const double spanMs = double(first.msecsTo(last));
    poll.perSecond = spanMs > 0 ? 1000.0 * (samples - 1) / spanMs : 0;
    return poll;
}

namespace {

// The program's resident memory now, from /proc.
long long residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return 0;
}

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double median(std::vector<double> values) {
    return summarize(std::move(values)).median;
}

} // namespace

WholeRun wholeRun(const QString& program, const QStringList& args) {
    WholeRun run;
    std::vector<QByteArray> bytes{QFile::encodeName(program)};
    for (const QString& arg : args)
        bytes.push_back(arg.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& arg : bytes)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const Clock::time_point start = Clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wallMs = millis(Clock::now() - start);
    run.cpuMs = 1000 * (seconds(usage.ru_utime) + seconds(usage.ru_stime));
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

int cliPoll(int baud, int samples) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !sim.start(dir, baud, kPacedSimulator))
        return failure("the simulator did not start: " + sim.log().toStdString());

    // Both masters take turns on the same simulator, so that what else the machine does
    // weighs on both alike; each figure is the median of its rounds.
    std::vector<double> tool;
    std::vector<double> reference;
    std::vector<double> latencies;
    int failures = 0;
    for (int round = 0; round < kPollRounds; ++round) {
        const ModbusLoop loop = modbusLoop(dir.link(), baud, 1, samples);
        if (!loop.error.empty())
            return failure(loop.error);
        reference.push_back(loop.perSecond);
        const PollSamples poll = toolPoll(dir, baud, samples);
        if (!poll.error.empty())
            return failure(poll.error);
        tool.push_back(poll.perSecond);
        latencies.insert(latencies.end(), poll.latencies.begin(), poll.latencies.end());
        failures += poll.failures;
    }
    result("per_second", median(tool));
    result("modbus_per_second", median(reference));
    resultTimings(latencies);
    result("failures", failures);
    return 0;
}

int cliMqtt(int samples) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !sim.start(dir, 9600, kPacedSimulator))
        return failure("the simulator did not start: " + sim.log().toStdString());
    MosquittoProcess broker;
    if (!broker.start())
        return failure("mosquitto did not start: " + broker.log.toStdString());
    MosquittoProcess away; // a port nobody listens on: a broker that is down
    QTemporaryDir stores;
    int run = 0;
    const auto mqtt = [&](const MosquittoProcess& to) {
        return QStringList{QStringLiteral("--mqtt"), to.url(QStringLiteral("bench")),
                           QStringLiteral("--mqtt-store"), stores.filePath(QString::number(++run))};
    };

    // The three take turns on the same simulator, so that what else the machine does weighs on
    // all alike; each figure is the median of its rounds.
    std::vector<double> plain;
    std::vector<double> up;
    std::vector<double> down;
    for (int round = 0; round < kPollRounds; ++round) {
        const PollSamples a = toolPoll(dir, 9600, samples);
        const PollSamples b = toolPoll(dir, 9600, samples, mqtt(broker));
        const PollSamples c = toolPoll(dir, 9600, samples, mqtt(away));
        for (const PollSamples* poll : {&a, &b, &c})
            if (!poll->error.empty())
                return failure(poll->error);
        plain.push_back(a.perSecond);
        up.push_back(b.perSecond);
        down.push_back(c.perSecond);
    }
    result("per_second", median(plain));
    result("mqtt_per_second", median(up));
    result("broker_down_per_second", median(down));

    // The store holding 10,000 samples for a broker that is away: its disk, and the memory it
    // takes beyond an empty store's.
    constexpr int kHeld = 10000;
    logger::publish::SampleStore store;
    std::string error;
    if (!store.open(stores.filePath(QStringLiteral("held")).toStdString(), 100000, error))
        return failure(error);
    const long long before = residentKiB();
    for (int i = 0; i < kHeld; ++i) {
        const std::uint64_t seq = store.nextSeq(1);
        store.append("qf7320/bench/1/state\t{\"time\":\"2024-05-01T12:00:00.000+02:00\",\"seq\":" +
                     std::to_string(seq) +
                     ",\"station\":1,\"lux\":12340,\"status\":\"ok\",\"latency_ms\":11.4}");
    }
    const long long after = residentKiB();
    qint64 bytes = 0;
    for (const QFileInfo& file :
         QDir(stores.filePath(QStringLiteral("held"))).entryInfoList(QDir::Files))
        bytes += file.size();
    result("store_disk_kb_per_10000", double(bytes) / 1000.0);
    result("store_memory_kb_per_10000", double(after - before) * 1.024);
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
    std::vector<double> toolCpuMs;
    std::vector<double> referenceCpuMs;
    // Alternated, so that whatever else the machine does weighs on both alike. The CPU time is
    // the kernel's count for the whole child, from its start to its end (wait4).
    for (int i = 0; i < runs; ++i) {
        const WholeRun a = wholeRun(QStringLiteral(QF_CLI_PATH), tool);
        const WholeRun b = wholeRun(mbpoll, reference);
        if (!a.ok || !b.ok)
            return failure(!a.ok ? "qf7320 read failed" : "mbpoll failed");
        toolMs.push_back(a.wallMs);
        referenceMs.push_back(b.wallMs);
        toolCpuMs.push_back(a.cpuMs);
        referenceCpuMs.push_back(b.cpuMs);
    }
    // Where the time goes before any line is opened: each program started, its options read,
    // and ended.
    std::vector<double> versionCpuMs;
    std::vector<double> mbpollVersionCpuMs;
    for (int i = 0; i < runs; ++i) {
        const WholeRun version =
            wholeRun(QStringLiteral(QF_CLI_PATH), {QStringLiteral("--version")});
        const WholeRun mbpollVersion = wholeRun(mbpoll, {QStringLiteral("-V")});
        if (!version.ok || !mbpollVersion.ok)
            return failure("qf7320 --version or mbpoll -V failed");
        versionCpuMs.push_back(version.cpuMs);
        mbpollVersionCpuMs.push_back(mbpollVersion.cpuMs);
    }
    result("version_cpu_ms", median(versionCpuMs));
    result("mbpoll_version_cpu_ms", median(mbpollVersionCpuMs));

    const Stats t = summarize(toolMs);
    const Stats m = summarize(referenceMs);
    const double tc = median(toolCpuMs);
    const double mc = median(referenceCpuMs);
    result("tool_ms", t.median);
    result("tool_max_ms", t.max);
    result("mbpoll_ms", m.median);
    result("mbpoll_max_ms", m.max);
    result("ratio", m.median > 0 ? t.median / m.median : 0);
    result("tool_cpu_ms", tc);
    result("mbpoll_cpu_ms", mc);
    result("cpu_ratio", mc > 0 ? tc / mc : 0);
    return 0;
}

int cliResident(int baud, int seconds) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !sim.start(dir, baud, kPacedSimulator))
        return failure("the simulator did not start: " + sim.log().toStdString());
    const QByteArray program = QFile::encodeName(QStringLiteral(QF_CLI_PATH));
    const QByteArray port = QFile::encodeName(dir.link());
    const QByteArray rate = QByteArray::number(baud);
    std::vector<const char*> argv{
        program.constData(), "--port", port.constData(), "--baud", rate.constData(), "poll",
        "--period",          "0",      "--csv",          "-",      nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr,
                                    const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return failure("qf7320 poll did not start");
    // Read while it polls, then ended as Ctrl-C ends it.
    QThread::sleep(static_cast<unsigned long>(seconds));
    long long rss = 0;
    long long hwm = 0;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                rss = line.mid(6).trimmed().split(' ').first().toLongLong();
            if (line.startsWith("VmHWM:"))
                hwm = line.mid(6).trimmed().split(' ').first().toLongLong();
        }
    }
    kill(pid, SIGINT);
    int exitStatus = 0;
    waitpid(pid, &exitStatus, 0);
    if (rss == 0 || !WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0)
        return failure("qf7320 poll failed or its memory could not be read");
    result("rss_kb", double(rss));
    result("hwm_kb", double(hwm));
    return 0;
}

} // namespace bench
