// qf7320-bench: one measurement per run, its figures as "name value" lines for scripts/bench.

#include "tests/bench/bench.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "usage: qf7320-bench cycle BAUD REGISTERS CYCLES\n"
    "       qf7320-bench breakdown BAUD REGISTERS CYCLES\n"
    "       qf7320-bench modbus BAUD REGISTERS CYCLES\n"
    "       qf7320-bench load POLL_SECONDS IDLE_SECONDS REGISTERS\n"
    "       qf7320-bench load-in-one-piece POLL_SECONDS IDLE_SECONDS REGISTERS\n"
    "       qf7320-bench window-load POLL_SECONDS IDLE_SECONDS REGISTERS\n"
    "       qf7320-bench load-unpainted POLL_SECONDS IDLE_SECONDS REGISTERS\n"
    "       qf7320-bench load-without-line POLL_SECONDS REGISTERS\n"
    "       qf7320-bench modbus-load POLL_SECONDS REGISTERS\n"
    "       qf7320-bench profile POLLS REGISTERS PERIOD_MS\n"
    "       qf7320-bench floor SECONDS\n"
    "       qf7320-bench startup RUNS\n"
    "       qf7320-bench cli-poll BAUD SAMPLES\n"
    "       qf7320-bench cli-process RUNS\n"
    "       qf7320-bench cli-resident BAUD SECONDS\n"
    "       qf7320-bench cli-tcp-poll SAMPLES\n"
    "       qf7320-bench cli-tcp-process RUNS\n"
    "       qf7320-bench cli-bus BAUD CYCLES\n"
    "       qf7320-bench cli-mqtt SAMPLES\n"
    "       qf7320-bench cli-http SAMPLES\n"

    "       qf7320-bench plot-week DAYS\n"
    "       qf7320-bench simulated-day FILE.csv PERIOD_SECONDS\n";

bool wholeNumbers(int argc, char** argv, int from, int count, int* out) {
    if (argc != from + count)
        return false;
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        const long value = std::strtol(argv[from + i], &end, 10);
        if (*argv[from + i] == '\0' || *end != '\0' || value < 1 || value > 1000000)
            return false;
        out[i] = int(value);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // First, so that the start-up time covers all that the tool's own main() does.
    const bench::Clock::time_point entry = bench::Clock::now();
    if (argc >= 2 && std::strcmp(argv[1], "startup-child") == 0)
        return bench::startupChild(argc, argv, entry);
    // Builds the window on whatever display Qt is given.
    if (argc >= 2 && std::strcmp(argv[1], "window-child") == 0)
        return bench::windowChild(argc, argv);

    const std::string mode = argc >= 2 ? argv[1] : "";
    // A log made with the simulator's sensor model, for the README's picture.
    if (mode == "simulated-day" && argc == 4 && std::atoi(argv[3]) > 0) {
        QCoreApplication app(argc, argv);
        return bench::simulatedDay(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    }
    int n[3] = {};
    const bool ok = ((mode == "cycle" || mode == "breakdown" || mode == "modbus" ||
                      mode == "load" || mode == "load-in-one-piece" || mode == "load-unpainted" ||
                      mode == "window-load" || mode == "profile") &&
                     wholeNumbers(argc, argv, 2, 3, n)) ||
                    ((mode == "cli-poll" || mode == "load-without-line" || mode == "modbus-load" ||
                      mode == "cli-bus" || mode == "cli-resident") &&
                     wholeNumbers(argc, argv, 2, 2, n)) ||
                    ((mode == "startup" || mode == "cli-process" || mode == "floor" ||
                      mode == "cli-mqtt" || mode == "cli-http" || mode == "cli-tcp-poll" ||
                      mode == "cli-tcp-process" || mode == "plot-week") &&
                     wholeNumbers(argc, argv, 2, 1, n));
    if (!ok) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // The watcher of the window on a display needs no display of its own.
    if (mode == "window-load") {
        QCoreApplication app(argc, argv);
        return bench::windowLoad(n[0], n[1], n[2]);
    }

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (mode == "cycle" || mode == "breakdown")
        return bench::pollCycle(n[0], n[1], n[2], mode == "breakdown");
    if (mode == "modbus")
        return bench::modbusCycle(n[0], n[1], n[2]);
    if (mode == "load" || mode == "load-in-one-piece")
        return bench::load(n[0], n[1], n[2],
                           mode == "load" ? bench::Delivery::Paced : bench::Delivery::InOnePiece);
    if (mode == "load-unpainted")
        return bench::load(n[0], n[1], n[2], bench::Delivery::Paced, false);
    if (mode == "modbus-load")
        return bench::modbusLoad(n[0], n[1], bench::Delivery::Paced);
    if (mode == "load-without-line")
        return bench::loadWithoutLine(n[0], n[1]);
    if (mode == "profile")
        return bench::profile(n[0], n[1], n[2]);
    if (mode == "cli-poll")
        return bench::cliPoll(n[0], n[1]);
    if (mode == "cli-resident")
        return bench::cliResident(n[0], n[1]);
    if (mode == "cli-process")
        return bench::cliProcess(n[0]);
    if (mode == "cli-tcp-poll")
        return bench::cliTcpPoll(n[0]);
    if (mode == "cli-tcp-process")
        return bench::cliTcpProcess(n[0]);
    if (mode == "cli-bus")
        return bench::cliBus(n[0], n[1]);
    if (mode == "cli-mqtt")
        return bench::cliMqtt(n[0]);
    if (mode == "cli-http")
        return bench::cliHttp(n[0]);
    if (mode == "floor")
        return bench::floorLoad(n[0]);
    if (mode == "plot-week")
        return bench::plotWeek(n[0]);
    return bench::startup(n[0]);
}
