#include "tests/bench/bench.h"

#include "tests/support/testfiles.h"

#include "serial/qtserialcomponent.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/resource.h>

namespace bench {

void result(const std::string& name, double value) {
    std::printf("%s %.3f\n", name.c_str(), value);
    std::fflush(stdout);
}

int failure(const std::string& what) {
    std::fprintf(stderr, "qf7320-bench: %s\n", what.c_str());
    return 1;
}

Stats summarize(std::vector<double> samples) {
    Stats s;
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const auto rank = [&](double p) {
        const auto k = static_cast<std::size_t>(std::ceil(p * double(samples.size())));
        return samples[std::clamp<std::size_t>(k, 1, samples.size()) - 1];
    };
    s.median = samples.size() % 2
                   ? samples[samples.size() / 2]
                   : (samples[samples.size() / 2 - 1] + samples[samples.size() / 2]) / 2;
    s.p99 = rank(0.99);
    s.min = samples.front();
    s.max = samples.back();
    return s;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long statusKb(const char* field, pid_t pid) {
    const std::string path =
        pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status";
    std::ifstream status(path);
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(prefix))
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

void runEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool ProgramDir::writeCommSet(int baud) const {
    return ::writeCommSet(path(), 1, baud);
}

bool Simulator::start(const ProgramDir& dir, int baud, const QStringList& extra) {
    logPath_ = dir.file(QStringLiteral("sim.log"));
    process_.logToFile(logPath_);
    return process_.startAt(dir.link(),
                            QStringList{QStringLiteral("--baud"), QString::number(baud)} + extra);
}

QString Simulator::log() const {
    QFile file(logPath_);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

std::string Bench::start(int baud, const QStringList& simArgs) {
    if (!dir.valid() || !dir.writeCommSet(baud))
        return "cannot prepare a program directory";
    if (!sim.start(dir, baud, simArgs))
        return "the simulator did not start: " + sim.log().toStdString();
    window = std::make_unique<frmMain>(std::make_unique<QtSerialComponent>(dir.path()), sink,
                                       dir.path());
    window->show();
    runEvents(50); // the first paint, so that it is not inside the first measured cycle
    if (!window->MSComm1->portOpen())
        return "the window did not open COM1";
    if (!sink.shown.isEmpty())
        return "the window showed a message: " + sink.texts().join(QLatin1Char('|')).toStdString();
    return {};
}

QStringList simulatorArguments(Delivery delivery) {
    QStringList args{QStringLiteral("--pace")};
    if (delivery == Delivery::InOnePiece)
        args << QStringLiteral("--burst");
    return args;
}

void resultTimings(const std::vector<double>& samples) {
    const Stats s = summarize(samples);
    result("median_ms", s.median);
    result("p99_ms", s.p99);
    result("min_ms", s.min);
    result("max_ms", s.max);
}

// Runs a program to its end with its standard output going to `output` (a file, so that no
// reader is woken for every line it writes); its wall time in milliseconds, or a negative number
// when it did not exit 0.
double timedRun(const QString& program, const QStringList& args, const QString& output,
                int timeoutMs) {
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setStandardOutputFile(output);
    const Clock::time_point start = Clock::now();
    process.start(program, args);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    const double ms = millis(Clock::now() - start);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? ms : -1;
}

} // namespace bench
